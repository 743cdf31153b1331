#include "Commands.h"
#include "LevelMeter.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <unistd.h>
#include <functional>

namespace {
// A mono 16-bit 48 kHz WAV of a sine, with short fades so that the loop
// joins without a click when the length holds whole periods.
bool writeSine(const QString& path, double frequency, double seconds, double amplitude)
{
    const int n = int(48000 * seconds);
    QByteArray data(n * 2, 0);
    for (int i = 0; i < n; ++i) {
        const double fade = std::min({1.0, i / 480.0, (n - i) / 480.0});
        const qint16 s = qint16(std::lround(amplitude * fade * std::sin(2 * M_PI * frequency * i / 48000.0)));
        qToLittleEndian<qint16>(s, reinterpret_cast<uchar*>(data.data() + 2 * i));
    }
    QByteArray h(44, 0);
    auto put32 = [&](int at, quint32 v) { qToLittleEndian<quint32>(v, reinterpret_cast<uchar*>(h.data() + at)); };
    auto put16 = [&](int at, quint16 v) { qToLittleEndian<quint16>(v, reinterpret_cast<uchar*>(h.data() + at)); };
    memcpy(h.data(), "RIFF", 4);
    put32(4, quint32(36 + data.size()));
    memcpy(h.data() + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);
    put16(22, 1);
    put32(24, 48000);
    put32(28, 96000);
    put16(32, 2);
    put16(34, 16);
    memcpy(h.data() + 36, "data", 4);
    put32(40, quint32(data.size()));
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(h + data) == h.size() + data.size();
}
}  // namespace

int runDemo(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("A short self-contained show of the mixer: tones started, mixed, made "
                                     "exclusive and stopped, volume and balance changed. Without a sound card "
                                     "the show is written to demo-output.wav.");
    if (!parseCommandLine(parser, "demo", args))
        return parser.isSet("help") ? 0 : 2;
    QTextStream out(stdout);

    QString recording;
    if (!parser.isSet("output") && qEnvironmentVariableIsEmpty("OSTKAVEX_OUTPUT_DEVICE") &&
        !SoundDevices::hasDefaultOutput()) {
        recording = QDir::current().absoluteFilePath("demo-output.wav");
        qputenv("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + recording).toUtf8());
        out << "No sound card here: the show is recorded into " << recording << "\n";
    } else if (qEnvironmentVariable("OSTKAVEX_OUTPUT_DEVICE").startsWith("wav:")) {
        recording = qEnvironmentVariable("OSTKAVEX_OUTPUT_DEVICE").mid(4);
    }

    QTemporaryDir tones;
    const QString a = tones.filePath("a440.wav"), e = tones.filePath("e660.wav"), chime = tones.filePath("chime.wav");
    if (!writeSine(a, 440, 1.0, 8000) || !writeSine(e, 660, 1.0, 6000) || !writeSine(chime, 880, 0.6, 9000)) {
        out << "kavexmix demo: cannot write the demo's tone files\n";
        return 1;
    }

    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, true);
    out << "Mixer running; presentation groups: " << mixer->presentationGroups().join(", ") << "\n";
    out.flush();
    LevelMeter meter(mixer);
    meter.start();
    const auto step = [&](const QString& label, const QString& hear, double seconds, const std::function<void()>& act) {
        act();
        meter.setLabel(label);
        out << (isatty(1) ? "\n" : "") << "-> " << hear << "\n";
        out.flush();
        runFor(seconds);
    };

    quint64 toneA = 0;
    step("440 Hz", "a steady 440 Hz tone (A4) in both ears", 1.5,
         [&] { toneA = mixer->setSignalToneFromFile(a, true, false, 1.0); });
    step("440 + 660 Hz", "a 660 Hz tone joins: both mixed, a fifth", 1.5,
         [&] { mixer->setSignalToneFromFile(e, true, false, 1.0); });
    step("chime, exclusive", "an 880 Hz chime alone: the exclusive start stopped the other two", 1.0,
         [&] { mixer->setSignalToneFromFile(chime, false, true, 1.0); });
    step("silence", "silence: the chime has ended", 0.5, [] {});
    step("440 Hz", "the 440 Hz tone again", 1.0, [&] { toneA = mixer->setSignalToneFromFile(a, true, false, 1.0); });
    step("volume 50", "the same tone quieter (master volume 50)", 1.0, [&] { mixer->setMasterVolume(50); });
    step("balance -100", "left ear only (balance -100)", 1.0, [&] {
        mixer->setMasterVolume(100);
        mixer->setBalance(-100);
    });
    step("balance +100", "right ear only (balance +100)", 1.0, [&] { mixer->setBalance(100); });
    step("stopped", "silence: the tone is stopped", 0.5, [&] {
        mixer->setBalance(0);
        mixer->stopSignalTone(toneA);
    });
    meter.stop();
    mixer.reset();
    if (!recording.isEmpty())
        out << "The show is in " << recording << " (48 kHz stereo WAV, about 9 s).\n";
    out << "Demo finished.\n";
    return 0;
}
