#include "Channel.h"
#include "TestChannel.h"

#include <gtest/gtest.h>

namespace {
NTPRange us(quint64 a, quint64 b)
{
    return NTPRange(NTPTimestamp::fromMicroseconds(a), NTPTimestamp::fromMicroseconds(b));
}
}  // namespace

// Range, bytes: 2047.968 rounds to 2048, 1.056 to 2, a backwards range gives nothing rather than a huge count.
TEST(Channel, BytesForRangeNeverYieldsHalfASampleAndSizesRangeRequests)
{
    const NTPTimestamp t = NTPTimestamp::fromMilliseconds(77777);
    const std::pair<NTPRange, quint64> cases[] = {{us(1000, 1000 + 21333), 2048},
                                                  {us(1000, 1001), 0},
                                                  {us(1000, 1011), 2},
                                                  {us(0, 1000), 96},
                                                  {us(5000, 5000), 0},
                                                  {us(5000, 4000), 0},
                                                  {NTPRange(t, t + NTPTimestamp::fromDivision(8, 375)), 2048}};
    for (const auto& [range, bytes] : cases)
        EXPECT_EQ(bytesForRange(range), bytes) << range.start().getRaw();
    PlainChannel c;
    unsigned char buffer[4096];
    static_cast<Channel&>(c).getData(us(0, 21333), buffer);
    EXPECT_EQ(c.m_lastCount, 2048u);
}

// Mute state is a bit set starting muted on both sides; copies keep it and the group.
TEST(Channel, StartsMutedOnBothSidesAndCopiesKeepMuteBitsAndGroup)
{
    PlainChannel c;
    EXPECT_EQ(c.getMuteState(), CHANNEL_BOTH);
    c.unmute(CHANNEL_BOTH);
    c.mute(CHANNEL_RIGHT);
    c.mute(CHANNEL_LEFT);
    c.unmute(CHANNEL_LEFT);
    c.setActive(false);  // the base class is always active
    c.setPresentationGroup("G1");
    PlainChannel copy(c), assigned;
    assigned = c;
    EXPECT_EQ(std::make_tuple(int(copy.getMuteState()), copy.getPresentationGroup(), assigned.getPresentationGroup(),
                              c.isActive()),
              std::make_tuple(2, QString("G1"), QString("G1"), true));
}
