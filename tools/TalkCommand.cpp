#include "Commands.h"
#include "LevelMeter.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QTextStream>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {
struct Target {
    QHostAddress address;
    quint16 port = 0;
};

bool parseTargets(const QString& text, QList<Target>* targets)
{
    for (const QString& item : text.split(',', Qt::SkipEmptyParts)) {
        const int colon = item.lastIndexOf(':');
        Target t;
        t.address = QHostAddress(item.left(colon).remove('[').remove(']'));
        bool ok = false;
        t.port = quint16(item.mid(colon + 1).toUInt(&ok));
        if (colon < 0 || t.address.isNull() || !ok || t.port == 0)
            return false;
        targets->append(t);
    }
    return !targets->isEmpty();
}
}  // namespace

int runTalk(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Sends the microphone (or a WAV file) as G.711 A-law RTP to the given "
                                     "destinations, showing packets sent and the input level.");
    parser.addOption({"to", "Destinations, comma-separated.", "HOST:PORT[,HOST:PORT...]"});
    parser.addOption({"rate", "8000 (payload type 8) or 16000 (payload type 97).", "RATE", "8000"});
    parser.addOption({"file", "Send this WAV file (looping) instead of the microphone.", "WAV"});
    parser.addOption({"input", "Capture device: auto, virtual, wav:PATH or a device name.", "DEVICE"});
    parser.addOption({"gain", "Digital gain: 3 doubles the amplitude, -3 halves it.", "DB", "0"});
    parser.addOption({"seconds", "How long to send (default: until interrupted).", "S", "-1"});
    if (!parseCommandLine(parser, "talk", args))
        return parser.isSet("help") ? 0 : 2;
    QList<Target> targets;
    if (!parseTargets(parser.value("to"), &targets)) {
        QTextStream(stderr) << "kavexmix talk: --to needs HOST:PORT[,HOST:PORT...]\n";
        return 2;
    }
    const int rateHz = parser.value("rate").toInt();
    if (rateHz != 8000 && rateHz != 16000) {
        QTextStream(stderr) << "kavexmix talk: --rate is 8000 or 16000\n";
        return 2;
    }
    if (parser.isSet("input"))
        qputenv("OSTKAVEX_INPUT_DEVICE", parser.value("input").toUtf8());
    const eSampleRate rate = rateHz == 8000 ? SAMPLE_RATE_8000 : SAMPLE_RATE_16000;

    // Sending is watched through an in-process destination of the same rate:
    // one packet of it per capture cycle, the same audio every destination gets.
    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, false);
    quint64 cycles = 0;
    double peakDb = -96.0;
    bool gainSet = false;
    const float gain = parser.value("gain").toFloat();
    QObject::connect(
        mixer.data(), &Mixer::inprocRtpPacket, mixer.data(),
        [&](const SharedPoolBuffer& spb) {
            ++cycles;
            if (!gainSet) {  // the capture resets the gain when it starts
                mixer->setDigitalMicGain(gain);
                gainSet = true;
            }
            RTPPacket packet(spb.getBuffer(), spb.getBufferSize());
            int peak = 0;
            for (int i = 0; i < packet.getPayloadSize(); ++i)
                peak = std::max(peak, std::abs(int(_G711_ALaw2Linear(packet.getPayload()[i]))));
            peakDb = peak > 0 ? 20.0 * std::log10(peak / 32768.0) : -96.0;
        },
        Qt::QueuedConnection);

    for (const Target& t : targets) {
        if (parser.isSet("file"))
            mixer->enableRtpSink(parser.value("file"), t.address, t.port, rate);
        else
            mixer->enableRtpSink(t.address, t.port, rate);
    }
    mixer->enableRtpSink(QHostAddress::LocalHost, 0, rate);

    const bool terminal = isatty(fileno(stdout));
    QTimer show;
    QObject::connect(&show, &QTimer::timeout, [&] {
        const QString line = QString("packets sent %1  input [%2] %3 dB")
                                 .arg(cycles * quint64(targets.size()), -8)
                                 .arg(LevelMeter::bar(peakDb, 24))
                                 .arg(peakDb, 6, 'f', 1);
        std::printf(terminal ? "\r%s" : "%s\n", qPrintable(line));
        std::fflush(stdout);
    });
    show.start(terminal ? 100 : 1000);
    runFor(parser.value("seconds").toDouble());
    show.stop();
    mixer->disableRtpSink();
    std::printf("\nSent %llu packets to %d destination(s).\n",
                static_cast<unsigned long long>(cycles * quint64(targets.size())), int(targets.size()));
    return cycles > 0 ? 0 : 1;
}
