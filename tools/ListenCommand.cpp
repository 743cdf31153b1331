#include "Commands.h"
#include "InputOptions.h"
#include "LevelMeter.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QFile>
#include <QMap>
#include <QTextStream>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {
void printTable(const QList<LiveStreamStatus>& streams, const Mixer& mixer, bool terminal)
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
    text += "mixer ticks: " + LevelMeter::tickStatus(mixer) + "\n";
    InputOptions::printTable(text, terminal);
}
}  // namespace

int runListen(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Receives live RTP audio and mixes it to the output, showing a table of the "
                                     "streams (sender, SSRC, codec, packets, lost, duplicates, level).");
    InputOptions::addReceiveOptions(parser, "RTP port (0: any free one). In relay mode, the relay's port.");
    InputOptions::addStreamOptions(parser);
    parser.addOption({"key", "A private key (from keygen) for encrypted streams; may repeat.", "FILE"});
    parser.addOption({"seconds", "How long to listen (default: until interrupted).", "S"});
    if (!parseCommandLine(parser, "listen", args))
        return parser.isSet("help") ? 0 : 2;

    const OptionCheck check(parser, "listen");
    quint16 rtpPort = 0, rtcpPort = 0, relayPort = 0;
    QString sdp;
    std::vector<QByteArray> keys;
    QHostAddress iface, group, server, peer;
    double seconds = -1;  // until interrupted
    if (!check.port("port", &rtpPort) || !check.port("rtcp-port", &rtcpPort) ||
        !InputOptions::streamSdp(check, rtpPort, &sdp) || !InputOptions::readKeyFiles(check, "key", &keys) ||
        !check.address("interface", &iface) || !check.address("multicast", &group, true) ||
        !InputOptions::relayOptions(check, &server, &relayPort, &peer) || !check.seconds("seconds", &seconds))
        return 2;

    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, true);
    mixer->setListOfPossiblePrivateKeys(keys);

    QHostAddress* ifacePtr = parser.isSet("interface") ? &iface : nullptr;
    quint64 id = 0;
    if (!server.isNull()) {
        id = mixer->addUnicastRtpChannel("LIVE", rtpPort, rtcpPort, sdp, ifacePtr, server, 1.0);
        if (id)
            mixer->setUpstreamAddress(id, peer.toString(), relayPort, relayPort);
    } else if (!group.isNull()) {
        id = mixer->addMulticastRtpChannel("LIVE", group, rtpPort, rtcpPort, sdp, ifacePtr, 1.0);
    } else {
        id = mixer->addUnicastRtpChannel("LIVE", rtpPort, rtcpPort, sdp, ifacePtr, QHostAddress(), 1.0);
    }
    if (id == 0) {
        QTextStream(stderr) << "kavexmix listen: cannot receive on the requested ports\n";
        return 1;
    }
    mixer->unmute(id, CHANNEL_BOTH);
    std::printf("Listening on RTP port %u, RTCP port %u\n", rtpPort, rtcpPort);
    std::fflush(stdout);

    const bool terminal = isatty(fileno(stdout));
    QTimer show;
    QObject::connect(&show, &QTimer::timeout, [&] { printTable(mixer->getLiveStreams(), *mixer, terminal); });
    show.start(terminal ? 250 : 1000);
    runFor(seconds);
    show.stop();
    printTable(mixer->getLiveStreams(), *mixer, false);
    mixer->removeRtpChannel(id);
    return 0;
}
