#include "KavexAssert.h"
#include "LogCapture.h"
#include "NTPRange.h"
#include "NTPTimestamp.h"

#include <QDateTime>
#include <gtest/gtest.h>

namespace {
NTPTimestamp ms(quint64 v)
{
    return NTPTimestamp::fromMilliseconds(v);
}
}  // namespace

TEST(NTPTimestamp, FixedPointConversionsAndWrappingArithmetic)
{
    EXPECT_EQ(ms(1500).getRaw(), (1ULL << 32) + (1ULL << 31));
    EXPECT_EQ(NTPTimestamp::fromMicroseconds(250000).getRaw(), 1ULL << 30);
    EXPECT_EQ(NTPTimestamp::fromDivision(8, 375).toMicroSeconds(), 21333u);
    // 375 frames of 8/375 s add up to exactly 8 s within rounding of one unit each.
    const quint64 frames = (NTPTimestamp::fromDivision(8, 375) * 375).getRaw();
    EXPECT_LE(qAbs(qint64(frames - (8ULL << 32))), 375);
    EXPECT_EQ(ms(123456789).toMilliseconds(), 123456789u);
    EXPECT_EQ(NTPTimestamp::fromMicroseconds(987654321).toMicroSeconds(), 987654321u);
    EXPECT_TRUE(NTPTimestamp::fromDivision(1, 0).isNull());
    // Differences wrap modulo 2^64 and come back exactly, in either order.
    EXPECT_EQ((ms(1000) - ms(250)).toMilliseconds(), 750u);
    EXPECT_EQ((ms(250) - ms(1000)) + ms(1000), ms(250));
    EXPECT_EQ(ms(1000) / 4, ms(250));
    EXPECT_TRUE((ms(1000) / 0).isNull());
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

TEST(NTPRange, ClosedEndsIntersectionAndClamping)
{
    const NTPRange r(ms(100), ms(200));
    EXPECT_TRUE(r.inRange(ms(100)) && r.inRange(ms(200)));
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
    EXPECT_FALSE(backwards.intersects(r) || backwards.inRange(ms(150)));
    EXPECT_TRUE(NTPRange(ms(0), ms(10)) < NTPRange(ms(11), ms(20)));
    EXPECT_TRUE(NTPRange(ms(11), ms(20)) > NTPRange(ms(0), ms(10)));
}

TEST(KavexAssert, LogsExpressionFileAndLineAndGoesOn)
{
    LogCapture log;
    KAVEX_ASSERT(1 + 1 == 3);
    KAVEX_ASSERT(true);
    ASSERT_EQ(log.entries().size(), 1);
    const LogCapture::Entry e = log.entries().first();
    EXPECT_EQ(e.type, QtWarningMsg);
    EXPECT_TRUE(e.text.contains("1 + 1 == 3"));
    EXPECT_TRUE(e.text.contains("CoreTest.cpp"));
    // The logger carries the writer's location in every build type.
    EXPECT_TRUE(e.file.endsWith("KavexAssert.cpp"));
    EXPECT_GT(e.line, 0);
    EXPECT_TRUE(e.function.contains("kavexAssertPrint"));
}
