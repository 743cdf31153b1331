#include "Commands.h"
#include "InputOptions.h"
#include "OptionCheck.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QTextStream>

int runServe(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Serves the streams of a recording store to kavexmix play --server and to hosts' playback channels. "
        "Clients must present the access token of --token-file; when that file does not exist, a new random "
        "token is written to it. Runs until interrupted.");
    parser.addOption({"store", "The recording store (default: recordings.db in the data directory).", "S"});
    parser.addOption({"port", "The TCP port to listen on (0: any free one, printed).", "P"});
    parser.addOption({"listen", "The address to listen on (default: every interface).", "ADDR"});
    parser.addOption({"token-file", "The access token's file (required; made when missing).", "F"});
    if (!parseCommandLine(parser, "serve", args))
        return parser.isSet("help") ? 0 : 2;
    QTextStream err(stderr);
    const OptionCheck check(parser, "serve");
    UnitServer::Options options;
    QHostAddress listen;
    if (!check.required("port", "give the TCP port to listen on (0: any free one)") ||
        !check.port("port", &options.port) ||
        !check.required("token-file", "give the access token's file (made when missing)") ||
        !check.address("listen", &listen) || !InputOptions::storeExists(check))
        return 2;
    options.store = parser.value("store");
    options.listen = parser.value("listen");
    bool created = false;
    QString error;
    if (!UnitServer::loadOrCreateToken(parser.value("token-file"), &options.token, &created, &error)) {
        err << "kavexmix serve: " << error << "\n";
        return 1;
    }
    UnitServer server(options);
    if (!server.start(&error)) {
        err << "kavexmix serve: " << error << "\n";
        return 1;
    }
    QTextStream out(stdout);
    if (created)
        out << "Wrote a new access token to " << parser.value("token-file") << "\n";
    out << "Serving " << (options.store.isEmpty() ? QStringLiteral("the default store") : options.store) << " on port "
        << server.port() << "\n";
    out.flush();
    // Until interrupted: the system closes the connections.
    runFor(-1);
    return 0;
}
