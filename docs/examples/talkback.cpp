// Talk-back: sends the microphone (or a WAV file) as G.711 A-law RTP at 8 kHz
// to HOST:PORT, and watches the same audio through an in-process destination.
//   example_talkback HOST PORT [FILE.wav]
#include <OstKavexMixer/OstKavexMixer.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HOST PORT [FILE.wav]\n", argv[0]);
        return 2;
    }
    const QHostAddress host(QString::fromLocal8Bit(argv[1]));
    const unsigned short port = QString::fromLocal8Bit(argv[2]).toUShort();
    QSharedPointer<Mixer> mixer = Mixer::getInstance();

    // The in-process destination (port 0) hands every packet to the host. The
    // capture resets the gain when it starts, so it is set on the first packet.
    int packets = 0;
    QObject::connect(mixer.data(), &Mixer::inprocRtpPacket, &app, [&](const SharedPoolBuffer& spb) {
        if (packets++ == 0)
            mixer->setDigitalMicGain(3);  // twice the amplitude
        const RTPPacket packet(spb);
        if (packets % 50 == 0)
            std::printf("%d packets, %d payload bytes each\n", packets, packet.getPayloadSize());
    });
    if (argc > 3)
        mixer->enableRtpSink(QString::fromLocal8Bit(argv[3]), host, port, SAMPLE_RATE_8000);
    else
        mixer->enableRtpSink(host, port, SAMPLE_RATE_8000);
    mixer->enableRtpSink(QHostAddress::LocalHost, 0, SAMPLE_RATE_8000);

    QTimer::singleShot(10000, &app, [&] {
        mixer->disableRtpSink();  // stops the capture, forgets both destinations
        app.quit();
    });
    return app.exec();
}
