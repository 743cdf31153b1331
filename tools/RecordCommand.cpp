#include "Commands.h"
#include "InputOptions.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QTextStream>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {
void printStreams(const Recorder& recorder, bool terminal)
{
    QString text = QString("Recording into %1 (units of %2 s)\n").arg(recorder.storePath()).arg(recorder.unitSeconds());
    const QStringList names = recorder.streamNames();
    for (const QString& name : names)
        text += "  " + name + "\n";
    if (names.isEmpty())
        text += "  (no stream yet)\n";
    text += QString("%1 units written\n").arg(recorder.unitsWritten());
    InputOptions::printTable(text, terminal);
}
}  // namespace

int runRecord(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Records live RTP audio into a recording store: one stream per sender and "
                                     "SSRC, cut into units, optionally sealed to public keys.");
    InputOptions::addReceiveOptions(parser, "RTP port (0: any free one).");
    InputOptions::addStreamOptions(parser);
    parser.addOption(storeOption());
    parser.addOption(
        {"name", "Stream names: %a the sender's address, %s the SSRC (default %a-%s).", "PATTERN", "%a-%s"});
    parser.addOption({"unit-seconds", "Unit length, 0.2 to 10 s (default 1).", "S"});
    parser.addOption({"encrypt-to", "Seal every unit to this public key (from keygen); may repeat.", "KEY.pub"});
    parser.addOption({"key", "A private key for relay messages that come encrypted; may repeat.", "FILE"});
    parser.addOption({"seconds", "How long to record (default: until interrupted).", "S"});
    if (!parseCommandLine(parser, "record", args))
        return parser.isSet("help") ? 0 : 2;

    QTextStream err(stderr);
    const OptionCheck check(parser, "record");
    Recorder::Options options;
    quint16 rtpPort = 0, rtcpPort = 0, relayPort = 0;
    QHostAddress iface, group, server, peer;
    double seconds = -1;  // until interrupted
    if (!check.port("port", &rtpPort) || !check.port("rtcp-port", &rtcpPort) ||
        ((parser.isSet("sdp") || parser.isSet("codec")) && !InputOptions::streamSdp(check, rtpPort, &options.sdp)) ||
        !InputOptions::readKeyFiles(check, "encrypt-to", &options.publicKeys) ||
        !InputOptions::readKeyFiles(check, "key", &options.privateKeys) ||
        !check.number("unit-seconds", Recorder::MIN_UNIT_SECONDS, Recorder::MAX_UNIT_SECONDS,
                      QString("seconds from %1 to %2").arg(Recorder::MIN_UNIT_SECONDS).arg(Recorder::MAX_UNIT_SECONDS),
                      &options.unitSeconds) ||
        !check.address("interface", &iface) || !check.address("multicast", &group, true) ||
        !InputOptions::relayOptions(check, &server, &relayPort, &peer) || !check.seconds("seconds", &seconds))
        return 2;
    if (parser.value("name").isEmpty()) {
        check.fail("name", "empty; give a pattern such as %a-%s");
        return 2;
    }
    options.store = parser.value("store");
    options.namePattern = parser.value("name");

    std::unique_ptr<Recorder> recorder;
    try {
        recorder = std::make_unique<Recorder>(options);
    } catch (const std::exception& e) {
        err << "kavexmix record: " << e.what() << "\n";
        return 1;
    }
    bool listening = false;
    if (!server.isNull())
        listening = recorder->connectRelay(server, relayPort, peer);
    else if (!group.isNull())
        listening = recorder->listenMulticast(group, rtpPort, rtcpPort, iface);
    else
        listening =
            recorder->listenUnicast(rtpPort, rtcpPort, iface.isNull() ? QHostAddress(QHostAddress::Any) : iface);
    if (!listening) {
        err << "kavexmix record: cannot receive on the requested ports or relay\n";
        return 1;
    }
    if (server.isNull())
        std::printf("Receiving on RTP port %u, RTCP port %u\n", rtpPort, rtcpPort);
    std::fflush(stdout);

    const bool terminal = isatty(fileno(stdout));
    QTimer show;
    QObject::connect(&show, &QTimer::timeout, [&] { printStreams(*recorder, terminal); });
    show.start(terminal ? 250 : 1000);
    runFor(seconds);
    show.stop();
    recorder->stop();
    printStreams(*recorder, false);
    return 0;
}
