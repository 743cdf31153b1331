#include "LogCapture.h"
#include "Mixer.h"
#include "MixerImpl.h"
#include "PresentationGroup.h"
#include "PresentationNotifier.h"
#include "TestChannel.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {
bool waitForTicks(MixerImpl* impl, quint64 count)
{
    const quint64 target = impl->tick() + count;
    return QTest::qWaitFor([&] { return impl->tick() >= target; }, 10000);
}

NTPTimestamp ms(quint64 v)
{
    return NTPTimestamp::fromMilliseconds(v);
}
}  // namespace

TEST(Mixer, OneInstanceWhileReferencedThenAFreshOne)
{
    LogCapture log;
    QSharedPointer<Mixer> a = Mixer::getInstance(false, false);
    QSharedPointer<Mixer> b = Mixer::getInstance(true, true);
    EXPECT_EQ(a.data(), b.data());
    EXPECT_TRUE(a->implementation()->isOutputEnabled());  // flags of the second call ignored
    EXPECT_EQ(log.countAny("Disabling sound"), 0);
    a.reset();
    b.reset();

    QSharedPointer<Mixer> c = Mixer::getInstance(true, false);
    EXPECT_FALSE(c->implementation()->isOutputEnabled());
    EXPECT_TRUE(c->implementation()->isInputEnabled());
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::MixerImpl:Disabling sound output"), 1);
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::MixerImpl:Disabling sound input"), 0);
    c.reset();
    QSharedPointer<Mixer> d = Mixer::getInstance(true, true);
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::MixerImpl:Disabling sound input"), 1);
}

TEST(Mixer, StartsWithLiveOnlyAndAnswersUnknownNamesHarmlessly)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, false);
    EXPECT_EQ(m->presentationGroups(), QStringList{"LIVE"});
    EXPECT_TRUE(m->implementation()->channelIds().isEmpty());
    EXPECT_EQ(m->getStreamInfo("LIVE"), QStringLiteral("0-0"));
    EXPECT_EQ(m->getStreamInfo("nope"), QString());
    EXPECT_TRUE(m->getPlaybackStreamPosition("nope").isNull());
    EXPECT_EQ(m->getSampleRateForChannel(12345), SAMPLE_RATE_NONE);
    m->ctrlStop("nope");
    m->ctrlStartPlayback("nope", 100);
    m->ctrlSetPlaybackRange("nope", NTPRange(ms(1), ms(2)));
    m->mute("nope", CHANNEL_BOTH);
    m->mute(quint64(42), CHANNEL_BOTH);
    EXPECT_EQ(m->presentationGroups(), QStringList{"LIVE"});

    LogCapture log;
    m->removeRtpChannel(77);
    EXPECT_EQ(log.count(QtWarningMsg, "MixerImpl::removeChannel: Unknown id 77"), 1);
}

TEST(Mixer, FacadeAddChannelAddsNothing)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, false);
    TestChannel c(1000);
    EXPECT_EQ(m->addChannel("LIVE", &c), 0u);
    EXPECT_EQ(m->addChannel("X", &c), 0u);
    ASSERT_TRUE(waitForTicks(m->implementation(), 3));
    EXPECT_EQ(c.requests(), 0);
    EXPECT_EQ(m->presentationGroups(), QStringList{"LIVE"});
}

TEST(Mixer, GroupsComeAndGoWithTheirChannels)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, false);
    MixerImpl* impl = m->implementation();
    QSignalSpy done(PresentationNotifier::instance(), &PresentationNotifier::presentationGroupDone);
    LogCapture log;

    bool deletedA = false;
    auto* a = new TestChannel;
    a->m_deleted = &deletedA;
    TestChannel b;
    const quint64 idA = impl->addChannel("G", a);
    const quint64 idB = impl->addChannel("G", &b);
    EXPECT_EQ(idA, MixerImpl::channelId(a));
    EXPECT_NE(idA, 0u);
    EXPECT_NE(idA, idB);
    EXPECT_EQ(a->getPresentationGroup(), QStringLiteral("G"));
    EXPECT_EQ(m->presentationGroups(), (QStringList{"G", "LIVE"}));
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::addChannel: Creating new presentation group G"), 1);
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::addChannel: Trying to add channel to presentation group G"), 2);
    EXPECT_EQ(m->getSampleRateForChannel(idA), SAMPLE_RATE_8000);

    m->removeRtpChannel(idA);
    EXPECT_EQ(m->presentationGroups(), (QStringList{"G", "LIVE"}));
    m->removeRtpChannel(idB);
    EXPECT_EQ(m->presentationGroups(), QStringList{"LIVE"});
    ASSERT_EQ(done.count(), 1);
    EXPECT_EQ(done[0][0].toString(), QStringLiteral("G"));
    // Channels of a class the library does not know stay their creator's.
    EXPECT_FALSE(deletedA);
    delete a;

    m->removeRtpChannel(idB);
    EXPECT_EQ(log.count(QtWarningMsg, QStringLiteral("MixerImpl::removeChannel: Unknown id %1").arg(idB)), 1);

    TestChannel live;
    const quint64 idL = impl->addChannel("LIVE", &live);
    m->removeRtpChannel(idL);
    EXPECT_EQ(m->presentationGroups(), QStringList{"LIVE"});
    EXPECT_EQ(done.count(), 1);
}

TEST(Mixer, GroupSignalsReachTheHostButLiveStaysQuiet)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, false);
    MixerImpl* impl = m->implementation();
    QSignalSpy state(m.data(), qOverload<const QString&, int, const QString&>(&Mixer::stateChanged));
    QSignalSpy pos(m.data(), qOverload<const QString&, NTPTimestamp, const QString&>(&Mixer::positionUpdate));
    QSignalSpy end(m.data(), &Mixer::endOfRangeReached);
    QSignalSpy timeline(m.data(), &Mixer::onTimeLine);
    TestChannel c;
    impl->addChannel("G", &c);

    const NTPTimestamp p = ms(3900000000000ULL);
    m->ctrlSetAbsolutePlaybackPosition("G", p);
    ASSERT_TRUE(pos.wait(5000));
    EXPECT_EQ(pos[0][0].toString(), QStringLiteral("G"));
    EXPECT_EQ(pos[0][1].value<NTPTimestamp>(), p);
    EXPECT_EQ(m->getPlaybackStreamPosition("G"), p);

    m->ctrlStartPlayback("G", 100);
    ASSERT_TRUE(state.wait(5000));
    EXPECT_EQ(state.last()[1].toInt(), int(Playing));

    // Speed 0 stops instead of setting a speed.
    m->ctrlSetSpeed("G", 0);
    ASSERT_TRUE(state.wait(5000));
    EXPECT_EQ(state.last()[1].toInt(), int(Stopped));

    // A playback range that is over ends the playback: end of range, then the stop.
    m->ctrlStartPlayback("G", 100);
    ASSERT_TRUE(state.wait(5000));
    m->ctrlSetPlaybackRange("G", NTPRange(ms(1000), ms(2000)));
    ASSERT_TRUE(end.wait(5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return state.last()[1].toInt() == int(Stopped); }, 5000));

    // "LIVE" plays from the start but none of its signals are relayed.
    for (const QList<QVariant>& args : state)
        EXPECT_NE(args[0].toString(), QStringLiteral("LIVE"));
    EXPECT_EQ(timeline.count(), 0);
    impl->removeRtpChannel(MixerImpl::channelId(&c));
}

TEST(Mixer, MixerThreadAsksChannelsForTheirGroupsRanges)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, false);
    MixerImpl* impl = m->implementation();
    TestChannel live(1000), muted(1000), inactive(1000), orphan(1000);
    impl->addChannel("LIVE", &live);
    impl->addChannel("LIVE", &muted);  // starts muted on both sides
    impl->addChannel("LIVE", &inactive);
    inactive.m_active = false;
    const quint64 idOrphan = impl->addChannel("O", &orphan);
    orphan.setPresentationGroup(QString());  // a group name nobody has

    ASSERT_TRUE(waitForTicks(impl, 5));
    EXPECT_GT(live.requests(), 0);
    EXPECT_GT(muted.requests(), 0);  // asked even when fully muted
    EXPECT_EQ(inactive.requests(), 0);
    EXPECT_EQ(orphan.requests(), 0);

    // The live time line is anchored 120 ms behind the wall clock; the range
    // of tick N lies N frames after the anchor, so about 99 ms behind at mixing.
    const NTPTimestamp now = NTPTimestamp::now();
    const NTPRange last = live.ranges().last();
    const qint64 lagMs = qint64(now.toMilliseconds()) - qint64(last.start().toMilliseconds());
    EXPECT_GT(lagMs, 50);
    EXPECT_LT(lagMs, 1500);  // generous: a loaded machine delays ticks
    EXPECT_EQ(bytesForRange(last), 2048u);
    const QList<NTPRange> r = live.ranges();
    const NTPTimestamp step = r[r.size() - 1].start() - r[r.size() - 2].start();
    EXPECT_NEAR(double(step.toMicroSeconds()), 21333.0, 2.0);

    for (Channel* c : QList<Channel*>{&live, &muted, &inactive})
        impl->removeRtpChannel(MixerImpl::channelId(c));
    orphan.setPresentationGroup("O");
    impl->removeRtpChannel(idOrphan);
}

TEST(Mixer, TimeLineRunsAtRealSpeedWithoutOutput)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, false);
    MixerImpl* impl = m->implementation();
    const quint64 t0 = impl->tick();
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    ASSERT_TRUE(waitForTicks(impl, 47));  // about one second
    const qint64 elapsed = QDateTime::currentMSecsSinceEpoch() - start;
    const double ticksPerSecond = double(impl->tick() - t0) * 1000.0 / double(elapsed);
    EXPECT_NEAR(ticksPerSecond, 46.875, 5.0);
}

TEST(Mixer, PlaybackGroupsAreCreatedReplacedAndRelayedDirectly)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, false);
    QSignalSpy state(m.data(), qOverload<const QString&, int, const QString&>(&Mixer::stateChanged));
    m->addPlaybackPresentationGroup("replay");
    EXPECT_EQ(m->presentationGroups(), (QStringList{"LIVE", "replay"}));
    m->ctrlStartPlayback("replay", 100);
    // Playback groups are connected directly: the signal is there at once.
    ASSERT_EQ(state.count(), 1);
    EXPECT_EQ(state[0][0].toString(), QStringLiteral("replay"));
    EXPECT_EQ(state[0][1].toInt(), int(Playing));

    m->addPlaybackPresentationGroup("replay");  // a fresh, stopped group under the same name
    m->ctrlStop("replay");
    EXPECT_EQ(state.count(), 1);
    m->ctrlStartPlayback("replay", 200);
    EXPECT_EQ(state.count(), 2);
}
