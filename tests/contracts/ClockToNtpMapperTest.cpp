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

// Ticks after the base, at 100 % and 200 %, are measured through the presentation groups' time lines.
TEST(ClockToNtpMapper64, NullUntilBasedMapsTicksBeforeTheBaseAndRefusesAZeroRate)
{
    ClockToNtpMapper64 clock(375, 8);
    EXPECT_TRUE(clock.clockToNtp(5).isNull());
    const NTPTimestamp base = ms(1000000);
    clock.setTimeBase(base, 1000);
    clock.setClockFrequency(0, 8);  // refused: 375 ticks still last 8 s
    EXPECT_EQ(std::make_pair(clock.clockToNtp(1000), clock.clockToNtp(1000 - 375)),
              std::make_pair(base, base - ms(8000)));
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
