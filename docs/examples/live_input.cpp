// Live input: receives G.711 A-law RTP (and its RTCP) on UDP ports, plays it,
// and shows the streams the receiver has found, one per sender and SSRC.
//   example_live_input [RTP-PORT]
#include <OstKavexMixer/OstKavexMixer.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QSharedPointer<Mixer> mixer = Mixer::getInstance();

    // The SDP names what arrives: payload type 8, A-law at 8 kHz.
    const QString sdp = QStringLiteral("v=0\r\no=- 0 0 IN IP4 0.0.0.0\r\ns=example\r\nc=IN IP4 0.0.0.0\r\n"
                                       "t=0 0\r\nm=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n");
    // Port 0 picks free ports; the ports in use are written back. A null
    // relay address receives plain UDP on all interfaces.
    unsigned short rtpPort = argc > 1 ? QString::fromLocal8Bit(argv[1]).toUShort() : 0;
    unsigned short rtcpPort = 0;
    const quint64 receiver = mixer->addUnicastRtpChannel("LIVE", rtpPort, rtcpPort, sdp, nullptr, QHostAddress(), 1.0);
    if (receiver == 0) {
        std::fprintf(stderr, "cannot receive on port %u\n", rtpPort);
        return 1;
    }
    // A receiver starts muted and hands its mute state on to its streams.
    mixer->unmute(receiver, CHANNEL_BOTH);
    std::printf("RTP on port %u, RTCP on port %u\n", rtpPort, rtcpPort);

    QTimer show;
    QObject::connect(&show, &QTimer::timeout, [&] {
        for (const LiveStreamStatus& s : mixer->getLiveStreams())
            std::printf("%s ssrc %u %s: %llu packets, %llu lost, peak %d\n", qPrintable(s.sender.toString()), s.ssrc,
                        qPrintable(s.codec), s.packets, s.lost, s.peak);
    });
    show.start(1000);
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    const int result = app.exec();
    mixer->removeRtpChannel(receiver);  // stops the receiver and its streams
    return result;
}
