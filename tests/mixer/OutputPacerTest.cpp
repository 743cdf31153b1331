#include "FrameFormat.h"
#include "OutputPacer.h"
#include "TestClock.h"

#include <gtest/gtest.h>

#include <functional>

namespace {
// A test clock that runs a hook after every sleep.
class HookedClock : public TestClock
{
public:
    void sleepUs(quint64 us) override
    {
        TestClock::sleepUs(us);
        if (m_afterSleep)
            m_afterSleep();
    }
    std::function<void()> m_afterSleep;
};

const qint16 kBlock[2 * FrameFormat::kFramesPerTick] = {};
}  // namespace

TEST(OutputPacer, WithoutOutputTicksFollowTheGridAndAStallStartsANewOne)
{
    TestClock clock;
    std::atomic<bool> stop{false};
    int opens = 0;
    OutputPacer pacer(false, stop, clock, [&]() -> PcmDevice* { ++opens; return nullptr; });
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
}

TEST(OutputPacer, FailedOutputIsRetriedEveryFiveSecondsAndAStopCutsThePauseShort)
{
    HookedClock clock;
    std::atomic<bool> stop{false};
    int opens = 0;
    OutputPacer pacer(true, stop, clock, [&]() -> PcmDevice* { ++opens; return nullptr; });
    pacer.open();
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(clock.sleptUs(), 0u);
    pacer.finishTick(1, kBlock);
    pacer.finishTick(2, kBlock);
    EXPECT_EQ(opens, 3);
    EXPECT_EQ(clock.sleptUs(), 2 * OutputPacer::kRetryPauseUs);
    EXPECT_FALSE(pacer.hasDevice());

    clock.clearSleeps();
    clock.m_afterSleep = [&] { stop = true; };
    pacer.finishTick(3, kBlock);
    EXPECT_EQ(opens, 4);
    EXPECT_EQ(clock.sleepsUs().size(), 1);
    EXPECT_LE(clock.sleptUs(), 100000u);
}
