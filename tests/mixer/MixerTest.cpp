#include "Mixer.h"
#include "ChannelRegistry.h"
#include "FrameFormat.h"
#include "LogCapture.h"
#include "MixerAccess.h"
#include "MixerImpl.h"
#include "OutputPacer.h"
#include "PresentationGroup.h"
#include "PresentationNotifier.h"
#include "TestChannel.h"
#include "TestClock.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {
const auto ms = [](quint64 v) { return NTPTimestamp::fromMilliseconds(v); };
const qint16 kBlock[2 * FrameFormat::kFramesPerTick] = {};

// On the mixer thread: records the tick and the range of every request; at request kJumpAt it moves the
// clock (and the wall clock) 3 s ahead. The grid itself is measured on the pacer alone.
class ClockJumpChannel : public PlainChannel
{
public:
    static const size_t kJumpAt = 100;
    struct Request {
        quint64 tick;
        NTPTimestamp start;
    };
    void getData(NTPRange range, unsigned char* buffer) override
    {
        Channel::getData(range, buffer);
        if (m_log.size() < 1000)
            m_log.push_back({m_impl->tick(), range.start()});
        if (m_log.size() == kJumpAt)
            m_clock.advanceMs(3000);
        m_count = int(m_log.size());
    }
    TestClock m_clock;
    MixerImpl* m_impl = nullptr;
    std::vector<Request> m_log;
    std::atomic<int> m_count{0};
};
}  // namespace

TEST(Mixer, OneInstanceWhileReferencedThenAFreshOne)
{
    LogCapture log;
    QSharedPointer<Mixer> a = Mixer::getInstance(false, false), b = Mixer::getInstance(true, true);
    EXPECT_EQ(a.data(), b.data());
    EXPECT_EQ(log.countAny("Disabling sound"), 0);  // flags of the second call ignored
    a.reset();
    b.reset();
    QSharedPointer<Mixer> c = Mixer::getInstance(true, false);
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::MixerImpl:Disabling sound output"), 1);
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::MixerImpl:Disabling sound input"), 0);
    c.reset();
    c = Mixer::getInstance(true, true);
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::MixerImpl:Disabling sound input"), 1);
}

TEST(Mixer, StartsWithLiveOnlyAnswersUnknownNamesHarmlesslyAndRelaysGroupSignals)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, false);
    EXPECT_EQ(m->presentationGroups(), QStringList{"LIVE"});
    EXPECT_EQ(m->getStreamInfo("LIVE"), QStringLiteral("0-0"));
    EXPECT_EQ(m->getStreamInfo("nope"), QString());
    EXPECT_TRUE(m->getPlaybackStreamPosition("nope").isNull());
    EXPECT_EQ(m->getSampleRateForChannel(12345), SAMPLE_RATE_NONE);
    m->ctrlStop("nope");
    m->ctrlStartPlayback("nope", 100);
    m->ctrlSetPlaybackRange("nope", NTPRange(ms(1), ms(2)));
    m->mute("nope", CHANNEL_BOTH);
    m->mute(quint64(42), CHANNEL_BOTH);
    // The host cannot add channels of its own: nothing is added or mixed.
    TestChannel c(1000);
    EXPECT_EQ(std::make_pair(m->addChannel("LIVE", &c), m->addChannel("X", &c)), std::make_pair(0ULL, 0ULL));
    MixerImpl* impl = MixerAccess::implementation(*m);
    const quint64 tick = impl->tick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return impl->tick() > tick + 3; }, 10000));
    EXPECT_EQ(c.requests(), 0);
    EXPECT_EQ(m->presentationGroups(), QStringList{"LIVE"});
    m->addPlaybackPresentationGroup("replay");
    EXPECT_EQ(m->presentationGroups(), (QStringList{"LIVE", "replay"}));
    LogCapture log;
    m->removeRtpChannel(77);
    EXPECT_EQ(log.count(QtWarningMsg, "MixerImpl::removeChannel: Unknown id 77"), 1);

    // The signals of a group reach the host.
    QSignalSpy state(m.data(), qOverload<const QString&, int, const QString&>(&Mixer::stateChanged));
    QSignalSpy pos(m.data(), qOverload<const QString&, NTPTimestamp, const QString&>(&Mixer::positionUpdate));
    QSignalSpy end(m.data(), &Mixer::endOfRangeReached), timeline(m.data(), &Mixer::onTimeLine);
    TestChannel g;
    impl->addChannel("G", &g);
    const NTPTimestamp p = ms(3900000000000ULL);
    m->ctrlSetAbsolutePlaybackPosition("G", p);
    ASSERT_TRUE(pos.wait(5000));
    EXPECT_EQ(std::make_tuple(pos[0][0].toString(), pos[0][1].value<NTPTimestamp>()), std::make_tuple(QString("G"), p));
    EXPECT_EQ(m->getPlaybackStreamPosition("G"), p);
    m->ctrlStartPlayback("G", 100);
    ASSERT_TRUE(state.wait(5000));
    EXPECT_EQ(state.last()[1].toInt(), int(Playing));
    m->ctrlSetSpeed("G", 0);  // speed 0 stops instead of setting a speed
    ASSERT_TRUE(state.wait(5000));
    EXPECT_EQ(state.last()[1].toInt(), int(Stopped));
    // A playback range that is over ends the playback: end of range, then the stop.
    m->ctrlStartPlayback("G", 100);
    ASSERT_TRUE(state.wait(5000));
    m->ctrlSetPlaybackRange("G", NTPRange(ms(1000), ms(2000)));
    ASSERT_TRUE(end.wait(5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return state.last()[1].toInt() == int(Stopped); }, 5000));
    EXPECT_EQ(timeline.count(), 0);
    m->removeRtpChannel(MixerImpl::channelId(&g));
}

TEST(ChannelRegistry, GroupsComeAndGoWithTheirChannelsAndRelayTheirState)
{
    ChannelRegistry registry;
    QSignalSpy done(PresentationNotifier::instance(), &PresentationNotifier::presentationGroupDone);
    LogCapture log;
    bool deletedA = false;
    auto* a = new TestChannel;
    a->m_deleted = &deletedA;
    TestChannel b;
    const quint64 idA = registry.addChannel("G", a), idB = registry.addChannel("G", &b);
    EXPECT_EQ(idA, ChannelRegistry::channelId(a));
    EXPECT_NE(idA, 0u);
    EXPECT_NE(idA, idB);
    EXPECT_EQ(a->getPresentationGroup(), QStringLiteral("G"));
    EXPECT_EQ(registry.groups().keys(), (QStringList{"G", "LIVE"}));
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::addChannel: Creating new presentation group G"), 1);
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::addChannel: Trying to add channel to presentation group G"), 2);
    registry.removeChannel(idA);
    EXPECT_EQ(registry.groups().keys(), (QStringList{"G", "LIVE"}));
    registry.removeChannel(idB);
    EXPECT_EQ(registry.groups().keys(), QStringList{"LIVE"});
    ASSERT_EQ(done.count(), 1);
    EXPECT_EQ(done[0][0].toString(), QStringLiteral("G"));
    EXPECT_FALSE(deletedA);  // a channel of a class the library does not know stays its creator's
    delete a;
    registry.removeChannel(idB);
    EXPECT_EQ(log.count(QtWarningMsg, QStringLiteral("MixerImpl::removeChannel: Unknown id %1").arg(idB)), 1);
    // The last channel leaving "LIVE" leaves "LIVE" in place.
    registry.removeChannel(registry.addChannel(ChannelRegistry::kLive, &b));
    EXPECT_EQ(registry.groups().keys(), QStringList{"LIVE"});
    EXPECT_EQ(done.count(), 1);

    // Plain groups relay their state queued, playback groups directly, "LIVE" never.
    QSignalSpy state(&registry, &ChannelRegistry::stateChanged);
    registry.addChannel("G", &b);
    registry.group("G")->play(0);
    registry.group(ChannelRegistry::kLive)->play(0);
    EXPECT_EQ(state.count(), 0);
    ASSERT_TRUE(state.wait(5000));
    ASSERT_EQ(state.count(), 1);
    EXPECT_EQ(state[0][0].toString(), QStringLiteral("G"));
    registry.addPlaybackGroup("replay");
    PresentationGroup* first = registry.group("replay");
    first->play(0);
    ASSERT_EQ(state.count(), 2);  // at once
    EXPECT_EQ(state[1][0].toString(), QStringLiteral("replay"));
    EXPECT_EQ(state[1][1].toInt(), int(Playing));
    // A fresh, stopped group replaces it under the same name.
    registry.addPlaybackGroup("replay");
    EXPECT_NE(registry.group("replay"), first);
    EXPECT_EQ(registry.group("replay")->state(), Stopped);
    registry.removeAll();
}

TEST(MixerThread, PacedOnTheClockWithLiveTimeLineOnItsWallTimeEvery250Ticks)
{
    ClockJumpChannel c;
    c.m_log.reserve(1000);
    int opens = 0;
    auto impl = std::make_unique<MixerImpl>(true, true, c.m_clock, [&]() -> PcmDevice* {
        ++opens;
        return nullptr;
    });
    c.m_impl = impl.get();
    impl->addChannel("LIVE", &c);
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.m_count >= 700; }, 20000));
    impl.reset();
    EXPECT_EQ(opens, 1);  // output disabled: opened at the start only
    const quint64 jumpTick = c.m_log[ClockJumpChannel::kJumpAt - 1].tick;
    const quint64 reanchor = (jumpTick + 249) / 250 * 250;
    for (size_t i = 1; i < c.m_log.size(); ++i) {
        const ClockJumpChannel::Request &a = c.m_log[i - 1], &b = c.m_log[i];
        ASSERT_EQ(b.tick, a.tick + 1);
        const double step = double((b.start - a.start).toMicroSeconds());
        if (a.tick == reanchor)
            EXPECT_NEAR(step, 3000000.0, 50000.0) << "the line follows the jump at tick " << a.tick;
        else if (a.tick % 250 != 0)
            EXPECT_NEAR(step, 21333.3, 1.0) << "tick " << a.tick;
    }
}

TEST(MixerThread, ShutdownEndsThePauseBetweenAttemptsToOpenTheOutput)
{
    std::atomic<int> opens{0};
    auto impl = std::make_unique<MixerImpl>(false, true, Clock::system(), [&]() -> PcmDevice* {
        ++opens;
        return nullptr;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return opens >= 2; }, 10000));  // now in the 5 s pause
    QElapsedTimer timer;
    timer.start();
    impl.reset();
    EXPECT_LT(timer.elapsed(), 2000);
}

// Without output the ticks follow the grid and a stall starts a new one; a failed output is retried
// every five seconds (that a stop cuts the pause short is measured on the whole mixer's shutdown).
TEST(OutputPacer, PacesWithoutOutputAndRetriesAFailedOne)
{
    TestClock clock, retryClock;
    std::atomic<bool> stop{false};
    int opens = 0, retries = 0;
    OutputPacer pacer(false, stop, clock, [&]() -> PcmDevice* {
        ++opens;
        return nullptr;
    });
    OutputPacer retrying(true, stop, retryClock, [&]() -> PcmDevice* {
        ++retries;
        return nullptr;
    });
    pacer.open();
    const quint64 origin = clock.monotonicUs();
    pacer.finishTick(1, kBlock);  // the first tick sets the grid
    EXPECT_EQ(clock.sleptUs(), 0u);
    for (quint64 t = 2; t <= 4; ++t)
        pacer.finishTick(t, kBlock);
    EXPECT_EQ(clock.sleepsUs(), (QList<quint64>{21333, 21333, 21334}));
    EXPECT_EQ(clock.monotonicUs(), origin + 64000);
    // 500 ms late: the ticks catch up without sleeping, then follow the old grid.
    clock.advanceMs(500);
    clock.clearSleeps();
    for (quint64 t = 5; t <= 40; ++t)
        pacer.finishTick(t, kBlock);
    EXPECT_EQ(clock.monotonicUs(), origin + FrameFormat::ticksToUs(39));
    EXPECT_EQ(clock.sleepsUs().size(), 13);  // ticks 28 to 40
    // More than a second late: a new grid from now, no race to catch up.
    clock.advanceMs(1100);
    const quint64 stalled = clock.monotonicUs();
    pacer.finishTick(41, kBlock);
    pacer.finishTick(42, kBlock);
    EXPECT_EQ(clock.monotonicUs(), stalled + 21333);
    EXPECT_EQ(opens, 1);  // output disabled: never opened again

    retrying.open();
    EXPECT_EQ(std::make_pair(retries, retryClock.sleptUs()), std::make_pair(1, quint64(0)));
    retrying.finishTick(1, kBlock);
    retrying.finishTick(2, kBlock);
    EXPECT_EQ(retries, 3);
    EXPECT_EQ(retryClock.sleptUs(), 2 * OutputPacer::kRetryPauseUs);
    EXPECT_FALSE(retrying.hasDevice());
}
