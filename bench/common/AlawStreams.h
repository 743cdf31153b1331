#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

// Test streams for the live-path benchmarks: G.711 A-law at 8 kHz, a
// speech-band tone of its own frequency per stream, sent as RTP in 20 ms
// packets (payload type 8) from RTP timestamp 0.
namespace AlawStreams {

constexpr int kRate = 8000;
constexpr int kPacketSamples = 160;  // 20 ms
constexpr int kPayloadType = 8;

// The SDP of such a stream.
QString sdp();
// One 16-bit sample as an A-law code (even bits inverted, as sent on the wire).
unsigned char alaw(int sample);
// `samples` A-law codes of stream `index`.
std::vector<unsigned char> tone(int index, int samples);
// The SSRC of stream `index`.
quint32 ssrc(int index);

// The RTP datagrams of one whole stream, back to back, all of one size.
class PacketList
{
public:
    PacketList() = default;
    // Packs `samples` A-law codes into packets; a last partial packet is dropped.
    PacketList(const unsigned char* codes, int samples, quint32 ssrc);

    int count() const { return m_count; }
    int packetSize() const { return m_packetSize; }
    const unsigned char* packet(int k) const { return m_bytes.data() + size_t(k) * size_t(m_packetSize); }
    size_t bytes() const { return m_bytes.size(); }

private:
    std::vector<unsigned char> m_bytes;
    int m_count = 0;
    int m_packetSize = 0;
};

}  // namespace AlawStreams
