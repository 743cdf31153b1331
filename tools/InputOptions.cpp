#include "InputOptions.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextStream>
#include <cstdio>

namespace InputOptions {

const QMap<QString, QPair<int, QString>>& codecs()
{
    static const QMap<QString, QPair<int, QString>> table = {
        {"pcma", {8, "PCMA/8000"}},        {"pcmu", {0, "PCMU/8000"}},       {"mpa", {14, "MPA/90000"}},
        {"aac", {96, "AAC/48000"}},        {"ac3", {97, "AC3/48000"}},       {"g726-16", {98, "G726-16/8000"}},
        {"g726-24", {99, "G726-24/8000"}}, {"g726-32", {2, "G726-32/8000"}}, {"g726-40", {100, "G726-40/8000"}},
    };
    return table;
}

void addReceiveOptions(QCommandLineParser& parser, const QString& portHelp)
{
    parser.addOption({"port", portHelp, "P", "0"});
    parser.addOption({"rtcp-port", "RTCP port (default: RTP port + 1 when free).", "Q", "0"});
    parser.addOption({"multicast", "Receive this multicast group.", "GROUP"});
    parser.addOption({"interface", "Local interface address to receive on.", "ADDR"});
    parser.addOption({"tcp-relay", "Receive over a TCP relay server instead of UDP.", "HOST:PORT"});
    parser.addOption({"peer", "With --tcp-relay: the sender whose stream the relay forwards.", "ADDR"});
}

void printTable(const QString& text, bool terminal)
{
    std::printf(terminal ? "\033[H\033[J%s" : "%s\n", qPrintable(text));
    std::fflush(stdout);
}

void addStreamOptions(QCommandLineParser& parser)
{
    parser.addOption({"sdp", "Stream description file.", "FILE"});
    parser.addOption({"codec", "Instead of --sdp: " + QStringList(codecs().keys()).join("|") + ".", "CODEC"});
}

bool streamSdp(const OptionCheck& check, quint16 port, QString* sdp)
{
    const QCommandLineParser& parser = check.parser();
    if (parser.isSet("sdp")) {
        if (!check.readableFiles("sdp"))
            return false;
        QFile f(parser.value("sdp"));
        f.open(QIODevice::ReadOnly);
        *sdp = QString::fromUtf8(f.readAll());
        return true;
    }
    const QStringList names = codecs().keys();
    QString codec;
    if (!check.choice("codec", names, &codec))
        return false;
    if (codec.isEmpty()) {
        QTextStream(stderr) << "kavexmix " << check.command() << ": --sdp FILE or --codec is required; give one of "
                            << names.join(", ") << "\n";
        return false;
    }
    const QPair<int, QString> c = codecs().value(codec);
    *sdp = QString("v=0\r\no=- 0 0 IN IP4 0.0.0.0\r\ns=kavexmix %1\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
                   "m=audio %2 RTP/AVP %3\r\na=rtpmap:%3 %4\r\n")
               .arg(check.command())
               .arg(port)
               .arg(c.first)
               .arg(c.second);
    return true;
}

bool readKeyFiles(const OptionCheck& check, const QString& option, std::vector<QByteArray>* keys)
{
    if (!check.readableFiles(option))
        return false;
    for (const QString& path : check.parser().values(option)) {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        keys->push_back(f.readAll());
    }
    return true;
}

bool relayOptions(const OptionCheck& check, QHostAddress* server, quint16* port, QHostAddress* peer)
{
    QList<QPair<QHostAddress, quint16>> relay;
    if (!check.hostPorts("tcp-relay", &relay) || !check.address("peer", peer))
        return false;
    if (relay.size() > 1)
        return check.fail("tcp-relay", "more than one relay; give one HOST:PORT");
    if (relay.isEmpty())
        return !check.parser().isSet("peer") || check.fail("peer", "only with --tcp-relay HOST:PORT");
    if (!check.required("peer", "--tcp-relay needs the sender's address"))
        return false;
    *server = relay.first().first;
    *port = relay.first().second;
    return true;
}

bool storeExists(const OptionCheck& check)
{
    // Several locations (';') and databases (URLs) are checked when opened.
    const QString store = check.parser().value("store");
    if (store.isEmpty() || store.contains(';') || store.contains("://") || QFileInfo::exists(store))
        return true;
    return check.fail("store", "no such file; give an existing recording store (see kavexmix record)");
}

void addServerOptions(QCommandLineParser& parser)
{
    parser.addOption(
        {"server", "Read the recordings from the unit server at HOST:PORT (kavexmix serve).", "HOST:PORT"});
    parser.addOption({"token-file", "The unit server's access token file (with --server).", "F"});
}

bool serverOptions(const OptionCheck& check, QString* host, quint16* port, QString* token)
{
    const QCommandLineParser& parser = check.parser();
    host->clear();
    if (!parser.isSet("server"))
        return true;
    if (!OptionCheck::splitHostPort(parser.value("server"), host, port))
        return check.fail("server", "not HOST:PORT; give a host and a port from 1 to 65535");
    if (!check.required("token-file", "--server needs the unit server's access token") ||
        !check.readableFiles("token-file"))
        return false;
    *token = "@" + parser.value("token-file");
    return true;
}

}  // namespace InputOptions
