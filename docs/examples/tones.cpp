// Signal tones: plays a WAV file once over whatever else plays, then the first
// tone named in the settings file in a loop, alone, until it is stopped.
//   example_tones FILE.wav
#include <OstKavexMixer/OstKavexMixer.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE.wav\n", argv[0]);
        return 2;
    }
    QSharedPointer<Mixer> mixer = Mixer::getInstance();

    // Once (no loop), mixed with the other channels (not exclusive), full volume.
    if (mixer->setSignalToneFromFile(QString::fromLocal8Bit(argv[1]), false, false, 1.0) == 0) {
        std::fprintf(stderr, "cannot play %s\n", argv[1]);
        return 1;
    }

    // Tones of the settings file's "Sounds" section play by name. An exclusive
    // tone silences the other channels while it plays.
    const QStringList names = mixer->getAvailableSignalTones();
    quint64 looped = 0;
    if (!names.isEmpty())
        QTimer::singleShot(2000, &app, [&] { looped = mixer->setSignalTone(names.first(), true, true, 0.5); });
    QTimer::singleShot(5000, &app, [&] {
        if (looped != 0)
            mixer->stopSignalTone(looped);
        app.quit();
    });
    return app.exec();
}
