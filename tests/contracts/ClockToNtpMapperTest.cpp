#include "ClockToNtpMapper32.h"
#include "ClockToNtpMapper64.h"
#include "NTPTimestamp.h"

#include <gtest/gtest.h>

namespace {
NTPTimestamp ms(quint64 v)
{
    return NTPTimestamp::fromMilliseconds(v);
}
}  // namespace

TEST(ClockToNtpMapper64, MapsTicksAtRationalRate)
{
    ClockToNtpMapper64 clock(375, 8);
    EXPECT_TRUE(clock.clockToNtp(5).isNull());
    const NTPTimestamp base = ms(1000000);
    clock.setTimeBase(base, 1000);
    EXPECT_EQ(clock.clockToNtp(1000), base);
    EXPECT_EQ(clock.clockToNtp(1375), base + ms(8000));
    EXPECT_EQ(clock.clockToNtp(1000 - 375), base - ms(8000));
    // Speed 200 %: 37500 / (8 * 200) ticks per second, twice the recording per tick.
    clock.setClockFrequency(37500, 8 * 200);
    EXPECT_EQ(clock.clockToNtp(1375), base + ms(16000));
    clock.setClockFrequency(0, 8);  // refused
    EXPECT_EQ(clock.clockToNtp(1375), base + ms(16000));
}

TEST(ClockToNtpMapper32, HandlesWrapAndEarlierTimestamps)
{
    ClockToNtpMapper32 clock(8000);
    EXPECT_TRUE(clock.clockToNtp(5, 100).isNull());
    const NTPTimestamp base = ms(5000000);
    clock.setTimeBase(base, 0xFFFFFF00u);
    // 8000 ticks later, across the 32-bit wrap.
    EXPECT_EQ(clock.clockToNtp(7744u, 100), base + ms(1000));
    EXPECT_EQ(clock.clockToNtp(0xFFFFFF00u - 800, 100), base - ms(100));
    // Further back than the tolerance reads as a forward wrap.
    EXPECT_GT(clock.clockToNtp(0xFFFFFF00u - 8000 * 101, 100), base);
}
