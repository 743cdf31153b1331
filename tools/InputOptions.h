#pragma once

#include "OptionCheck.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QHostAddress>
#include <QMap>
#include <QPair>
#include <QString>
#include <vector>

// Options shared by the commands that take live RTP (listen, record) or keys
// (listen, record, play): each helper reports a bad value on stderr through
// OptionCheck and returns false.
namespace InputOptions {

// Payload type and rtpmap of the codecs --codec accepts.
const QMap<QString, QPair<int, QString>>& codecs();
// Adds --port, --rtcp-port, --multicast, --interface, --tcp-relay and --peer;
// `portHelp` describes --port.
void addReceiveOptions(QCommandLineParser& parser, const QString& portHelp);
// Adds --sdp FILE and --codec NAME.
void addStreamOptions(QCommandLineParser& parser);
// The SDP from --sdp or --codec (for `port`).
bool streamSdp(const OptionCheck& check, quint16 port, QString* sdp);
// The contents of every file given with `option`.
bool readKeyFiles(const OptionCheck& check, const QString& option, std::vector<QByteArray>* keys);
// --tcp-relay HOST:PORT (numeric) with the --peer ADDR it needs; the server
// stays null when no relay was given.
bool relayOptions(const OptionCheck& check, QHostAddress* server, quint16* port, QHostAddress* peer);
// A --store that is a plain path must exist.
bool storeExists(const OptionCheck& check);

// Adds --server HOST:PORT and --token-file F (recordings from a unit server).
void addServerOptions(QCommandLineParser& parser);
// The unit server of --server ("" when not given) and the token argument
// ("@FILE") of --token-file, which --server requires.
bool serverOptions(const OptionCheck& check, QString* host, quint16* port, QString* token);

// Prints `text` as a table that a terminal redraws in place.
void printTable(const QString& text, bool terminal);

}  // namespace InputOptions
