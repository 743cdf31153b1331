#include "DemoRtpSender.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QRandomGenerator>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace {
const int kPcmaSamples = 160;        // 20 ms at 8 kHz
const int kMpaSamples = 1152;        // one layer II frame at 48 kHz: 24 ms
const quint32 kMpaClockStep = 2160;  // 1152 samples on the 90 kHz RTP clock
}  // namespace

DemoRtpSender::DemoRtpSender(Codec codec, double frequencyHz, double amplitude, const QHostAddress& to, quint16 rtpPort,
                             quint16 rtcpPort, QObject* parent)
    : QObject(parent)
    , m_codec(codec)
    , m_frequency(frequencyHz)
    , m_amplitude(amplitude)
    , m_destinations{{to, rtpPort, rtcpPort}}
    , m_ssrc(QRandomGenerator::global()->generate())
    , m_sequence(quint16(QRandomGenerator::global()->generate()))
    , m_rtpTimestamp(QRandomGenerator::global()->generate())
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &DemoRtpSender::sendDue);
}

DemoRtpSender::~DemoRtpSender()
{
    stop();
    avcodec_free_context(&m_encoder);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
}

bool DemoRtpSender::openEncoder()
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MP2);
    if (!codec)
        return false;
    m_encoder = avcodec_alloc_context3(codec);
    m_encoder->sample_rate = 48000;
    m_encoder->sample_fmt = AV_SAMPLE_FMT_S16;
    m_encoder->bit_rate = 128000;
    av_channel_layout_default(&m_encoder->ch_layout, 1);
    if (avcodec_open2(m_encoder, codec, nullptr) < 0)
        return false;
    m_frame = av_frame_alloc();
    m_frame->nb_samples = kMpaSamples;
    m_frame->format = AV_SAMPLE_FMT_S16;
    m_frame->sample_rate = 48000;
    av_channel_layout_copy(&m_frame->ch_layout, &m_encoder->ch_layout);
    m_packet = av_packet_alloc();
    return av_frame_get_buffer(m_frame, 0) >= 0;
}

void DemoRtpSender::setSweep(double endHz, double seconds)
{
    m_sweepEnd = endHz;
    m_sweepSeconds = seconds;
}

void DemoRtpSender::addCopyDestination(const QHostAddress& to, quint16 rtpPort, quint16 rtcpPort)
{
    m_destinations.append({to, rtpPort, rtcpPort});
}

double DemoRtpSender::phaseAt(quint64 sample, int rate) const
{
    const double t = double(sample) / rate;
    if (m_sweepSeconds <= 0)
        return 2 * M_PI * m_frequency * t;
    // A linear glide, restarting every m_sweepSeconds.
    const double local = std::fmod(t, m_sweepSeconds);
    const double slope = (m_sweepEnd - m_frequency) / m_sweepSeconds;
    return 2 * M_PI * (m_frequency * local + slope * local * local / 2);
}

void DemoRtpSender::sendToAll(const char* data, int size, bool rtcp)
{
    for (const Destination& d : qAsConst(m_destinations))
        m_socket.writeDatagram(data, size, d.to, rtcp ? d.rtcpPort : d.rtpPort);
}

bool DemoRtpSender::start()
{
    if (m_codec == CODEC_MPA && !m_encoder && !openEncoder())
        return false;
    m_clock.start();
    m_timer.start(5);
    return true;
}

void DemoRtpSender::stop()
{
    m_timer.stop();
}

QByteArray DemoRtpSender::nextPayload()
{
    const int rate = m_codec == CODEC_PCMA ? 8000 : 48000;
    const int count = m_codec == CODEC_PCMA ? kPcmaSamples : kMpaSamples;
    std::vector<qint16> pcm(static_cast<size_t>(count), 0);
    for (int i = 0; i < count; ++i)
        pcm[size_t(i)] = qint16(std::lround(m_amplitude * std::sin(phaseAt(m_samplesMade + quint64(i), rate))));
    m_samplesMade += quint64(count);

    if (m_codec == CODEC_PCMA) {
        QByteArray payload(count, 0);
        _G711_ConvertLinear2ALaw(reinterpret_cast<const unsigned char*>(pcm.data()),
                                 reinterpret_cast<unsigned char*>(payload.data()), unsigned(count * 2), 1.0);
        return payload;
    }
    std::memcpy(m_frame->data[0], pcm.data(), pcm.size() * 2);
    QByteArray payload(4, 0);  // RFC 2250 header: no fragmentation
    if (avcodec_send_frame(m_encoder, m_frame) < 0)
        return QByteArray();
    while (avcodec_receive_packet(m_encoder, m_packet) == 0) {
        payload.append(reinterpret_cast<const char*>(m_packet->data), m_packet->size);
        av_packet_unref(m_packet);
    }
    return payload.size() > 4 ? payload : QByteArray();
}

void DemoRtpSender::sendOne()
{
    const QByteArray payload = nextPayload();
    if (!payload.isEmpty()) {
        VariableBuffer buffer;
        const int pt = m_codec == CODEC_PCMA ? 8 : 14;
        RTPPacket packet(buffer, m_ssrc, m_sequence++, m_rtpTimestamp, pt,
                         reinterpret_cast<const unsigned char*>(payload.constData()), payload.size(), false);
        sendToAll(reinterpret_cast<const char*>(packet.getRawPacket()), packet.getRawPacketSize(), false);
        ++m_packets;
        m_octets += quint64(payload.size());
    }
    m_rtpTimestamp += m_codec == CODEC_PCMA ? quint32(kPcmaSamples) : kMpaClockStep;
}

void DemoRtpSender::sendSenderReport()
{
    VariableBuffer buffer;
    const int size = RTCPPacket::writeSenderReport(buffer, m_ssrc, NTPTimestamp::now(), m_rtpTimestamp,
                                                   quint32(m_packets), quint32(m_octets));
    RTCPPacket::appendSourceDescription(buffer, m_ssrc, "kavexmix-demo");
    sendToAll(reinterpret_cast<const char*>(buffer.getBuffer()), buffer.getSize() > size ? buffer.getSize() : size,
              true);
}

void DemoRtpSender::sendDue()
{
    // Packets follow the wall clock, so a late timer is caught up.
    const int rate = m_codec == CODEC_PCMA ? 8000 : 48000;
    const quint64 due = quint64(m_clock.elapsed()) * quint64(rate) / 1000;
    const quint64 step = m_codec == CODEC_PCMA ? kPcmaSamples : kMpaSamples;
    while (m_samplesMade < due + step)
        sendOne();
    if (m_clock.elapsed() - m_lastReportMs >= 1000) {
        m_lastReportMs = m_clock.elapsed();
        sendSenderReport();
    }
}
