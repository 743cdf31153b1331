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
    parser.addOption({"unit-seconds", "Unit length, 0.2 to 10 s (default 1).", "S", "1"});
    parser.addOption({"encrypt-to", "Seal every unit to this public key (from keygen); may repeat.", "KEY.pub"});
    parser.addOption({"key", "A private key for relay messages that come encrypted; may repeat.", "FILE"});
    parser.addOption({"seconds", "How long to record (default: until interrupted).", "S", "-1"});
    if (!parseCommandLine(parser, "record", args))
        return parser.isSet("help") ? 0 : 2;

    QTextStream err(stderr);
    Recorder::Options options;
    quint16 rtpPort = 0, rtcpPort = 0;
    if (!InputOptions::portOption(parser, "port", "record", &rtpPort) ||
        !InputOptions::portOption(parser, "rtcp-port", "record", &rtcpPort) ||
        ((parser.isSet("sdp") || parser.isSet("codec")) &&
         !InputOptions::streamSdp(parser, "record", rtpPort, &options.sdp)) ||
        !InputOptions::readKeyFiles(parser, "encrypt-to", "record", &options.publicKeys) ||
        !InputOptions::readKeyFiles(parser, "key", "record", &options.privateKeys))
        return 2;
    bool ok = false;
    options.unitSeconds = parser.value("unit-seconds").toDouble(&ok);
    if (!ok || options.unitSeconds < Recorder::MIN_UNIT_SECONDS || options.unitSeconds > Recorder::MAX_UNIT_SECONDS) {
        err << "kavexmix record: --unit-seconds takes a number from 0.2 to 10, not '" << parser.value("unit-seconds")
            << "'\n";
        return 2;
    }
    options.store = parser.value("store");
    options.namePattern = parser.value("name");
    const double seconds = parser.value("seconds").toDouble(&ok);
    if (!ok || seconds == 0) {
        err << "kavexmix record: --seconds takes a positive number, not '" << parser.value("seconds") << "'\n";
        return 2;
    }

    std::unique_ptr<Recorder> recorder;
    try {
        recorder = std::make_unique<Recorder>(options);
    } catch (const std::exception& e) {
        err << "kavexmix record: " << e.what() << "\n";
        return 1;
    }
    const QHostAddress iface = parser.isSet("interface") ? QHostAddress(parser.value("interface")) : QHostAddress();
    bool listening = false;
    if (parser.isSet("tcp-relay")) {
        QHostAddress server, peer(parser.value("peer"));
        quint16 relayPort = 0;
        if (!InputOptions::hostAndPort(parser.value("tcp-relay"), &server, &relayPort) || peer.isNull()) {
            err << "kavexmix record: --tcp-relay takes HOST:PORT (numeric address) and needs --peer ADDR\n";
            return 2;
        }
        listening = recorder->connectRelay(server, relayPort, peer);
    } else if (parser.isSet("multicast")) {
        const QHostAddress group(parser.value("multicast"));
        if (!group.isMulticast()) {
            err << "kavexmix record: --multicast takes a multicast group address, not '" << parser.value("multicast")
                << "'\n";
            return 2;
        }
        listening = recorder->listenMulticast(group, rtpPort, rtcpPort, iface);
    } else {
        listening =
            recorder->listenUnicast(rtpPort, rtcpPort, iface.isNull() ? QHostAddress(QHostAddress::Any) : iface);
    }
    if (!listening) {
        err << "kavexmix record: cannot receive on the requested ports or relay\n";
        return 1;
    }
    if (!parser.isSet("tcp-relay"))
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
