#pragma once

#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// One subcommand of the tool: its name, a one-line summary, and its entry.
struct Command {
    QString name;
    QString summary;
    std::function<int(const QStringList& args)> run;
};

QList<Command> commands();

// Options every subcommand takes (--help, --output DEVICE), parsed and
// applied; false when the tool should end (help shown or bad arguments).
// Positional arguments are refused unless the command `takesArguments`.
bool parseCommandLine(QCommandLineParser& parser, const QString& command, const QStringList& args,
                      bool takesArguments = false);
// The --store option of the commands that record or play: a store file or a
// PostgreSQL database (its password from the settings or PGPASSFILE).
inline QCommandLineOption storeOption()
{
    return {"store",
            "The recording store: a file, or postgresql://USER@HOST:PORT/DATABASE, whose password comes from "
            "RecordingStore/Password in the settings or from PGPASSFILE (default: recordings.db in the data "
            "directory).",
            "S"};
}
// Runs the Qt event loop for `seconds` (or until quit() when negative).
void runFor(double seconds);

int runDemo(const QStringList& args);
int runDevices(const QStringList& args);
int runTone(const QStringList& args);
int runListen(const QStringList& args);
int runTalk(const QStringList& args);
int runKeygen(const QStringList& args);
int runEncrypt(const QStringList& args);
int runPlay(const QStringList& args);
int runRecord(const QStringList& args);
int runRecordings(const QStringList& args);
int runServe(const QStringList& args);
