#include "LogCapture.h"
#include "PlaybackMember.h"
#include "PlaybackPresentationGroup.h"
#include "PresentationNotifier.h"
#include "TestChannel.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {
NTPTimestamp ms(quint64 v)
{
    return NTPTimestamp::fromMilliseconds(v);
}
const NTPTimestamp kFrame = NTPTimestamp::fromDivision(8, 375);
const NTPTimestamp P = NTPTimestamp::fromMilliseconds(3900000000000ULL);

// A playback member that records what the group asks of it.
class FakeMember : public QObject, public TestChannel, public PlaybackMember
{
    Q_OBJECT
public:
    void requestPosition(const NTPTimestamp& ts) override { positions.append(ts); }
    void setReverse(bool r) override { reverse = r; }
    void setPlaybackRange(const NTPRange& r) override { range = r; }
    void setInterpretPause(bool f) override { interpret = f; }
    bool hasStreamInfo() const override { return !info.isEmpty(); }
    QString streamInfo() const override { return info; }
    QString streamName() const override { return "stream"; }
    void shutdown() override { ++shutdowns; }

    QList<NTPTimestamp> positions;
    bool reverse = false;
    NTPRange range;
    bool interpret = true;
    QString info;
    int shutdowns = 0;

signals:
    void streamInfo(const QString& streamInfo, const QString& streamName);
    void outOfData();
};
}  // namespace

TEST(PresentationGroup, PlayMapsTicksToTheTimeLineAndPauseResumesJustAfterTheLastRange)
{
    PresentationGroup g("G");
    QSignalSpy state(&g, &PresentationGroup::stateChanged);
    g.setPosition(P, 10);
    g.play(10);
    ASSERT_EQ(state.count(), 1);
    EXPECT_EQ(state[0][1].toInt(), int(Playing));
    EXPECT_EQ(g.getCurrentRange(10), NTPRange(P, P + kFrame));
    const NTPRange last = g.getCurrentRange(10 + 375);
    EXPECT_EQ(last, NTPRange(P + ms(8000), P + ms(8000) + kFrame));
    g.play(400);  // same state again: no signal
    EXPECT_EQ(state.count(), 1);
    g.pause();
    EXPECT_EQ(g.state(), Paused);
    // Paused: the range stays at the recorded position.
    EXPECT_EQ(g.getCurrentRange(500).start(), g.position());
    g.play(600);
    EXPECT_EQ(g.getCurrentRange(600).start(), last.end() + ms(1));
}

TEST(PresentationGroup, DriftCorrectionWaitsForGraceAndOneSecond)
{
    PresentationGroup g("G");
    TestChannel c;
    g.addChannel(&c);
    g.interpretPause(false, 0);
    g.setPosition(P, 0);
    g.play(0);
    // Exactly 1000 ms behind: never moves the clock.
    for (quint64 t = 0; t < 20; ++t) {
        const NTPTimestamp expected = P + NTPTimestamp::fromDivision(8 * t, 375);
        c.m_timestamp = expected - ms(1000);
        EXPECT_EQ(g.getCurrentRange(t).start(), expected) << "tick " << t;
    }

    // 1001 ms behind after a fresh start: six calls make no correction, the seventh does.
    g.play(20);
    const NTPTimestamp far = P - ms(1001);
    c.m_timestamp = far;
    for (quint64 call = 1; call <= 6; ++call)
        EXPECT_NE(g.getCurrentRange(20 + call).start(), far) << "call " << call;
    EXPECT_EQ(g.getCurrentRange(27), NTPRange(far, far + kFrame));
    // The clock now runs from the channel's time.
    c.m_timestamp = far + ms(8000);
    EXPECT_EQ(g.getCurrentRange(27 + 375).start(), far + ms(8000));
}

TEST(PresentationGroup, EndOfRangeComesBeforeTheStop)
{
    PresentationGroup g("G");
    QList<QString> order;
    QObject::connect(&g, &PresentationGroup::endOfRangeReached, [&] { order << "end"; });
    QObject::connect(&g, &PresentationGroup::stateChanged, [&](const QString&, int s, const QString&) {
        order << QString("state %1").arg(s);
    });
    g.setPlaybackRange(NTPRange(P, P + ms(100)), 0);
    EXPECT_EQ(g.position(), P);  // clamped into the range
    g.play(0);
    EXPECT_EQ(g.getCurrentRange(0).start(), P);
    g.getCurrentRange(5);  // 106 ms on: beyond the playback range
    EXPECT_EQ(order, (QList<QString>{"state 2", "end", "state 0"}));
}

TEST(PresentationGroup, PositionIsReportedOnASeekWhenStoppedAndAtTheIntervalWhilePlaying)
{
    PresentationGroup g("G");
    QSignalSpy pos(&g, &PresentationGroup::positionUpdate);
    QSignalSpy intervals(PresentationNotifier::instance(), &PresentationNotifier::presentationInterval);
    g.setPosition(P, 0);
    ASSERT_EQ(pos.count(), 1);
    EXPECT_EQ(pos[0][1].value<NTPTimestamp>(), P);
    ASSERT_EQ(intervals.count(), 1);
    EXPECT_EQ(intervals[0][1].value<NTPTimestamp>(), P - ms(60));
    EXPECT_EQ(intervals[0][2].value<NTPTimestamp>(), P + kFrame - ms(60));

    g.play(0);
    for (quint64 t = 1; t <= 100; ++t)
        g.updatePosition("G", t);
    EXPECT_EQ(pos.count(), 1);  // interval 0: no reports
    g.setPositionUpdateInterval(200);
    for (quint64 t = 1; t <= 100; ++t)  // 100 ticks = 2133 ms
        g.updatePosition("G", t);
    EXPECT_EQ(pos.count(), 11);
    EXPECT_GE(g.position(), P + ms(2100));

    g.pause();
    g.setPosition(P + ms(5000), 0);
    EXPECT_EQ(pos.count(), 11);
    EXPECT_EQ(g.position(), P + ms(5000));
    g.stop();
    g.updatePosition("G", 101);  // not playing: the last reported position again
    ASSERT_EQ(pos.count(), 12);
    EXPECT_EQ(pos[11][1].value<NTPTimestamp>(), P + ms(5000));
}

TEST(PresentationGroup, ChannelOperationsAndLogLines)
{
    LogCapture log;
    PresentationGroup g("G");
    TestChannel a, b;
    a.unmute(CHANNEL_BOTH);
    b.unmute(CHANNEL_BOTH);
    g.addChannel(&a);
    g.addChannel(&b);
    g.mute(CHANNEL_LEFT);
    EXPECT_EQ(int(a.getMuteState()), 1);
    EXPECT_EQ(int(b.getMuteState()), 1);
    g.setActive(false);
    EXPECT_FALSE(a.isActive());
    g.removeChannel(&a);
    g.removeChannel(&b);
    EXPECT_TRUE(g.isEmpty());
    EXPECT_EQ(log.count(QtDebugMsg, "PresentationGroup::addChannel: add channel to G"), 2);
    EXPECT_EQ(log.count(QtDebugMsg, "PresentationGroup::setActive for G -> active = false"), 1);

    log.clear();
    PresentationGroup live("LIVE");
    live.addChannel(&a);
    live.setPosition(P, 0);
    live.play(0);
    live.pause();
    live.setState(Stopped);
    live.removeChannel(&a);
    EXPECT_EQ(log.countAny("PresentationGroup::"), 0) << log.dump().toStdString();
}

// A channel that is no playback member stays on the time line and is never treated as one.
TEST(PlaybackPresentationGroup, SpeedSetsTheClocksRateAndReverseFetchesAfreshAndWalksBack)
{
    LogCapture log;
    PlaybackPresentationGroup g("P");
    FakeMember m;
    TestChannel plain;
    plain.m_active = false;
    g.addChannel(&plain);
    g.addChannel(&m);
    g.setPosition(P, 0);
    g.play(0);
    EXPECT_TRUE(plain.isActive());
    QSignalSpy state(&g, &PresentationGroup::stateChanged);
    g.getCurrentRange(10);
    m.positions.clear();
    g.setSpeed(100);  // same direction: nothing to fetch afresh
    EXPECT_TRUE(m.positions.isEmpty());
    g.setSpeed(200);
    const NTPTimestamp a = g.getCurrentRange(20).start();
    EXPECT_NEAR(double((g.getCurrentRange(21).start() - a).toMicroSeconds()), 42667.0, 1.0);  // 16/375 s per tick

    g.setSpeed(-100);
    EXPECT_EQ(state.count(), 0);
    EXPECT_EQ(g.state(), Playing);
    EXPECT_TRUE(m.reverse);
    ASSERT_EQ(m.positions.size(), 1);
    const NTPRange b = g.getCurrentRange(376);
    EXPECT_EQ(g.getCurrentRange(376), b);  // the same range for every call within a tick
    EXPECT_NEAR(double((b.start() - g.getCurrentRange(377).start()).toMicroSeconds()), 21333.0, 1.0);
    g.setSpeed(100);
    EXPECT_FALSE(m.reverse);
    EXPECT_EQ(m.positions.size(), 2);

    g.setSpeed(0);  // no rate: refused, the group plays on
    EXPECT_EQ(g.state(), Playing);
    EXPECT_EQ(log.count(QtWarningMsg, "PlaybackPresentationGroup::setSpeed: Ignoring speed 0 for P"), 1);
    g.removeChannel(&plain);
}

TEST(PlaybackPresentationGroup, MembersFollowRangePositionAndPlayState)
{
    PlaybackPresentationGroup g("P");
    FakeMember m;
    m.m_active = false;
    g.addChannel(&m);
    const NTPRange range(P, P + ms(60000));
    g.setPlaybackRange(range, 0);
    EXPECT_EQ(m.range, range);
    m.positions.clear();
    g.setPosition(P - ms(5000), 0);  // before the range: starts at its start
    ASSERT_EQ(m.positions.size(), 1);
    EXPECT_EQ(m.positions[0], P);
    EXPECT_EQ(g.position(), P);

    g.play(0);
    EXPECT_TRUE(m.isActive());
    g.pause();  // interpret-pause set: paused members keep delivering
    EXPECT_TRUE(m.isActive());
    g.interpretPause(false, 0);
    EXPECT_FALSE(m.interpret);
    g.play(1);
    g.pause();
    EXPECT_FALSE(m.isActive());
    g.play(2);
    g.stop();
    EXPECT_FALSE(m.isActive());

    // A member added while playing is switched on and asked for the range start.
    g.play(3);
    FakeMember late;
    late.m_active = false;
    g.addChannel(&late);
    EXPECT_TRUE(late.isActive());
    ASSERT_EQ(late.positions.size(), 1);
    EXPECT_EQ(late.positions[0], g.currentRange().start());
}

TEST(PlaybackPresentationGroup, LastMemberLeavingStopsSilently)
{
    PlaybackPresentationGroup g("P");
    FakeMember m;
    m.info = "100-200";
    QSignalSpy session(&g, &PresentationGroup::playbackSessionState);
    g.addChannel(&m);
    ASSERT_EQ(session.count(), 1);  // stream info known at once
    emit m.streamInfo("50-150", "stream");  // the spans are joined
    emit m.streamInfo("0-0", "stream");     // none: reported as such
    ASSERT_EQ(session.count(), 3);
    EXPECT_EQ(session[0][2].toString() + " " + session[1][2].toString() + " " + session[2][2].toString(),
              "100-200 50-200 0-0");
    EXPECT_EQ(session[1][3].toString(), QStringLiteral("stream"));
    EXPECT_TRUE(session[1][1].toBool());
    EXPECT_FALSE(session[2][1].toBool());

    g.play(0);
    QSignalSpy state(&g, &PresentationGroup::stateChanged);
    g.removeChannel(&m);
    EXPECT_EQ(m.shutdowns, 1);
    EXPECT_EQ(g.state(), Stopped);
    EXPECT_EQ(state.count(), 0);
    emit m.streamInfo("1-2", "stream");  // disconnected
    EXPECT_EQ(session.count(), 3);
}

#include "PresentationGroupTest.moc"
