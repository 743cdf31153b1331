#include "InprocPlaybackSession.h"
#include "LogCapture.h"
#include "RecordingTestSupport.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace RecordingTestSupport;

namespace {

// Relays the session's signals into the test thread, queued (as a playback
// channel connects them), and notes whether any came on the caller's thread.
class Probe : public QObject
{
    Q_OBJECT
public:
    explicit Probe(InprocPlaybackSession& session)
    {
        connect(&session, &PlaybackSessionIf::playbackSessionState, this, &Probe::state, Qt::QueuedConnection);
        connect(&session, &PlaybackSessionIf::onStreamInfo, this, &Probe::info, Qt::QueuedConnection);
        connect(&session, &PlaybackSessionIf::onUnit, this, &Probe::unit, Qt::QueuedConnection);
        auto note = [this] {
            if (QThread::currentThread() == thread())
                onCallerThread = true;
        };
        connect(&session, &PlaybackSessionIf::playbackSessionState, note);
        connect(&session, &PlaybackSessionIf::onUnit, note);
    }
    std::atomic<bool> onCallerThread{false};

signals:
    void state(bool ready);
    void info(const QString& span);
    void unit(const quint64& id, const QString& sdp, const NTPTimestamp& begin, const NTPTimestamp& end,
              const SharedPoolBuffer& data);
};

struct Session {
    explicit Session(const QString& store, const QString& stream = "s")
        : probe(session), states(&probe, &Probe::state), infos(&probe, &Probe::info), units(&probe, &Probe::unit)
    {
        EXPECT_TRUE(session.init(store, "", stream, "Desk 4", false, false));
        EXPECT_TRUE(states.wait(5000));
    }
    InprocPlaybackSession session;
    Probe probe;
    QSignalSpy states, infos, units;
};

TEST(InprocPlaybackSession, AnswersEachRequestOnceFromItsOwnThread)
{
    TempStore temp;
    {
        auto store = temp.open();
        const qint64 s = store->addStream("s", "", "");
        ASSERT_TRUE(store->writeUnits({unit(s, 0, 1, "u0", "sdp0"), unit(s, 1, 2, "u1", "sdp1")}));
    }
    Session t(temp.path);
    EXPECT_TRUE(t.states.at(0).at(0).toBool());

    t.session.requestStreamInfo();
    ASSERT_TRUE(t.infos.wait(5000));
    EXPECT_EQ(t.infos.at(0).at(0).toString(),
              QString("%1-%2").arg(kT0UnixMs).arg(kT0UnixMs + 2000));

    struct Ask {
        quint64 id;
        double t;
        PlaybackSessionIf::UnitRequestType type;
        const char* payload;  // nullptr: missing
    } asks[] = {
        {1, 0.5, PlaybackSessionIf::RequestCurrent, "u0"}, {2, 0, PlaybackSessionIf::RequestNext, "u1"},
        {3, 1, PlaybackSessionIf::RequestPrevious, "u0"},  {4, 1, PlaybackSessionIf::RequestNext, nullptr},
        {5, 9, PlaybackSessionIf::RequestCurrent, nullptr}, {(1ULL << 63) | 6, 0, PlaybackSessionIf::RequestPrevious, nullptr},
    };
    for (const Ask& a : asks)
        ASSERT_TRUE(t.session.requestUnit(a.id, at(a.t), a.type));
    ASSERT_TRUE(QTest::qWaitFor([&] { return t.units.count() >= 6; }, 5000));
    QTest::qWait(50);
    ASSERT_EQ(t.units.count(), 6);  // exactly one answer each, in order
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const QList<QVariant>& u = t.units.at(i);
        EXPECT_EQ(u.at(0).toULongLong(), asks[i].id);
        const NTPTimestamp begin = u.at(2).value<NTPTimestamp>(), end = u.at(3).value<NTPTimestamp>();
        const SharedPoolBuffer data = u.at(4).value<SharedPoolBuffer>();
        if (!asks[i].payload) {
            EXPECT_GE(begin, end);
            continue;
        }
        EXPECT_EQ(data.toByteArray(), asks[i].payload);
        EXPECT_EQ(u.at(1).toString(), QString("sdp") + asks[i].payload[1]);
        EXPECT_EQ(end - begin, NTPTimestamp::fromMilliseconds(1000));
    }
    EXPECT_FALSE(t.probe.onCallerThread);
}

TEST(InprocPlaybackSession, MissingStoreFailsAndUnknownStreamIsEmpty)
{
    QTemporaryDir dir;
    {
        LogCapture log;
        Session missing(dir.filePath("none.db"));
        EXPECT_FALSE(missing.states.at(0).at(0).toBool());
        EXPECT_FALSE(missing.session.requestUnit(1, at(0), PlaybackSessionIf::RequestCurrent));
        EXPECT_EQ(log.count(QtWarningMsg, "Desk 4: InprocPlaybackSession::init: Cannot play"), 1) << log.dump().toStdString();
        EXPECT_EQ(log.count(QtWarningMsg, ""), 1);
    }
    TempStore temp;
    temp.open();
    Session unknown(temp.path, "nobody");
    EXPECT_TRUE(unknown.states.at(0).at(0).toBool());
    unknown.session.requestStreamInfo();
    ASSERT_TRUE(unknown.infos.wait(5000));
    EXPECT_EQ(unknown.infos.at(0).at(0).toString(), "0-0");
    ASSERT_TRUE(unknown.session.requestUnit(7, at(0), PlaybackSessionIf::RequestNext));
    ASSERT_TRUE(unknown.units.wait(5000));
    EXPECT_GE(unknown.units.at(0).at(2).value<NTPTimestamp>(), unknown.units.at(0).at(3).value<NTPTimestamp>());
}

}  // namespace

#include "InprocPlaybackSessionTest.moc"
