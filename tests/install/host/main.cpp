// A host application built against the installed package: it creates the
// mixer, starts playback of a group of its own and waits for the group's state change to
// arrive through a queued connection.
#include <OstKavexMixer/OstKavexMixer.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QSharedPointer<Mixer> mixer = Mixer::getInstance(true, false);
    int result = 1;
    QObject::connect(
        mixer.data(), qOverload<const QString&, int, const QString&>(&Mixer::stateChanged), &app,
        [&](const QString& group, int state, const QString&) {
            std::printf("host: received stateChanged %s %d\n", qPrintable(group), state);
            result = 0;
            app.quit();
        },
        Qt::QueuedConnection);
    // Only groups the host made are relayed: "LIVE" stays quiet.
    mixer->ctrlStartPlayback("LIVE", 100);
    mixer->addPlaybackPresentationGroup("replay");
    mixer->ctrlStartPlayback("replay", 100);
    std::printf("host: groups %s\n", qPrintable(mixer->presentationGroups().join(",")));
    QTimer::singleShot(10000, &app, &QCoreApplication::quit);
    app.exec();
    return result;
}
