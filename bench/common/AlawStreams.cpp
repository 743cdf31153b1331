#include "AlawStreams.h"

#include "RTPPacket.h"
#include "VariableBuffer.h"

#include <cmath>
#include <cstring>

namespace AlawStreams {

QString sdp()
{
    return QStringLiteral("v=0\r\nm=audio 5004 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n");
}

unsigned char alaw(int sample)
{
    const int mask = sample >= 0 ? 0xD5 : 0x55;
    const int magnitude = (sample >= 0 ? sample : -sample - 1) >> 3;
    int segment = 0;
    while (segment < 7 && magnitude >= (0x20 << segment))
        ++segment;
    const int quant = segment < 2 ? (magnitude >> 1) & 0x0f : (magnitude >> segment) & 0x0f;
    return static_cast<unsigned char>(((segment << 4) | quant) ^ mask);
}

std::vector<unsigned char> tone(int index, int samples)
{
    // 200 Hz to 3.4 kHz in 7 Hz steps, so that hundreds of streams differ
    // and none aliases.
    const double frequency = 200 + (index * 7) % 3200;
    std::vector<unsigned char> codes(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i)
        codes[size_t(i)] = alaw(int(6000 * std::sin(2 * M_PI * frequency * i / kRate)));
    return codes;
}

quint32 ssrc(int index)
{
    return 0x4b000000u + quint32(index);
}

PacketList::PacketList(const unsigned char* codes, int samples, quint32 ssrc)
    : m_count(samples / kPacketSamples)
    , m_packetSize(RTPPacket::FIXED_HEADER_SIZE + kPacketSamples)
{
    m_bytes.resize(size_t(m_count) * size_t(m_packetSize));
    VariableBuffer buffer(m_packetSize);
    for (int k = 0; k < m_count; ++k) {
        const RTPPacket packet(buffer, ssrc, quint16(k), quint32(k * kPacketSamples), kPayloadType,
                               codes + size_t(k) * kPacketSamples, kPacketSamples, false);
        std::memcpy(m_bytes.data() + size_t(k) * size_t(m_packetSize), buffer.getBuffer(), size_t(m_packetSize));
    }
}

}  // namespace AlawStreams
