#include "LogCapture.h"
#include "PlaybackMember.h"
#include "PlaybackPresentationGroup.h"
#include "PresentationNotifier.h"
#include "TestChannel.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {
const auto ms = [](quint64 v) { return NTPTimestamp::fromMilliseconds(v); };
const NTPTimestamp kFrame = NTPTimestamp::fromDivision(8, 375), P = ms(3900000000000ULL);

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
    NTPRange range;
    QString info;
    bool reverse = false, interpret = true;
    int shutdowns = 0;

signals:
    void streamInfo(const QString& streamInfo, const QString& streamName);
};
}  // namespace

TEST(PresentationGroup, PlayMapsTicksToTheTimeLinePauseResumesJustAfterTheLastRangeAndTheRangeEndStops)
{
    PresentationGroup g("G");
    QList<QString> order;
    QObject::connect(&g, &PresentationGroup::endOfRangeReached, [&] { order << "end"; });
    QObject::connect(&g, &PresentationGroup::stateChanged, [&](const QString&, int s) { order << QString::number(s); });
    g.setPosition(P, 10);
    g.play(10);
    EXPECT_EQ(g.getCurrentRange(10), NTPRange(P, P + kFrame));
    const NTPRange last = g.getCurrentRange(10 + 375);
    EXPECT_EQ(last, NTPRange(P + ms(8000), P + ms(8000) + kFrame));
    g.play(400);  // same state again: no signal
    g.pause();
    EXPECT_EQ(g.getCurrentRange(500).start(), g.position());  // paused: stays at the recorded position
    g.play(600);
    EXPECT_EQ(g.getCurrentRange(600).start(), last.end() + ms(1));

    // A playback range clamps the position; reaching its end signals before the stop.
    g.stop();
    g.setPlaybackRange(NTPRange(P, P + ms(100)), 0);
    g.play(0);
    EXPECT_EQ(std::make_pair(g.position(), g.getCurrentRange(0).start()), std::make_pair(P, P));
    g.getCurrentRange(5);  // 106 ms on: beyond the playback range
    EXPECT_EQ(order, QList<QString>({"2", "1", "2", "0", "2", "end", "0"}));
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
    const NTPTimestamp far = c.m_timestamp = P - ms(1001);
    for (quint64 call = 1; call <= 6; ++call)
        EXPECT_NE(g.getCurrentRange(20 + call).start(), far) << "call " << call;
    EXPECT_EQ(g.getCurrentRange(27), NTPRange(far, far + kFrame));
    c.m_timestamp = far + ms(8000);  // the clock now runs from the channel's time
    EXPECT_EQ(g.getCurrentRange(27 + 375).start(), far + ms(8000));
}

TEST(PresentationGroup, PositionIsReportedOnASeekWhenStoppedAndAtTheIntervalWhilePlaying)
{
    PresentationGroup g("G");
    QSignalSpy pos(&g, &PresentationGroup::positionUpdate);
    QSignalSpy intervals(PresentationNotifier::instance(), &PresentationNotifier::presentationInterval);
    g.setPosition(P, 0);
    ASSERT_EQ(std::make_tuple(pos.count(), intervals.count()), std::make_tuple(1, 1));
    EXPECT_EQ(std::make_tuple(pos[0][1].value<NTPTimestamp>(), intervals[0][1].value<NTPTimestamp>(),
                              intervals[0][2].value<NTPTimestamp>()),
              std::make_tuple(P, P - ms(60), P + kFrame - ms(60)));
    g.play(0);
    for (int pass = 0; pass < 2; ++pass) {  // by default no reports, then one per 200 ms of 100 ticks = 2133 ms
        for (quint64 t = 1; t <= 100; ++t)
            g.updatePosition("G", t);
        g.setPositionUpdateInterval(200);
    }
    EXPECT_EQ(std::make_pair(pos.count(), g.position() >= P + ms(2100)), std::make_pair(11, true));

    g.pause();
    g.setPosition(P + ms(5000), 0);
    EXPECT_EQ(std::make_tuple(pos.count(), g.position()), std::make_tuple(11, P + ms(5000)));
    g.stop();
    g.updatePosition("G", 101);  // not playing: the last reported position again
    EXPECT_EQ(std::make_tuple(pos.count(), pos.last().value(1).value<NTPTimestamp>()),
              std::make_tuple(12, P + ms(5000)));
}

TEST(PresentationGroup, ChannelOperationsAndLogLines)
{
    LogCapture log;
    PresentationGroup g("G"), live("LIVE");
    TestChannel a, b;
    for (TestChannel* c : {&a, &b}) {
        c->unmute(CHANNEL_BOTH);
        g.addChannel(c);
    }
    g.mute(CHANNEL_LEFT);
    g.setActive(false);
    EXPECT_EQ(std::make_tuple(int(a.getMuteState()), int(b.getMuteState()), a.isActive()),
              std::make_tuple(1, 1, false));
    g.removeChannel(&a);
    g.removeChannel(&b);
    EXPECT_EQ(std::make_tuple(g.isEmpty(), log.count(QtDebugMsg, "PresentationGroup::addChannel: add channel to G"),
                              log.count(QtDebugMsg, "PresentationGroup::setActive for G -> active = false")),
              std::make_tuple(true, 2, 1));

    log.clear();  // the live group logs none of this
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
    g.setSpeed(100);  // same direction: nothing to fetch afresh (one fetch after the reverse below)
    g.setSpeed(200);
    const NTPTimestamp a = g.getCurrentRange(20).start();
    EXPECT_NEAR(double((g.getCurrentRange(21).start() - a).toMicroSeconds()), 42667.0, 1.0);  // 16/375 s per tick

    g.setSpeed(-100);
    EXPECT_EQ(std::make_tuple(state.count(), g.state(), m.reverse, m.positions.size()),
              std::make_tuple(0, Playing, true, 1));
    const NTPRange b = g.getCurrentRange(376);
    EXPECT_EQ(g.getCurrentRange(376), b);  // the same range for every call within a tick
    EXPECT_NEAR(double((b.start() - g.getCurrentRange(377).start()).toMicroSeconds()), 21333.0, 1.0);
    g.setSpeed(100);
    EXPECT_EQ(std::make_tuple(m.reverse, m.positions.size()), std::make_tuple(false, 2));

    g.setSpeed(0);  // no rate: refused, the group plays on
    EXPECT_EQ(std::make_pair(g.state(),
                             log.count(QtWarningMsg, "PlaybackPresentationGroup::setSpeed: Ignoring speed 0 for P")),
              std::make_pair(Playing, 1));
    g.removeChannel(&plain);
}

TEST(PlaybackPresentationGroup, MembersFollowTheGroupAndTheLastLeavingStopsItSilently)
{
    PlaybackPresentationGroup g("P");
    FakeMember m, late;
    m.m_active = late.m_active = false;
    m.info = "100-200";
    QSignalSpy session(&g, &PresentationGroup::playbackSessionState);
    g.addChannel(&m);
    ASSERT_EQ(session.count(), 1);          // stream info known at once
    emit m.streamInfo("50-150", "stream");  // the spans are joined
    emit m.streamInfo("0-0", "stream");     // none: reported as such
    ASSERT_EQ(session.count(), 3);
    EXPECT_EQ(std::make_tuple(session[0][2].toString(), session[1][2].toString(), session[2][2].toString(),
                              session[1][3].toString(), session[1][1].toBool(), session[2][1].toBool()),
              std::make_tuple(QString("100-200"), QString("50-200"), QString("0-0"), QString("stream"), true, false));

    const NTPRange range(P, P + ms(60000));
    g.setPlaybackRange(range, 0);
    EXPECT_EQ(m.range, range);
    m.positions.clear();
    g.setPosition(P - ms(5000), 0);  // before the range: starts at its start
    EXPECT_EQ(std::make_tuple(m.positions, g.position()), std::make_tuple(QList<NTPTimestamp>{P}, P));
    g.play(0);
    g.pause();  // interpret-pause set: paused members keep delivering (only play switches them on)
    EXPECT_TRUE(m.isActive());
    g.interpretPause(false, 0);
    g.play(1);
    g.pause();
    EXPECT_EQ(std::make_pair(m.interpret, m.isActive()), std::make_pair(false, false));
    g.play(2);
    g.stop();
    EXPECT_FALSE(m.isActive());

    g.play(3);  // a member added while playing is switched on and asked for the range start
    g.addChannel(&late);
    EXPECT_EQ(std::make_tuple(late.isActive(), late.positions),
              std::make_tuple(true, QList<NTPTimestamp>{g.currentRange().start()}));
    g.removeChannel(&late);

    QSignalSpy state(&g, &PresentationGroup::stateChanged);
    g.removeChannel(&m);
    EXPECT_EQ(std::make_tuple(m.shutdowns, g.state(), state.count()), std::make_tuple(1, Stopped, 0));
    emit m.streamInfo("1-2", "stream");  // disconnected
    EXPECT_EQ(session.count(), 3);
}

#include "PresentationGroupTest.moc"
