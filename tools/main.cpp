// kavexmix: a host program for the mixer library, written on its installed API only.
#include "Commands.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kavexmix");
    // Every line on stderr is the tool's own: its messages start with
    // "kavexmix COMMAND:", the library's (and FFmpeg's, ALSA's and JACK's,
    // which the library routes through Qt's logger) with "kavexmix" and the
    // logging category. QT_MESSAGE_PATTERN still overrides this.
    qSetMessagePattern("kavexmix %{if-category}%{category} %{endif}%{type}: %{message}");
    // The library's debug lines are for developers; KAVEXMIX_VERBOSE=1 shows them.
    if (qEnvironmentVariableIsEmpty("KAVEXMIX_VERBOSE"))
        QLoggingCategory::setFilterRules("*.debug=false");
    QStringList args = app.arguments();
    args.removeFirst();
    QTextStream out(stdout);
    const QString command = args.isEmpty() ? QString() : args.takeFirst();
    for (const Command& c : commands()) {
        if (c.name == command)
            return c.run(args);
    }
    out << "Usage: kavexmix COMMAND [OPTIONS]  (kavexmix COMMAND --help for its options)\n\nCommands:\n";
    for (const Command& c : commands())
        out << "  " << c.name.leftJustified(10) << c.summary << "\n";
    return command.isEmpty() || command == "--help" || command == "help" ? 0 : 2;
}
