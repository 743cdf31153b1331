#include "EncryptedAudioTone.h"

#include "MarkerTone.h"
#include "RTPPacket.h"
#include "VariableBuffer.h"

namespace {
const int kSamplesPerMs = 8;
}  // namespace

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
        payload[i] = MarkerTone::aLawAt(m_timestamp + quint32(i));
    m_timestamp += quint32(samples);
    return packet.getRawPacketSize();
}
