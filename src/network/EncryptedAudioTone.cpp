#include "EncryptedAudioTone.h"

#include "RTPPacket.h"
#include "VariableBuffer.h"

#include <algorithm>
#include <cmath>

namespace {
const int kSamplesPerMs = 8;
const int kPeriodSamples = 8000;   // one tone burst per second
const double kFadeSamples = 1000;  // the burst fades out over its first 1000 samples
const double kAngularStep = 2764.601535159018 / 8000;  // 2 pi 440 / 8000
const double kAmplitude = 8000;
}  // namespace

qint16 EncryptedAudioTone::sample(quint32 t)
{
    const double phaseInPeriod = double(t % kPeriodSamples);
    const double envelope = std::max(0.0, (2 * kFadeSamples - 2 * phaseInPeriod) / (2 * kFadeSamples));
    return qint16(int(std::sin(double(t) * kAngularStep) * kAmplitude * envelope));
}

unsigned char EncryptedAudioTone::encodeALaw(qint16 sample)
{
    int sign = 0;
    int magnitude = sample;
    if (sample < 0) {
        sign = 0x80;
        magnitude = sample == -32768 ? 32767 : -sample;
    }
    int segment = 0;
    int shift = 4;
    for (int s = 7; s >= 1; --s) {
        if (magnitude >= (0x80 << s)) {
            segment = s;
            shift = s + 3;
            break;
        }
    }
    return static_cast<unsigned char>((sign | (segment << 4) | ((magnitude >> shift) & 0x0f)) ^ 0x55);
}

int EncryptedAudioTone::nextPacket(quint32 nowMs, VariableBuffer& buffer)
{
    if (m_clock != 0 && m_clock == nowMs)
        return 0;
    const quint64 elapsed = quint64(quint32(nowMs - m_clock)) * kSamplesPerMs;
    const int samples = (m_clock == 0 || elapsed > quint64(MAX_SAMPLES)) ? RESTART_SAMPLES : int(elapsed);
    m_clock = nowMs;

    RTPPacket packet(buffer, SSRC, quint16(m_sequence++), m_timestamp, PAYLOAD_TYPE, nullptr, samples, false);
    unsigned char* payload = packet.getWritablePayload();
    for (int i = 0; i < samples; ++i)
        payload[i] = encodeALaw(sample(m_timestamp + quint32(i)));
    m_timestamp += quint32(samples);
    return packet.getRawPacketSize();
}
