#include "ClockToNtpMapper32.h"
#include "ClockToNtpMapper64.h"
#include "NTPRange.h"
#include "NTPTimestamp.h"

#include <QDateTime>
#include <gtest/gtest.h>

TEST(NTPTimestamp, ConversionsAreExactFixedPoint)
{
    EXPECT_EQ(NTPTimestamp::fromMilliseconds(1500).getRaw(), (1ULL << 32) + (1ULL << 31));
    EXPECT_EQ(NTPTimestamp::fromMicroseconds(250000).getRaw(), 1ULL << 30);
    EXPECT_EQ(NTPTimestamp::fromDivision(8, 375).toMicroSeconds(), 21333u);
    // 375 frames of 8/375 s add up to exactly 8 s within rounding of one unit each.
    const quint64 frames = (NTPTimestamp::fromDivision(8, 375) * 375).getRaw();
    EXPECT_LE(qAbs(qint64(frames - (8ULL << 32))), 375);
    EXPECT_EQ(NTPTimestamp::fromMilliseconds(123456789).toMilliseconds(), 123456789u);
    EXPECT_EQ(NTPTimestamp::fromMicroseconds(987654321).toMicroSeconds(), 987654321u);
    EXPECT_TRUE(NTPTimestamp::fromDivision(1, 0).isNull());
}

TEST(NTPTimestamp, ArithmeticWrapsAndCompares)
{
    const NTPTimestamp a = NTPTimestamp::fromMilliseconds(1000);
    const NTPTimestamp b = NTPTimestamp::fromMilliseconds(250);
    EXPECT_EQ((a - b).toMilliseconds(), 750u);
    EXPECT_EQ(((b - a) + a), b);
    EXPECT_EQ((b * 4), a);
    EXPECT_EQ((a / 4), b);
    EXPECT_TRUE((a / 0).isNull());
    EXPECT_TRUE(b < a);
    EXPECT_TRUE(a > b);
    EXPECT_FALSE(a < a);
}

TEST(NTPTimestamp, DateTimeRoundTripAndText)
{
    const QDateTime dt(QDate(2024, 2, 29), QTime(13, 14, 15, 678), Qt::UTC);
    const NTPTimestamp ts = NTPTimestamp::fromDateTime(dt);
    // 2024-02-29 13:14:15 UTC is 3918201255 s after the NTP epoch.
    EXPECT_EQ(ts.seconds(), 3918201255u);
    EXPECT_EQ(ts.toString(false), QStringLiteral("2024-02-29 13:14:15.678"));
    EXPECT_EQ(ts.toDateTime(), dt);
    EXPECT_TRUE(NTPTimestamp::fromDateTime(QDateTime()).isNull());
    EXPECT_EQ(NTPTimestamp(0x1234ULL).toString(true), QStringLiteral("0x0000000000001234"));
}

TEST(NTPRange, IntersectionAndClamping)
{
    const auto ms = [](quint64 v) { return NTPTimestamp::fromMilliseconds(v); };
    const NTPRange r(ms(100), ms(200));
    EXPECT_TRUE(r.inRange(ms(100)));
    EXPECT_TRUE(r.inRange(ms(200)));
    EXPECT_FALSE(r.inRange(ms(201)));
    EXPECT_TRUE(r.intersects(NTPRange(ms(200), ms(300))));  // closed ends touch
    EXPECT_FALSE(r.intersects(NTPRange(ms(201), ms(300))));
    EXPECT_TRUE(r.intersects(NTPRange(ms(0), ms(1000))));
    EXPECT_EQ(r.intersection(NTPRange(ms(150), ms(300))), NTPRange(ms(150), ms(200)));
    EXPECT_TRUE(r.intersection(NTPRange(ms(300), ms(400))).isNull());
    EXPECT_EQ(r.limitToRangeBounds(ms(50)), ms(100));
    EXPECT_EQ(r.limitToRangeBounds(ms(250)), ms(200));
    EXPECT_EQ(r.limitToRangeBounds(ms(150)), ms(150));
    const NTPRange backwards(ms(200), ms(100));
    EXPECT_TRUE(backwards.isEmpty());
    EXPECT_FALSE(backwards.intersects(r));
    EXPECT_FALSE(backwards.inRange(ms(150)));
    EXPECT_TRUE(NTPRange(ms(0), ms(10)) < NTPRange(ms(11), ms(20)));
    EXPECT_TRUE(NTPRange(ms(11), ms(20)) > NTPRange(ms(0), ms(10)));
    EXPECT_TRUE(NTPRange().isNull());
}

TEST(ClockToNtpMapper64, MapsTicksAtRationalRate)
{
    ClockToNtpMapper64 clock(375, 8);
    EXPECT_TRUE(clock.clockToNtp(5).isNull());
    const NTPTimestamp base = NTPTimestamp::fromMilliseconds(1000000);
    clock.setTimeBase(base, 1000);
    EXPECT_EQ(clock.clockToNtp(1000), base);
    EXPECT_EQ(clock.clockToNtp(1375), base + NTPTimestamp::fromMilliseconds(8000));
    EXPECT_EQ(clock.clockToNtp(1000 - 375), base - NTPTimestamp::fromMilliseconds(8000));
    // Speed 200 %: 37500 / (8 * 200) ticks per second, twice the recording per tick.
    clock.setClockFrequency(37500, 8 * 200);
    EXPECT_EQ(clock.clockToNtp(1375), base + NTPTimestamp::fromMilliseconds(16000));
    clock.setClockFrequency(0, 8);  // refused
    EXPECT_EQ(clock.clockToNtp(1375), base + NTPTimestamp::fromMilliseconds(16000));
}

TEST(ClockToNtpMapper32, HandlesWrapAndEarlierTimestamps)
{
    ClockToNtpMapper32 clock(8000);
    EXPECT_FALSE(clock.hasTimeBase());
    const NTPTimestamp base = NTPTimestamp::fromMilliseconds(5000000);
    clock.setTimeBase(base, 0xFFFFFF00u);
    EXPECT_EQ(clock.clockToNtp(0xFFFFFF00u + 8000, 100), base + NTPTimestamp::fromMilliseconds(1000));
    // 8000 ticks later, across the 32-bit wrap.
    EXPECT_EQ(clock.clockToNtp(0xFFFFFF00u + 8000u, 100), clock.clockToNtp(7744u, 100));
    EXPECT_EQ(clock.clockToNtp(0xFFFFFF00u - 800, 100), base - NTPTimestamp::fromMilliseconds(100));
    // Further back than the tolerance reads as a forward wrap.
    EXPECT_GT(clock.clockToNtp(0xFFFFFF00u - 8000 * 101, 100), base);
}
