#pragma once

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

int runDemo(const QStringList& args);
