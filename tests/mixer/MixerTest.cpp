#include "Mixer.h"
#include "ChannelRegistry.h"
#include "FrameFormat.h"
#include "LogCapture.h"
#include "MixerAccess.h"
#include "MixerImpl.h"
#include "OutputPacer.h"
#include "PcmDevice.h"
#include "PresentationGroup.h"
#include "PresentationNotifier.h"
#include "RtpReceiver.h"
#include "ScopedEnvironment.h"
#include "TestChannel.h"
#include "TestClock.h"
#include "backends/VirtualSoundFaults.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {
const auto ms = [](quint64 v) { return NTPTimestamp::fromMilliseconds(v); };
const qint16 kBlock[2 * FrameFormat::kFramesPerTick] = {};

const auto failingOpener = [](std::atomic<int>& calls) {
    return [&calls]() -> PcmDevice* {
        ++calls;
        return nullptr;
    };
};

// Mixer thread: records each request's tick and range start; at request kJumpAt moves the clock 3 s ahead.
class ClockJumpChannel : public PlainChannel
{
public:
    static const size_t kJumpAt = 100;
    using Request = std::pair<quint64, NTPTimestamp>;  // tick, start of the range
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
    EXPECT_EQ(std::make_pair(a.data(), log.countAny("Disabling sound")), std::make_pair(b.data(), 0));  // flags ignored
    a = b = QSharedPointer<Mixer>();
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
    EXPECT_EQ(std::make_tuple(m->presentationGroups(), m->getStreamInfo("LIVE"), m->getStreamInfo("nope"),
                              m->getPlaybackStreamPosition("nope").isNull(), m->getSampleRateForChannel(12345)),
              std::make_tuple(QStringList{"LIVE"}, QString("0-0"), QString(), true, SAMPLE_RATE_NONE));
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
    m->addPlaybackPresentationGroup("replay");
    EXPECT_EQ(m->presentationGroups(), (QStringList{"LIVE", "replay"}));
    LogCapture log;
    m->removeRtpChannel(77);
    EXPECT_EQ(log.count(QtWarningMsg, "MixerImpl::removeChannel: Unknown id 77"), 1);

    QSignalSpy state(m.data(), qOverload<const QString&, int, const QString&>(&Mixer::stateChanged));
    QSignalSpy pos(m.data(), qOverload<const QString&, NTPTimestamp, const QString&>(&Mixer::positionUpdate));
    QSignalSpy end(m.data(), &Mixer::endOfRangeReached), timeline(m.data(), &Mixer::onTimeLine);
    const auto nextState = [&] { return state.wait(5000) ? state.last()[1].toInt() : -1; };
    TestChannel g;
    impl->addChannel("G", &g);
    const NTPTimestamp p = ms(3900000000000ULL);
    m->ctrlSetAbsolutePlaybackPosition("G", p);
    ASSERT_TRUE(pos.wait(5000));
    EXPECT_EQ(std::make_tuple(pos[0][0].toString(), pos[0][1].value<NTPTimestamp>(), m->getPlaybackStreamPosition("G")),
              std::make_tuple(QString("G"), p, p));
    m->ctrlStartPlayback("G", 100);
    EXPECT_EQ(nextState(), int(Playing));
    m->ctrlSetSpeed("G", 0);  // speed 0 stops instead of setting a speed
    EXPECT_EQ(nextState(), int(Stopped));
    // A playback range that is over ends the playback: end of range, then the stop.
    m->ctrlStartPlayback("G", 100);
    ASSERT_EQ(nextState(), int(Playing));
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
    auto a = std::make_unique<TestChannel>();
    a->m_deleted = &deletedA;
    TestChannel b;
    const quint64 idA = registry.addChannel("G", a.get()), idB = registry.addChannel("G", &b);
    EXPECT_EQ(std::make_tuple(idA, idA != 0, idA != idB),
              std::make_tuple(ChannelRegistry::channelId(a.get()), true, true));
    EXPECT_EQ(a->getPresentationGroup(), QStringLiteral("G"));
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::addChannel: Creating new presentation group G"), 1);
    EXPECT_EQ(log.count(QtDebugMsg, "MixerImpl::addChannel: Trying to add channel to presentation group G"), 2);
    registry.removeChannel(idA);
    EXPECT_EQ(registry.groups().keys(), (QStringList{"G", "LIVE"}));
    registry.removeChannel(idB);
    EXPECT_EQ(registry.groups().keys(), QStringList{"LIVE"});
    EXPECT_EQ(std::make_pair(done.count(), done.value(0).value(0).toString()), std::make_pair(1, QString("G")));
    EXPECT_FALSE(deletedA);  // a channel of a class the library does not know stays its creator's
    registry.removeChannel(idB);
    EXPECT_EQ(log.count(QtWarningMsg, QStringLiteral("MixerImpl::removeChannel: Unknown id %1").arg(idB)), 1);
    // The last channel leaving "LIVE" leaves "LIVE" in place.
    registry.removeChannel(registry.addChannel(ChannelRegistry::kLive, &b));
    EXPECT_EQ(std::make_pair(registry.groups().keys(), done.count()), std::make_pair(QList<QString>{"LIVE"}, 1));

    // Plain groups relay their state queued, playback groups directly, "LIVE" never.
    QSignalSpy state(&registry, &ChannelRegistry::stateChanged);
    registry.addChannel("G", &b);
    registry.group("G")->play(0);
    registry.group(ChannelRegistry::kLive)->play(0);
    EXPECT_EQ(state.count(), 0);
    ASSERT_TRUE(state.wait(5000));
    EXPECT_EQ(std::make_pair(state.count(), state.value(0).value(0).toString()), std::make_pair(1, QString("G")));
    registry.addPlaybackGroup("replay");
    PresentationGroup* first = registry.group("replay");
    first->play(0);
    EXPECT_EQ(std::make_tuple(state.count(), state.value(1).value(0).toString(), state.value(1).value(1).toInt()),
              std::make_tuple(2, QString("replay"), int(Playing)));  // at once
    registry.addPlaybackGroup("replay");  // a fresh, stopped group replaces it under the same name
    EXPECT_EQ(std::make_pair(registry.group("replay") != first, registry.group("replay")->state()),
              std::make_pair(true, Stopped));
    registry.removeAll();
}

TEST(MixerThread, PacedOnTheClockWithLiveTimeLineOnItsWallTimeEvery250Ticks)
{
    ClockJumpChannel c;
    c.m_log.reserve(1000);  // no allocation on the mixer thread
    std::atomic<int> opens{0};
    auto impl = std::make_unique<MixerImpl>(true, true, c.m_clock, failingOpener(opens));
    c.m_impl = impl.get();
    impl->addChannel("LIVE", &c);
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.m_count >= 700; }, 20000));
    impl.reset();
    EXPECT_EQ(opens.load(), 1);  // output disabled: opened at the start only
    const quint64 reanchor = (c.m_log[ClockJumpChannel::kJumpAt - 1].first + 249) / 250 * 250;
    for (size_t i = 1; i < c.m_log.size(); ++i) {
        const ClockJumpChannel::Request &a = c.m_log[i - 1], &b = c.m_log[i];
        ASSERT_EQ(b.first, a.first + 1);
        const double step = double((b.second - a.second).toMicroSeconds());
        if (a.first == reanchor) {
            EXPECT_NEAR(step, 3000000.0, 50000.0) << "the line follows the jump at tick " << a.first;
        } else if (a.first % 250 != 0) {
            EXPECT_NEAR(step, 21333.3, 1.0) << "tick " << a.first;
        }
    }
}

TEST(MixerThread, ShutdownEndsThePauseBetweenAttemptsToOpenTheOutput)
{
    std::atomic<int> opens{0};
    auto impl = std::make_unique<MixerImpl>(false, true, Clock::system(), failingOpener(opens));
    ASSERT_TRUE(QTest::qWaitFor([&] { return opens >= 2; }, 10000));  // now in the 5 s pause
    QElapsedTimer timer;
    timer.start();
    impl.reset();
    EXPECT_LT(timer.elapsed(), 2000);
}

// Without output the ticks follow the grid and a stall starts a new one; a failed output is retried every 5 s.
TEST(OutputPacer, PacesWithoutOutputAndRetriesAFailedOne)
{
    TestClock clock, retryClock;
    std::atomic<bool> stop{false};
    std::atomic<int> opens{0}, retries{0};
    OutputPacer pacer(false, stop, clock, failingOpener(opens)),
        retrying(true, stop, retryClock, failingOpener(retries));
    pacer.open();
    const quint64 origin = clock.monotonicUs();
    for (quint64 t = 1; t <= 4; ++t)  // the first tick sets the grid without sleeping
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
    EXPECT_EQ(std::make_pair(clock.monotonicUs(), opens.load()), std::make_pair(stalled + 21333, 1));

    retrying.open();
    EXPECT_EQ(std::make_pair(retries.load(), retryClock.sleptUs()), std::make_pair(1, quint64(0)));
    retrying.finishTick(1, kBlock);
    retrying.finishTick(2, kBlock);
    EXPECT_EQ(std::make_tuple(retries.load(), retryClock.sleptUs(), retrying.hasDevice()),
              std::make_tuple(3, 2 * OutputPacer::kRetryPauseUs, false));
}

// Lateness of each tick's block against the pacing grid, over a virtual card on the test clock: the
// mixer thread held up before some ticks, the card's clock drifting, or no output at all.
TEST(OutputPacer, CountsLateAndMissedTicksButNotACardClockThatDrifts)
{
    ScopedEnvironment env("OSTKAVEX_OUTPUT_DEVICE", "virtual");
    VirtualSoundFaults& faults = VirtualSoundFaults::of(SoundBackend::DIRECTION_PLAYBACK);
    // Drift in ppm, ms held up before ticks 300 and 600, no output; late, missed, worst lateness in ms.
    const std::vector<std::tuple<int, quint64, quint64, bool, quint64, quint64, quint64>> cases = {
        {5000, 0, 0, false, 0, 0, 0},
        {-5000, 0, 0, false, 0, 0, 0},
        {0, 30, 50, false, 2, 0, 50},
        {-5000, 100, 0, false, 0, 1, 100},
        {0, 0, 0, true, 0, 1000, 0}};
    for (const auto& [drift, at300, at600, noOutput, late, missed, worstMs] : cases) {
        SCOPED_TRACE(testing::Message() << "drift " << drift << ", held up " << at300 << " and " << at600);
        faults.driftPpm = drift;
        TestClock clock;
        std::atomic<bool> stop{false};
        OutputPacer pacer(true, stop, clock, [&, noOutput = noOutput]() -> PcmDevice* {
            return noOutput
                       ? nullptr
                       : PcmDevice::open(PcmDevice::DirectionOutput, 48000, PcmDevice::SampleWidth16, 2, true, clock);
        });
        pacer.open();
        for (quint64 t = 1; t <= 1000; ++t) {
            clock.advanceMs(t == 300 ? at300 : t == 600 ? at600 : 0);
            pacer.finishTick(t, kBlock);
        }
        const MixerTickStatistics s = pacer.statistics();
        EXPECT_EQ(std::make_tuple(s.ticks, s.lateTicks, s.missedTicks), std::make_tuple(1000ull, late, missed));
        EXPECT_GE(s.worstLatenessUs, worstMs * 1000);
        EXPECT_LE(s.worstLatenessUs, worstMs * 1000 + 6500);  // the grid may trail by a quarter period
    }
    faults.reset();
}

// Removing a receiver whose thread is busy: the mixer thread ticks on while the removal waits for that thread.
TEST(MixerThread, TicksGoOnWhileARemovedReceiverEnds)
{
    TestClock clock;
    std::atomic<int> opens{0};
    MixerImpl impl(true, true, clock, failingOpener(opens));
    unsigned short rtpPort = 0, rtcpPort = 0;
    const quint64 id = impl.addUnicastRtpChannel("LIVE", rtpPort, rtcpPort, QString(), nullptr, QHostAddress(), 1.0);
    auto* receiver = dynamic_cast<RtpReceiver*>(reinterpret_cast<Channel*>(id));
    std::promise<void> busy, done;
    QObject onReceiverThread;
    onReceiverThread.moveToThread(receiver);
    QMetaObject::invokeMethod(&onReceiverThread, [&, until = done.get_future().share()] {
        busy.set_value();
        until.wait();
    });
    ASSERT_EQ(busy.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    bool ticked = false;
    std::thread watcher([&] {
        const quint64 from = impl.tick();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!(ticked = impl.tick() >= from + 1000) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        done.set_value();
    });
    impl.removeChannel(id);
    watcher.join();
    EXPECT_TRUE(ticked);
    EXPECT_TRUE(impl.channelIds().isEmpty());
}

// Destroying the mixer (which stops the talk-back) while both sound cards stand still takes no longer than 200 ms.
TEST(MixerThread, DestructionIsQuickWhileTheSoundCardsStandStill)
{
    ScopedEnvironment output("OSTKAVEX_OUTPUT_DEVICE", "virtual"), input("OSTKAVEX_INPUT_DEVICE", "virtual");
    auto impl = std::make_unique<MixerImpl>(false, false);
    impl->enableRtpSink(QHostAddress(QHostAddress::LocalHost), 0, SAMPLE_RATE_8000, QHostAddress(), 0);
    QSignalSpy packets(impl.get(), &MixerImpl::inprocRtpPacket);
    ASSERT_TRUE(packets.wait(5000));
    VirtualSoundFaults::of(SoundBackend::DIRECTION_PLAYBACK).stalled = true;
    VirtualSoundFaults::of(SoundBackend::DIRECTION_CAPTURE).stalled = true;
    QTest::qWait(80);  // both threads now wait for a cursor that does not move
    QElapsedTimer timer;
    timer.start();
    impl.reset();
    EXPECT_LT(timer.elapsed(), 200);
    VirtualSoundFaults::of(SoundBackend::DIRECTION_PLAYBACK).reset();
    VirtualSoundFaults::of(SoundBackend::DIRECTION_CAPTURE).reset();
}
