#include "Commands.h"
#include "InputOptions.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QDateTime>
#include <QTextStream>

int runRecordings(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Lists the streams of a recording store with their spans (local time), unit "
                                     "counts and codecs, and whether they are encrypted.");
    parser.addOption(storeOption());
    InputOptions::addServerOptions(parser);
    if (!parseCommandLine(parser, "recordings", args))
        return parser.isSet("help") ? 0 : 2;
    QString server, token;
    quint16 port = 0;
    const OptionCheck check(parser, "recordings");
    if (!InputOptions::serverOptions(check, &server, &port, &token) || !InputOptions::storeExists(check))
        return 2;

    QList<RecordingCatalog::Entry> entries;
    QString error;
    const bool listed = server.isEmpty() ? RecordingCatalog::list(parser.value("store"), &entries, &error)
                                         : RecordingCatalog::listFromServer(server, port, token, &entries, &error);
    if (!listed) {
        QTextStream(stderr) << "kavexmix recordings: " << error << "\n";
        return 1;
    }
    QTextStream out(stdout);
    out << QString("%1 %2 %3 %4 %5 %6\n")
               .arg("stream", -32)
               .arg("from", -23)
               .arg("to", -23)
               .arg("units", 7)
               .arg("codec", -8)
               .arg("encrypted");
    for (const RecordingCatalog::Entry& e : qAsConst(entries)) {
        const auto local = [](const NTPTimestamp& t) {
            return t.isNull() ? QStringLiteral("-") : t.toDateTime().toLocalTime().toString("yyyy-MM-dd HH:mm:ss.zzz");
        };
        out << QString("%1 %2 %3 %4 %5 %6\n")
                   .arg(e.name, -32)
                   .arg(local(e.span.start()), -23)
                   .arg(local(e.span.end()), -23)
                   .arg(e.units, 7)
                   .arg(e.codec, -8)
                   .arg(e.encrypted ? "yes" : "no");
    }
    if (entries.isEmpty())
        out << "(no recorded stream)\n";
    return 0;
}
