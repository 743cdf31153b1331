#include "SoakSenders.h"

#include "AlawStreams.h"
#include "Clock.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "StreamUnitDecrypter.h"
#include "VariableBuffer.h"

#include <arpa/inet.h>
#include <cmath>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace {

constexpr int kMpaRate = 48000;
constexpr int kMpaFrameSamples = 1152;   // 24 ms
constexpr quint32 kMpaClockStep = 2160;  // one frame on the 90 kHz RTP clock
// A 1 kHz tone: 50 frames (1.2 s) hold a whole number of its cycles, so the
// loop has no seam. The first frames out of the encoder are its delay.
constexpr int kMpaLoopFrames = 50;
constexpr int kMpaSkippedFrames = 4;
constexpr int kReportEveryMs = 5000;

void sendDatagram(int socket, const unsigned char* data, int size, quint16 port)
{
    const sockaddr_in to = PacedSending::loopback(port);
    sendto(socket, data, size_t(size), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    void operator()(AVFrame* f) const { av_frame_free(&f); }
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// The looped frames of the MPEG audio streams, each behind the RFC 2250
// header (no fragmentation); empty when there is no layer II encoder.
std::vector<QByteArray> encodeMpaLoop()
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MP2);
    std::unique_ptr<AVCodecContext, CodecDeleter> encoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!encoder)
        return {};
    encoder->sample_rate = kMpaRate;
    encoder->sample_fmt = AV_SAMPLE_FMT_S16;
    encoder->bit_rate = 64000;
    av_channel_layout_default(&encoder->ch_layout, 1);
    std::unique_ptr<AVFrame, CodecDeleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, CodecDeleter> packet(av_packet_alloc());
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0 || !frame || !packet)
        return {};
    frame->nb_samples = kMpaFrameSamples;
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = kMpaRate;
    av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    std::vector<QByteArray> frames;
    for (int f = 0; frames.size() < size_t(kMpaSkippedFrames + kMpaLoopFrames); ++f) {
        if (f > 2 * (kMpaSkippedFrames + kMpaLoopFrames) || av_frame_make_writable(frame.get()) < 0)
            return {};
        auto* pcm = reinterpret_cast<qint16*>(frame->data[0]);
        for (int i = 0; i < kMpaFrameSamples; ++i)
            pcm[i] =
                qint16(std::lround(6000 * std::sin(2 * M_PI * 1000 * double(f * kMpaFrameSamples + i) / kMpaRate)));
        if (avcodec_send_frame(encoder.get(), frame.get()) < 0)
            return {};
        while (avcodec_receive_packet(encoder.get(), packet.get()) == 0) {
            frames.push_back(QByteArray(4, 0) + QByteArray(reinterpret_cast<const char*>(packet->data), packet->size));
            av_packet_unref(packet.get());
        }
    }
    return std::vector<QByteArray>(frames.begin() + kMpaSkippedFrames, frames.end());
}

void put32(QByteArray& b, quint32 v)
{
    b.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
}

}  // namespace

MpaLoopSender::MpaLoopSender(int count, quint32 firstSsrc, quint16 rtpPort, quint16 rtcpPort)
    : m_count(count)
    , m_firstSsrc(firstSsrc)
    , m_rtpPort(rtpPort)
    , m_rtcpPort(rtcpPort)
{
}

MpaLoopSender::~MpaLoopSender()
{
    stop();
}

bool MpaLoopSender::start()
{
    m_frames = encodeMpaLoop();
    m_socket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_frames.empty() || m_socket < 0)
        return false;
    m_startNtp = Clock::system().wallClock();
    m_thread.start("MpaSender", qint64(kMpaFrameSamples) * 1000000000 / kMpaRate, [this](quint64 k) { step(k); });
    return true;
}

void MpaLoopSender::stop()
{
    m_thread.stop();
    if (m_socket >= 0)
        close(m_socket);
    m_socket = -1;
}

void MpaLoopSender::step(quint64 k)
{
    const quint32 timestamp = quint32(k * kMpaClockStep);
    const QByteArray& payload = m_frames[size_t(k % m_frames.size())];
    VariableBuffer buffer;
    for (int s = 0; s < m_count; ++s) {
        const quint32 ssrc = m_firstSsrc + quint32(s);
        if (k % (kReportEveryMs / 24) == 0) {
            const int size = RTCPPacket::writeSenderReport(
                buffer, ssrc, m_startNtp + NTPTimestamp::fromMilliseconds(k * 24), timestamp, quint32(k), 0);
            sendDatagram(m_socket, buffer.getBuffer(), size, m_rtcpPort);
        }
        const RTPPacket packet(buffer, ssrc, quint16(k), timestamp, 14,
                               reinterpret_cast<const unsigned char*>(payload.constData()), payload.size(), false);
        sendDatagram(m_socket, packet.getRawPacket(), packet.getRawPacketSize(), m_rtpPort);
        m_packets.fetch_add(1, std::memory_order_relaxed);
    }
}

EncryptedRelaySender::EncryptedRelaySender(quint32 ssrc, const QByteArray& publicKey)
    : m_ssrc(ssrc)
    , m_publicKey(publicKey)
    , m_payload(AlawStreams::tone(int(ssrc & 0xff), AlawStreams::kRate))
{
}

EncryptedRelaySender::~EncryptedRelaySender()
{
    stop();
}

bool EncryptedRelaySender::start()
{
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address = PacedSending::loopback(0);
    socklen_t length = sizeof address;
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 4) != 0 || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    m_port = ntohs(address.sin_port);
    m_startNtp = Clock::system().wallClock();
    m_thread.start("RelaySender", 20000000, [this](quint64 k) { step(k); });
    return true;
}

void EncryptedRelaySender::stop()
{
    m_thread.stop();
    for (int* fd : {&m_connection, &m_listener}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void EncryptedRelaySender::step(quint64 k)
{
    // A new connection (the receiver was made again) replaces the old one.
    const int accepted = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK);
    if (accepted >= 0) {
        if (m_connection >= 0)
            close(m_connection);
        m_connection = accepted;
    }
    if (m_connection < 0)
        return;
    // What the receiver sends up (the peer address, talk-back) is not looked at.
    char discard[4096];
    while (recv(m_connection, discard, sizeof discard, 0) > 0) {
    }
    const quint32 timestamp = quint32(k * AlawStreams::kPacketSamples);
    VariableBuffer buffer;
    if (k % (kReportEveryMs / 20) == 0) {
        const int size = RTCPPacket::writeSenderReport(
            buffer, m_ssrc, m_startNtp + NTPTimestamp::fromMilliseconds(k * 20), timestamp, quint32(k), 0);
        sendMessage(true, QByteArray(reinterpret_cast<const char*>(buffer.getBuffer()), size));
    }
    const size_t offset = size_t(k % 50) * AlawStreams::kPacketSamples;
    const RTPPacket packet(buffer, m_ssrc, quint16(k), timestamp, AlawStreams::kPayloadType, m_payload.data() + offset,
                           AlawStreams::kPacketSamples, false);
    sendMessage(false, QByteArray(reinterpret_cast<const char*>(packet.getRawPacket()), packet.getRawPacketSize()));
}

void EncryptedRelaySender::sendMessage(bool isRtcp, const QByteArray& packet)
{
    // A relay message: its length, then the RTCP flag and the packet with its
    // own length, all lengths 32-bit big-endian.
    if (m_connection < 0)
        return;
    const QByteArray sealed = StreamUnitDecrypter::encrypt(packet, m_publicKey);
    QByteArray message;
    put32(message, quint32(1 + 4 + sealed.size()));
    message.append(char(isRtcp ? 1 : 0));
    put32(message, quint32(sealed.size()));
    message.append(sealed);
    // A message sent in part would garble every one after it: the
    // connection is dropped instead, and the next one accepted takes over.
    if (send(m_connection, message.constData(), size_t(message.size()), MSG_NOSIGNAL) == message.size()) {
        m_packets.fetch_add(1, std::memory_order_relaxed);
    } else {
        close(m_connection);
        m_connection = -1;
    }
}
