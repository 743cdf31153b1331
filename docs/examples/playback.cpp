// Recorded playback from a recording store in this process: picks the store's
// first stream, plays it in a presentation group of its own from start to end,
// and shows the group's state and position as the mixer reports them.
//   example_playback [STORE.db]
#include <OstKavexMixer/OstKavexMixer.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // "" is recordings.db in the data directory.
    const QString store = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    QList<RecordingCatalog::Entry> recordings;
    QString error;
    if (!RecordingCatalog::list(store, &recordings, &error) || recordings.isEmpty()) {
        std::fprintf(stderr, "no recordings: %s\n", qPrintable(error));
        return 1;
    }
    const RecordingCatalog::Entry& recording = recordings.first();
    QSharedPointer<Mixer> mixer = Mixer::getInstance();
    const QString group = QStringLiteral("replay");

    QObject::connect(mixer.data(), &Mixer::stateChanged, &app, [](const QString&, int state, const QString&) {
        std::printf("state %d\n", state);  // 0 stopped, 1 paused, 2 playing
    });
    QObject::connect(mixer.data(), &Mixer::positionUpdate, &app, [](const QString&, NTPTimestamp ts, const QString&) {
        std::printf("at %s\n", qPrintable(ts.toDateTime().toString("hh:mm:ss.zzz")));
    });
    QObject::connect(mixer.data(), &Mixer::endOfRangeReached, &app, &QCoreApplication::quit);

    // The group is made with the channel; the ctrl... calls drive it.
    const quint64 id = mixer->addInprocPlayChannel(group, store, QString(), recording.name, recording.detail, 1.0);
    mixer->ctrlSetPlaybackRange(group, recording.span);
    mixer->ctrlSetAbsolutePlaybackPosition(group, recording.span.start());
    mixer->ctrlRequestPositionUpdate(group, 1000);
    mixer->ctrlStartPlayback(group, 100);  // percent; 200 double speed, -100 backwards

    const int result = app.exec();
    mixer->removeRtpChannel(id);  // the group goes with its last channel
    return result;
}
