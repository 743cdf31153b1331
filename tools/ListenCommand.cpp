#include "Commands.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QFile>
#include <QMap>
#include <QTextStream>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {
// Payload type and rtpmap of the codecs --codec accepts.
const QMap<QString, QPair<int, QString>>& codecs()
{
    static const QMap<QString, QPair<int, QString>> table = {
        {"pcma", {8, "PCMA/8000"}},    {"pcmu", {0, "PCMU/8000"}},      {"mpa", {14, "MPA/90000"}},
        {"aac", {96, "AAC/48000"}},    {"ac3", {97, "AC3/48000"}},      {"g726-16", {98, "G726-16/8000"}},
        {"g726-24", {99, "G726-24/8000"}}, {"g726-32", {2, "G726-32/8000"}}, {"g726-40", {100, "G726-40/8000"}},
    };
    return table;
}

QString sdpForCodec(const QString& codec, quint16 port)
{
    const QPair<int, QString> c = codecs().value(codec.toLower());
    return QString("v=0\r\no=- 0 0 IN IP4 0.0.0.0\r\ns=kavexmix listen\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
                   "m=audio %1 RTP/AVP %2\r\na=rtpmap:%2 %3\r\n")
        .arg(port)
        .arg(c.first)
        .arg(c.second);
}

void printTable(const QList<LiveStreamStatus>& streams, bool terminal)
{
    QString text = QString("%1 %2 %3 %4 %5 %6 %7\n")
                       .arg("sender", -40)
                       .arg("SSRC", -10)
                       .arg("codec", -10)
                       .arg("packets", 9)
                       .arg("lost", 7)
                       .arg("dup", 6)
                       .arg("level dB", 9);
    for (const LiveStreamStatus& s : streams) {
        const double db = s.peak > 0 ? 20.0 * std::log10(s.peak / 32767.0) : -96.0;
        text += QString("%1 %2 %3 %4 %5 %6 %7\n")
                    .arg(s.sender.toString(), -40)
                    .arg(QString::number(s.ssrc, 16), -10)
                    .arg(s.codec, -10)
                    .arg(s.packets, 9)
                    .arg(s.lost, 7)
                    .arg(s.duplicates, 6)
                    .arg(db, 9, 'f', 1);
    }
    if (streams.isEmpty())
        text += "(no stream yet)\n";
    // On a terminal the table is redrawn in place.
    std::printf(terminal ? "\033[H\033[J%s" : "%s\n", qPrintable(text));
    std::fflush(stdout);
}
}  // namespace

int runListen(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Receives live RTP audio and mixes it to the output, showing a table of the "
                                     "streams (sender, SSRC, codec, packets, lost, duplicates, level).");
    parser.addOption({"port", "RTP port (0: any free one). In relay mode, the relay's port.", "P", "0"});
    parser.addOption({"rtcp-port", "RTCP port (default: RTP port + 1 when free).", "Q", "0"});
    parser.addOption({"multicast", "Receive this multicast group.", "GROUP"});
    parser.addOption({"interface", "Local interface address to receive on.", "ADDR"});
    parser.addOption({"sdp", "Stream description file.", "FILE"});
    parser.addOption({"codec", "Instead of --sdp: " + QStringList(codecs().keys()).join("|") + ".", "CODEC"});
    parser.addOption({"tcp-relay", "Receive over a TCP relay server instead of UDP.", "HOST:PORT"});
    parser.addOption({"peer", "With --tcp-relay: the sender whose stream the relay forwards.", "ADDR"});
    parser.addOption({"key", "A private key (from keygen) for encrypted streams; may repeat.", "FILE"});
    parser.addOption({"seconds", "How long to listen (default: until interrupted).", "S", "-1"});
    if (!parseCommandLine(parser, "listen", args))
        return parser.isSet("help") ? 0 : 2;

    QTextStream err(stderr);
    unsigned short rtpPort = parser.value("port").toUShort();
    unsigned short rtcpPort = parser.value("rtcp-port").toUShort();
    QString sdp;
    if (parser.isSet("sdp")) {
        QFile f(parser.value("sdp"));
        if (!f.open(QIODevice::ReadOnly)) {
            err << "kavexmix listen: cannot read " << parser.value("sdp") << "\n";
            return 2;
        }
        sdp = QString::fromUtf8(f.readAll());
    } else if (codecs().contains(parser.value("codec").toLower())) {
        sdp = sdpForCodec(parser.value("codec"), rtpPort);
    } else {
        err << "kavexmix listen: give --sdp FILE or --codec " << QStringList(codecs().keys()).join("|") << "\n";
        return 2;
    }

    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, true);
    std::vector<QByteArray> keys;
    for (const QString& file : parser.values("key")) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) {
            err << "kavexmix listen: cannot read key " << file << "\n";
            return 2;
        }
        keys.push_back(f.readAll());
    }
    mixer->setListOfPossiblePrivateKeys(keys);

    QHostAddress iface(parser.value("interface"));
    QHostAddress* ifacePtr = parser.isSet("interface") ? &iface : nullptr;
    quint64 id = 0;
    if (parser.isSet("tcp-relay")) {
        const QString relay = parser.value("tcp-relay");
        const int colon = relay.lastIndexOf(':');
        const QHostAddress server(relay.left(colon));
        const quint16 relayPort = quint16(relay.mid(colon + 1).toUInt());
        if (colon < 0 || server.isNull() || relayPort == 0 || !parser.isSet("peer")) {
            err << "kavexmix listen: --tcp-relay HOST:PORT needs --peer ADDR\n";
            return 2;
        }
        id = mixer->addUnicastRtpChannel("LIVE", rtpPort, rtcpPort, sdp, ifacePtr, server, 1.0);
        if (id)
            mixer->setUpstreamAddress(id, parser.value("peer"), relayPort, relayPort);
    } else if (parser.isSet("multicast")) {
        id = mixer->addMulticastRtpChannel("LIVE", QHostAddress(parser.value("multicast")), rtpPort, rtcpPort, sdp,
                                           ifacePtr, 1.0);
    } else {
        id = mixer->addUnicastRtpChannel("LIVE", rtpPort, rtcpPort, sdp, ifacePtr, QHostAddress(), 1.0);
    }
    if (id == 0) {
        err << "kavexmix listen: cannot receive on the requested ports\n";
        return 1;
    }
    mixer->unmute(id, CHANNEL_BOTH);
    std::printf("Listening on RTP port %u, RTCP port %u\n", rtpPort, rtcpPort);
    std::fflush(stdout);

    const bool terminal = isatty(fileno(stdout));
    QTimer show;
    QObject::connect(&show, &QTimer::timeout, [&] { printTable(mixer->getLiveStreams(), terminal); });
    show.start(terminal ? 250 : 1000);
    runFor(parser.value("seconds").toDouble());
    show.stop();
    printTable(mixer->getLiveStreams(), false);
    mixer->removeRtpChannel(id);
    return 0;
}
