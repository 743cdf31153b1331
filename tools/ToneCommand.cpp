#include "Commands.h"
#include "LevelMeter.h"
#include "OptionCheck.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QtEndian>

namespace {
// Ten times the file's level (+20 dB) is as loud as a tone may be made.
const double kMaxVolume = 10.0;

// Play time of a canonical WAV file, or a negative value when unknown.
double wavSeconds(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray h = f.read(44);
    if (h.size() < 44)
        return -1;
    const quint32 rate = qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(h.constData() + 24));
    const quint32 size = qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(h.constData() + 40));
    return rate ? double(size) / 2.0 / rate : -1;
}
}  // namespace

int runTone(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Plays a WAV file (mono, 16 bit) or a tone named in section Sounds of the "
                                     "settings file, with a live level meter.");
    parser.addPositionalArgument("FILE-OR-NAME", "A WAV file path or a tone name.");
    parser.addOption({"loop", "Play the tone again and again."});
    parser.addOption({"volume", "Linear gain of the tone, 0 to 10 (default 1.0).", "V"});
    parser.addOption({"seconds", "How long to play (default: the file's length, or 5 s).", "S"});
    if (!parseCommandLine(parser, "tone", args, true))
        return parser.isSet("help") ? 0 : 2;
    if (parser.positionalArguments().size() != 1) {
        QTextStream(stderr) << "kavexmix tone: name one WAV file or tone\n";
        return 2;
    }
    const OptionCheck check(parser, "tone");
    double volume = 1.0;
    double seconds = 5.0;
    if (!check.number("volume", 0, kMaxVolume, QString("a linear gain from 0 to %1").arg(kMaxVolume), &volume) ||
        !check.seconds("seconds", &seconds))
        return 2;
    const QString what = parser.positionalArguments().first();
    const bool loop = parser.isSet("loop");

    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, true);
    const bool isFile = QFileInfo(what).isFile();
    const quint64 id = isFile ? mixer->setSignalToneFromFile(what, loop, false, volume)
                              : mixer->setSignalTone(what, loop, false, volume);
    if (id == 0) {
        QTextStream(stderr) << "kavexmix tone: could not play " << what
                            << (isFile ? "" : " (known tones: " + mixer->getAvailableSignalTones().join(", ") + ")")
                            << "\n";
        return 1;
    }
    if (!parser.isSet("seconds") && isFile && !loop && wavSeconds(what) > 0)
        seconds = wavSeconds(what) + 0.3;
    LevelMeter meter(mixer);
    meter.setLabel(QFileInfo(what).fileName());
    meter.start();
    runFor(seconds);
    meter.stop();
    mixer->stopSignalTone(id);
    return 0;
}
