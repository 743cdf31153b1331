#include "LogCapture.h"
#include "PresentationGroup.h"
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
    g.stop();
    EXPECT_EQ(g.state(), Stopped);
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

TEST(PresentationGroup, SetPositionReportsOnlyWhenStopped)
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
    g.pause();
    g.setPosition(P + ms(5000), 0);
    EXPECT_EQ(pos.count(), 1);
    EXPECT_EQ(g.position(), P + ms(5000));
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
    EXPECT_EQ(g.state(), Playing);
    // Five ticks later (106 ms) the range lies beyond the playback range.
    g.getCurrentRange(5);
    EXPECT_EQ(g.state(), Stopped);
    EXPECT_EQ(order, (QList<QString>{"state 2", "end", "state 0"}));
}

TEST(PresentationGroup, PositionUpdatesAtTheInterval)
{
    PresentationGroup g("G");
    QSignalSpy pos(&g, &PresentationGroup::positionUpdate);
    g.setPosition(P, 0);
    pos.clear();
    g.play(0);
    for (quint64 t = 1; t <= 100; ++t)
        g.updatePosition("G", t);
    EXPECT_EQ(pos.count(), 0);  // interval 0: no reports

    g.setPositionUpdateInterval(200);
    for (quint64 t = 1; t <= 100; ++t)  // 100 ticks = 2133 ms
        g.updatePosition("G", t);
    EXPECT_EQ(pos.count(), 10);
    EXPECT_GE(g.position(), P + ms(2100));

    g.stop();
    pos.clear();
    g.updatePosition("G", 101);
    ASSERT_EQ(pos.count(), 1);  // not playing: the last reported position again
}

TEST(PresentationGroup, StreamInfoIsTheUnionOfSpans)
{
    PresentationGroup g("G");
    QSignalSpy s(&g, &PresentationGroup::playbackSessionState);
    g.onStreamInfo("100-200", "a");
    g.onStreamInfo("50-150", "b");
    g.onStreamInfo("0-0", "c");
    ASSERT_EQ(s.count(), 3);
    EXPECT_EQ(s[0][2].toString(), QStringLiteral("100-200"));
    EXPECT_EQ(s[1][2].toString(), QStringLiteral("50-200"));
    EXPECT_EQ(s[1][3].toString(), QStringLiteral("b"));
    EXPECT_FALSE(s[2][1].toBool());
    EXPECT_EQ(s[2][2].toString(), QStringLiteral("0-0"));
    EXPECT_EQ(g.streamInterval(), qMakePair(quint64(50), quint64(200)));
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
