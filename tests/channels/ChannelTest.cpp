#include "Channel.h"
#include "TestChannel.h"

#include <gtest/gtest.h>

namespace {
NTPRange us(quint64 a, quint64 b)
{
    return NTPRange(NTPTimestamp::fromMicroseconds(a), NTPTimestamp::fromMicroseconds(b));
}
}  // namespace

TEST(Channel, BytesForRangeNeverYieldsHalfASample)
{
    EXPECT_EQ(bytesForRange(us(1000, 1000 + 21333)), 2048u);  // 2047.968 -> 2047 -> 2048
    EXPECT_EQ(bytesForRange(us(1000, 1001)), 0u);
    EXPECT_EQ(bytesForRange(us(1000, 1011)), 2u);  // 1.056 -> 1 -> 2
    EXPECT_EQ(bytesForRange(us(0, 1000)), 96u);
    EXPECT_EQ(bytesForRange(us(5000, 5000)), 0u);
    EXPECT_EQ(bytesForRange(us(5000, 4000)), 0u);  // backwards: nothing, not a huge count
    const NTPTimestamp t = NTPTimestamp::fromMilliseconds(77777);
    EXPECT_EQ(bytesForRange(NTPRange(t, t + NTPTimestamp::fromDivision(8, 375))), 2048u);
}

// Mute state is a bit set starting muted on both sides; copies keep it and the group.
TEST(Channel, BaseDefaultsMuteBitsAndCopies)
{
    PlainChannel c;
    EXPECT_EQ(c.getMuteState(), CHANNEL_BOTH);
    c.unmute(CHANNEL_BOTH);
    c.mute(channel_t(0));
    EXPECT_EQ(int(c.getMuteState()), 0);
    c.mute(CHANNEL_RIGHT);
    EXPECT_EQ(int(c.getMuteState()), 2);
    c.mute(CHANNEL_LEFT);
    c.unmute(CHANNEL_LEFT);
    EXPECT_EQ(int(c.getMuteState()), 2);
    EXPECT_TRUE(c.isActive());
    c.setActive(false);
    EXPECT_TRUE(c.isActive());
    EXPECT_TRUE(c.getPresentationGroup().isEmpty());
    c.setPresentationGroup("G1");
    PlainChannel copy(c), assigned;
    assigned = c;
    EXPECT_TRUE(copy.getPresentationGroup() == "G1" && assigned.getPresentationGroup() == "G1");
    EXPECT_EQ(int(copy.getMuteState()), 2);

    // The range form asks the byte-count form for the range's size.
    unsigned char buffer[4096];
    static_cast<Channel&>(c).getData(us(0, 21333), buffer);
    EXPECT_EQ(c.m_lastCount, 2048u);
}
