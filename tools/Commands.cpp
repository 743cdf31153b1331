#include "Commands.h"
#include "OptionCheck.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTextStream>
#include <QTimer>

QList<Command> commands()
{
    return {
        {"demo", "a short self-contained show of the mixer", &runDemo},
        {"devices", "lists the sound outputs and inputs", &runDevices},
        {"tone", "plays a WAV file or a named tone of the settings", &runTone},
        {"listen", "receives live RTP audio and shows its streams", &runListen},
        {"talk", "sends the microphone or a WAV file as A-law RTP (talk-back)", &runTalk},
        {"keygen", "writes a key pair for encrypted streams", &runKeygen},
        {"encrypt", "wraps a file's bytes in an encryption layer", &runEncrypt},
        {"record", "records live RTP audio into a recording store", &runRecord},
        {"recordings", "lists the streams of a recording store", &runRecordings},
        {"play", "plays a recorded stream with position, speed, reverse and seek", &runPlay},
        {"serve", "serves a recording store's streams to players elsewhere", &runServe},
    };
}

bool parseCommandLine(QCommandLineParser& parser, const QString& command, const QStringList& args, bool takesArguments)
{
    parser.addHelpOption();
    const QCommandLineOption output("output",
                                    "Sound output: auto (default), virtual, wav:PATH or a device name "
                                    "(see kavexmix devices).",
                                    "DEVICE");
    parser.addOption(output);
    if (!parser.parse(QStringList{"kavexmix " + command} + args)) {
        QTextStream(stderr) << "kavexmix " << command << ": " << parser.errorText() << " (see kavexmix " << command
                            << " --help)\n";
        return false;
    }
    if (parser.isSet("help")) {
        QTextStream(stdout) << parser.helpText();
        return false;
    }
    if (!takesArguments && !parser.positionalArguments().isEmpty()) {
        QTextStream(stderr) << "kavexmix " << command << ": unexpected argument '"
                            << parser.positionalArguments().first() << "'; this command takes options only\n";
        return false;
    }
    if (!OptionCheck(parser, command).device("output"))
        return false;
    if (parser.isSet(output))
        qputenv("OSTKAVEX_OUTPUT_DEVICE", parser.value(output).toUtf8());
    return true;
}

void runFor(double seconds)
{
    QEventLoop loop;
    if (seconds >= 0)
        QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &loop, &QEventLoop::quit);
    loop.exec();
}
