#include "Commands.h"
#include "LevelMeter.h"
#include "OptionCheck.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QTextStream>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {
// The digital gain in dB: 2^(gain / 3) scales the amplitude.
const double kMaxGainDb = 30.0;
}  // namespace

int runTalk(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Sends the microphone (or a WAV file) as G.711 A-law RTP to the given "
                                     "destinations, showing packets sent and the input level.");
    parser.addOption({"to", "Destinations, comma-separated.", "HOST:PORT[,HOST:PORT...]"});
    parser.addOption({"rate", "8000 (payload type 8, default) or 16000 (payload type 97).", "RATE"});
    parser.addOption({"file", "Send this WAV file (looping) instead of the microphone.", "WAV"});
    parser.addOption({"input", "Capture device: auto, virtual, wav:PATH or a device name.", "DEVICE"});
    parser.addOption({"gain", "Digital gain, -30 to 30: 3 doubles the amplitude, -3 halves it.", "DB"});
    parser.addOption({"seconds", "How long to send (default: until interrupted).", "S"});
    if (!parseCommandLine(parser, "talk", args))
        return parser.isSet("help") ? 0 : 2;
    const OptionCheck check(parser, "talk");
    QList<QPair<QHostAddress, quint16>> targets;
    QString rateText = "8000";
    double gainDb = 0;
    double seconds = -1;  // until interrupted
    if (!check.required("to", "give HOST:PORT[,HOST:PORT...]") || !check.hostPorts("to", &targets) ||
        !check.choice("rate", {"8000", "16000"}, &rateText) || !check.readableFiles("file") || !check.device("input") ||
        !check.number("gain", -kMaxGainDb, kMaxGainDb, QString("dB from %1 to %2").arg(-kMaxGainDb).arg(kMaxGainDb),
                      &gainDb) ||
        !check.seconds("seconds", &seconds))
        return 2;
    if (parser.isSet("input"))
        qputenv("OSTKAVEX_INPUT_DEVICE", parser.value("input").toUtf8());
    const eSampleRate rate = rateText == "8000" ? SAMPLE_RATE_8000 : SAMPLE_RATE_16000;

    // Sending is watched through an in-process destination of the same rate:
    // one packet of it per capture cycle, the same audio every destination gets.
    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, false);
    quint64 cycles = 0;
    double peakDb = -96.0;
    bool gainSet = false;
    const float gain = float(gainDb);
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

    for (const auto& [address, port] : targets) {
        if (parser.isSet("file"))
            mixer->enableRtpSink(parser.value("file"), address, port, rate);
        else
            mixer->enableRtpSink(address, port, rate);
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
    runFor(seconds);
    show.stop();
    mixer->disableRtpSink();
    std::printf("\nSent %llu packets to %d destination(s).\n",
                static_cast<unsigned long long>(cycles * quint64(targets.size())), int(targets.size()));
    return cycles > 0 ? 0 : 1;
}
