#include "Commands.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTextStream>
#include <QTimer>

int runDemo(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Creates the mixer, shows its presentation groups and lets its time line run.");
    parser.addHelpOption();
    QCommandLineOption seconds("seconds", "How long the mixer runs.", "S", "1");
    parser.addOption(seconds);
    parser.process(QStringList{"kavexmix demo"} + args);

    QTextStream out(stdout);
    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, false);
    out << "Mixer created. Presentation groups: " << mixer->presentationGroups().join(", ") << "\n";
    out << "Stream info of LIVE: " << mixer->getStreamInfo("LIVE") << "\n";
    out.flush();

    QEventLoop loop;
    QTimer::singleShot(int(parser.value(seconds).toDouble() * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    mixer.reset();
    out << "Mixer released cleanly.\n";
    return 0;
}
