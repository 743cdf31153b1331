#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>
#include <memory>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// The demo's own live source: a sine sent as RTP in real time, G.711 A-law
// (payload type 8) or MPEG audio layer II (payload type 14, RFC 2250), with
// an RTCP sender report every second.
class DemoRtpSender : public QObject
{
    Q_OBJECT
public:
    enum Codec { CODEC_PCMA, CODEC_MPA };

    DemoRtpSender(Codec codec, double frequencyHz, double amplitude, const QHostAddress& to, quint16 rtpPort,
                  quint16 rtcpPort, QObject* parent = nullptr);
    ~DemoRtpSender() override;

    // Glides from the start frequency to `endHz` over `seconds`, then starts
    // over: a sound whose direction can be heard.
    void setSweep(double endHz, double seconds);
    // Sends every RTP and RTCP packet to this destination as well.
    void addCopyDestination(const QHostAddress& to, quint16 rtpPort, quint16 rtcpPort);

    bool start();
    void stop();
    quint64 packetsSent() const { return m_packets; }

private:
    void sendDue();
    void sendOne();
    void sendSenderReport();
    void sendToAll(const char* data, int size, bool rtcp);
    double phaseAt(quint64 sample, int rate) const;
    QByteArray nextPayload();
    bool openEncoder();

    Codec m_codec;
    double m_frequency;
    double m_amplitude;
    double m_sweepEnd = 0;
    double m_sweepSeconds = 0;
    struct Destination {
        QHostAddress to;
        quint16 rtpPort;
        quint16 rtcpPort;
    };
    QList<Destination> m_destinations;
    QUdpSocket m_socket;
    QTimer m_timer;
    QElapsedTimer m_clock;
    quint32 m_ssrc;
    quint16 m_sequence;
    quint32 m_rtpTimestamp;
    quint64 m_samplesMade = 0;  // source samples generated so far
    quint64 m_packets = 0;
    quint64 m_octets = 0;
    qint64 m_lastReportMs = -1000;
    AVCodecContext* m_encoder = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
};
