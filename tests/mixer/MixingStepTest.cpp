#include "MixingStep.h"
#include "ChannelRegistry.h"
#include "PresentationGroup.h"
#include "PresentationNotifier.h"
#include "TestChannel.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

// Counts the allocations of the thread that asks for it: a tick allocates nothing.
// Not under the thread checker: this binary's other tests post Qt events from
// other threads, and an allocation made here on Qt's behalf would no longer
// count as Qt's own, whose hand-over the checker cannot see. The counts are
// checked in the other builds.
namespace {
thread_local bool t_countAllocations = false;
std::atomic<int> g_allocations{0};
}  // namespace

#if !defined(__SANITIZE_THREAD__)
void* operator new(std::size_t size)
{
    if (t_countAllocations)
        ++g_allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
#endif

namespace {
const int kFrames = MixingStep::kFrames;
const NTPTimestamp kFrame = NTPTimestamp::fromDivision(8, 375);
const NTPTimestamp P = NTPTimestamp::fromMilliseconds(3900000000000ULL);
const NTPTimestamp k20Ms = NTPTimestamp::fromMilliseconds(20);

// Delivers a constant; counts its requests; allocates nothing.
class SourceChannel : public PlainChannel
{
public:
    explicit SourceChannel(qint16 value) : m_value(value) {}
    void getData(unsigned char* buffer, quint64 count) override
    {
        std::fill_n(reinterpret_cast<qint16*>(buffer), count / 2, m_value);
        ++m_requests;
    }
    qint16 m_value;
    int m_requests = 0;
};
}  // namespace

TEST(MixingStep, SumsMutesVolumeBalanceClippingAndPeaks)
{
    struct Source {
        qint16 value;
        channel_t muted;
        int copies;
    };
    struct Case {
        const char* name;
        std::vector<Source> sources;
        int volume, balance, left, right;
    };
    const channel_t none = channel_t(0);
    const std::vector<Case> cases = {
        {"one channel", {{1000, none, 1}}, 100, 0, 1000, 1000},
        {"left muted", {{1000, CHANNEL_LEFT, 1}}, 100, 0, 0, 1000},
        {"right muted", {{-1000, CHANNEL_RIGHT, 1}}, 100, 0, -1000, 0},
        {"both muted", {{1000, CHANNEL_BOTH, 1}}, 100, 0, 0, 0},
        {"many summed", {{300, none, 100}, {-700, CHANNEL_RIGHT, 1}}, 100, 0, 29300, 30000},
        {"sum clipped high", {{30000, none, 2}}, 100, 0, 32767, 32767},
        {"sum clipped low", {{-30000, none, 2}, {-5, CHANNEL_LEFT, 1}}, 100, 0, -32768, -32768},
        {"volume 255", {{10000, none, 1}}, 255, 0, 18278, 18278},
        {"balance -50", {{1000, none, 1}}, 100, -50, 1000, 585},
    };
    {  // the process's one-time set-up (the notifier) comes before the counted ticks
        ChannelRegistry registry;
        MixingStep().render(1, registry.snapshot(), registry.groups());
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::unique_ptr<SourceChannel>> channels;
        ChannelRegistry registry;
        for (const Source& s : c.sources) {
            for (int i = 0; i < s.copies; ++i) {
                channels.emplace_back(new SourceChannel(s.value));
                channels.back()->unmute(CHANNEL_BOTH);
                channels.back()->mute(s.muted);
                registry.addChannel(ChannelRegistry::kLive, channels.back().get());
            }
        }
        MixingStep step;
        step.outputStage().setBalance(c.balance);
        step.outputStage().setOutputVolume(quint8(c.volume));
        g_allocations = 0;
        t_countAllocations = true;
        step.render(1, registry.snapshot(), registry.groups());
        t_countAllocations = false;
        EXPECT_EQ(g_allocations.load(), 0);
        int wrong = 0;
        for (int i = 0; i < kFrames; ++i)
            wrong += step.outputBlock()[2 * i] != c.left || step.outputBlock()[2 * i + 1] != c.right;
        EXPECT_EQ(wrong, 0) << "first frame " << step.outputBlock()[0] << ", " << step.outputBlock()[1];
        EXPECT_EQ(step.peakLeft(), std::min(std::abs(c.left), 32767));
        EXPECT_EQ(step.peakRight(), std::min(std::abs(c.right), 32767));
        for (const auto& channel : channels)
            EXPECT_EQ(channel->m_requests, 1);  // asked even when fully muted
    }
}

// The gains and filters themselves are measured on the chain alone; here: a
// chain with every filter on is applied, and allocates only on its first tick.
// The held peaks (what getOutputLevel reads) keep the first tick's step
// response until they are taken, however quiet the ticks after it.
TEST(MixingStep, FiltersAllocateOnlyOnTheFirstTick)
{
    SourceChannel c(10000);
    c.unmute(CHANNEL_BOTH);
    ChannelRegistry registry;
    registry.addChannel(ChannelRegistry::kLive, &c);
    MixingStep step;
    step.outputStage().setLowpass(2000, 2);
    step.outputStage().setHighpass(300, 1);
    step.outputStage().setNotch(500, 100, 50);
    for (int index : {Filter::INDEX_LOWPASS, Filter::INDEX_HIGHPASS, Filter::INDEX_NOTCH})
        step.outputStage().enable(index, true);
    step.render(1, registry.snapshot(), registry.groups());
    g_allocations = 0;
    t_countAllocations = true;
    step.render(2, registry.snapshot(), registry.groups());
    step.render(3, registry.snapshot(), registry.groups());
    t_countAllocations = false;
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_LT(step.peakLeft(), 100);  // the high-pass has taken out the constant
    int left = 0, right = 0, again = -1;
    step.takeHeldPeaks(&left, &right);
    step.takeHeldPeaks(&again, &right);
    EXPECT_GT(left, 5000);
    EXPECT_EQ(again, 0);
}

TEST(MixingStep, ChannelsPlayTheirGroupsRangeAndGroupsReportTwentyMsEarly)
{
    TestChannel live(1), inGroup(2), inactive(3), orphan(4);
    ChannelRegistry registry;
    registry.addChannel(ChannelRegistry::kLive, &live);
    registry.addChannel("G", &inGroup);
    registry.addChannel(ChannelRegistry::kLive, &inactive);
    inactive.m_active = false;
    registry.addChannel("O", &orphan);
    orphan.setPresentationGroup(QString());  // a group name nobody has
    PresentationGroup* g = registry.group("G");
    g->setPosition(P, 0);
    g->setPositionUpdateInterval(20);
    g->play(0);
    registry.group(ChannelRegistry::kLive)->setPosition(P - NTPTimestamp::fromMilliseconds(5000), 0);
    registry.group(ChannelRegistry::kLive)->play(0);

    QSignalSpy intervals(PresentationNotifier::instance(), &PresentationNotifier::presentationInterval);
    QSignalSpy positions(g, &PresentationGroup::positionUpdate);
    MixingStep step;
    for (quint64 tick = 1; tick <= 3; ++tick)
        step.render(tick, registry.snapshot(), registry.groups());

    EXPECT_EQ(inGroup.ranges(),
              (QList<NTPRange>{
                  {P + kFrame, P + kFrame * 2}, {P + kFrame * 2, P + kFrame * 3}, {P + kFrame * 3, P + kFrame * 4}}));
    EXPECT_EQ(live.ranges().last().start(), P - NTPTimestamp::fromMilliseconds(5000) + kFrame * 3);
    EXPECT_EQ(inactive.requests(), 0);
    EXPECT_EQ(orphan.requests(), 0);
    // Every group, in name order, every tick.
    ASSERT_EQ(intervals.count(), 9);
    EXPECT_EQ(intervals[6][0].toString() + intervals[7][0].toString() + intervals[8][0].toString(), "GLIVEO");
    EXPECT_EQ(intervals[6][1].value<NTPTimestamp>(), P + kFrame * 3 - k20Ms);
    EXPECT_EQ(intervals[6][2].value<NTPTimestamp>(), P + kFrame * 4 - k20Ms);
    // 21.3 ms per tick: a report every tick at an interval of 20 ms.
    ASSERT_EQ(positions.count(), 3);
    EXPECT_EQ(positions[2][1].value<NTPTimestamp>(), P + kFrame * 3);
    orphan.setPresentationGroup("O");
}
