#include "LogCapture.h"
#include "PlaybackMember.h"
#include "PlaybackPresentationGroup.h"
#include "TestChannel.h"

#include <QObject>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {
NTPTimestamp ms(quint64 v)
{
    return NTPTimestamp::fromMilliseconds(v);
}
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
    EXPECT_TRUE(g.isReverse());
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
    emit m.streamInfo("50-150", "stream");
    EXPECT_EQ(session.count(), 2);  // joined as the group's spans are

    g.play(0);
    QSignalSpy state(&g, &PresentationGroup::stateChanged);
    g.removeChannel(&m);
    EXPECT_EQ(m.shutdowns, 1);
    EXPECT_EQ(g.state(), Stopped);
    EXPECT_EQ(state.count(), 0);
    emit m.streamInfo("1-2", "stream");  // disconnected
    EXPECT_EQ(session.count(), 2);
}

#include "PlaybackPresentationGroupTest.moc"
