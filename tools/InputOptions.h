#pragma once

#include <QByteArray>
#include <QCommandLineParser>
#include <QHostAddress>
#include <QMap>
#include <QPair>
#include <QString>
#include <vector>

// Options shared by the commands that take live RTP (listen, record) or keys
// (listen, record, play): each helper reports a bad value on stderr, naming
// the command, and returns false.
namespace InputOptions {

// Payload type and rtpmap of the codecs --codec accepts.
const QMap<QString, QPair<int, QString>>& codecs();
// Adds --port, --rtcp-port, --multicast, --interface, --tcp-relay and --peer;
// `portHelp` describes --port.
void addReceiveOptions(QCommandLineParser& parser, const QString& portHelp);
// Adds --sdp FILE and --codec NAME.
void addStreamOptions(QCommandLineParser& parser);
// The SDP from --sdp or --codec (for `port`).
bool streamSdp(const QCommandLineParser& parser, const QString& command, quint16 port, QString* sdp);
// The contents of every file given with `option`.
bool readKeyFiles(const QCommandLineParser& parser, const QString& option, const QString& command,
                  std::vector<QByteArray>* keys);
// "HOST:PORT" with a numeric address and a port of 1..65535.
bool hostAndPort(const QString& text, QHostAddress* host, quint16* port);
// A port option: 0..65535 (0: any free one).
bool portOption(const QCommandLineParser& parser, const QString& option, const QString& command, quint16* port);

// Adds --server HOST:PORT and --token-file F (recordings from a unit server).
void addServerOptions(QCommandLineParser& parser);
// The unit server of --server ("" when not given) and the token argument
// ("@FILE") of --token-file, which --server requires.
bool serverOptions(const QCommandLineParser& parser, const QString& command, QString* host, quint16* port,
                   QString* token);

// Prints `text` as a table that a terminal redraws in place.
void printTable(const QString& text, bool terminal);

}  // namespace InputOptions
