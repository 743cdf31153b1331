#include "InputOptions.h"

#include <QFile>
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

bool streamSdp(const QCommandLineParser& parser, const QString& command, quint16 port, QString* sdp)
{
    QTextStream err(stderr);
    if (parser.isSet("sdp")) {
        QFile f(parser.value("sdp"));
        if (!f.open(QIODevice::ReadOnly)) {
            err << "kavexmix " << command << ": cannot read " << parser.value("sdp") << "\n";
            return false;
        }
        *sdp = QString::fromUtf8(f.readAll());
        return true;
    }
    const QPair<int, QString> c = codecs().value(parser.value("codec").toLower());
    if (c.second.isEmpty()) {
        err << "kavexmix " << command << ": give --sdp FILE or --codec " << QStringList(codecs().keys()).join("|")
            << "\n";
        return false;
    }
    *sdp = QString("v=0\r\no=- 0 0 IN IP4 0.0.0.0\r\ns=kavexmix %1\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
                   "m=audio %2 RTP/AVP %3\r\na=rtpmap:%3 %4\r\n")
               .arg(command)
               .arg(port)
               .arg(c.first)
               .arg(c.second);
    return true;
}

bool readKeyFiles(const QCommandLineParser& parser, const QString& option, const QString& command,
                  std::vector<QByteArray>* keys)
{
    for (const QString& path : parser.values(option)) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) {
            QTextStream(stderr) << "kavexmix " << command << ": cannot read key file " << path << "\n";
            return false;
        }
        keys->push_back(f.readAll());
    }
    return true;
}

namespace {
// "NAME:PORT" with a port of 1..65535.
bool splitHostPort(const QString& text, QString* name, quint16* port)
{
    const int colon = text.lastIndexOf(':');
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (colon <= 0 || !ok || p == 0 || p > 65535)
        return false;
    *name = text.left(colon);
    *port = quint16(p);
    return true;
}
}  // namespace

bool hostAndPort(const QString& text, QHostAddress* host, quint16* port)
{
    QString name;
    return splitHostPort(text, &name, port) && host->setAddress(name);
}

void addServerOptions(QCommandLineParser& parser)
{
    parser.addOption(
        {"server", "Read the recordings from the unit server at HOST:PORT (kavexmix serve).", "HOST:PORT"});
    parser.addOption({"token-file", "The unit server's access token file (with --server).", "F"});
}

bool serverOptions(const QCommandLineParser& parser, const QString& command, QString* host, quint16* port,
                   QString* token)
{
    host->clear();
    if (!parser.isSet("server"))
        return true;
    if (!splitHostPort(parser.value("server"), host, port) || !parser.isSet("token-file")) {
        QTextStream(stderr) << "kavexmix " << command
                            << ": --server takes HOST:PORT with a port of 1..65535, and needs --token-file\n";
        return false;
    }
    *token = "@" + parser.value("token-file");
    return true;
}

bool portOption(const QCommandLineParser& parser, const QString& option, const QString& command, quint16* port)
{
    bool ok = false;
    const uint p = parser.value(option).toUInt(&ok);
    if (!ok || p > 65535) {
        QTextStream(stderr) << "kavexmix " << command << ": --" << option << " takes a port from 0 to 65535, not '"
                            << parser.value(option) << "'\n";
        return false;
    }
    *port = quint16(p);
    return true;
}

}  // namespace InputOptions
