#include "ChannelRegistry.h"
#include "IIRFilter.h"
#include "MixingStep.h"
#include "PresentationGroup.h"
#include "PresentationNotifier.h"
#include "SignalAnalysis.h"
#include "TestChannel.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

// Counts the allocations of the thread that asks for it: a tick allocates nothing.
namespace {
thread_local bool t_countAllocations = false;
std::atomic<int> g_allocations{0};
}  // namespace

void* operator new(std::size_t size)
{
    if (t_countAllocations)
        ++g_allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {
const int kFrames = MixingStep::kFrames;
const NTPTimestamp kFrame = NTPTimestamp::fromDivision(8, 375);
const NTPTimestamp P = NTPTimestamp::fromMilliseconds(3900000000000ULL);
const NTPTimestamp k20Ms = NTPTimestamp::fromMilliseconds(20);

// Delivers a constant, or the samples of a signal one after the other tick
// after tick; counts its requests; allocates nothing.
class SourceChannel : public PlainChannel
{
public:
    explicit SourceChannel(std::vector<int16_t> samples) : m_samples(std::move(samples)) {}
    void getData(unsigned char* buffer, quint64 count) override
    {
        auto* s = reinterpret_cast<qint16*>(buffer);
        for (quint64 i = 0; i < count / 2; ++i)
            s[i] = m_samples[m_next++ % m_samples.size()];
        ++m_requests;
    }
    std::vector<int16_t> m_samples;
    size_t m_next = 0;
    int m_requests = 0;
};

int clipRound(double v)
{
    return int(std::lrint(std::max(-32768.0, std::min(32767.0, v))));
}
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
        {"volume 0", {{1000, none, 1}}, 0, 0, 0, 0},
        {"volume 255", {{10000, none, 1}}, 255, 0, 18278, 18278},
        {"volume 255 clips", {{20000, none, 1}}, 255, 0, 32767, 32767},
        {"balance 100", {{1000, none, 1}}, 100, 100, 0, 1000},
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
                channels.emplace_back(new SourceChannel({s.value}));
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

TEST(MixingStep, EachFilterMatchesItsOwnCoefficientsWithSeparateSides)
{
    using namespace SignalAnalysis;
    const double q = 10.0;  // ignored by low- and high-pass
    struct Case {
        int index;
        IIRFilter reference;
    };
    Case cases[] = {{Filter::INDEX_LOWPASS, {IIRFilter::KIND_LOWPASS, 2, 2000 / 48000.0, 1.0, q}},
                    {Filter::INDEX_HIGHPASS, {IIRFilter::KIND_HIGHPASS, 1, 300 / 48000.0, 1.0, q}},
                    {Filter::INDEX_NOTCH, {IIRFilter::KIND_NOTCH, 1, 500 / 48000.0, 1.0, 3.0}}};
    for (Case& c : cases) {
        SCOPED_TRACE(c.index);
        // Both sides hear `both`; the left one also hears `leftOnly`.
        SourceChannel both(toInt16(sine(300, 48000, 4800, 8000)));
        SourceChannel leftOnly(toInt16(sine(6000, 48000, 4800, 8000)));
        both.unmute(CHANNEL_BOTH);
        leftOnly.unmute(CHANNEL_LEFT);
        ChannelRegistry registry;
        registry.addChannel(ChannelRegistry::kLive, &both);
        registry.addChannel(ChannelRegistry::kLive, &leftOnly);
        MixingStep step;
        Filter& stage = step.outputStage();
        stage.setLowpass(2000, 2);
        stage.setHighpass(300, 1);
        stage.setNotch(500, 100, 50);  // q = 5 - 4 * 50 / 100
        stage.enable(c.index, true);
        int wrong = 0;
        g_allocations = 0;
        for (quint64 tick = 1; tick <= 3; ++tick) {  // the filter state carries over
            t_countAllocations = tick > 1;  // the chain sizes its scratch once
            step.render(tick, registry.snapshot(), registry.groups());
            t_countAllocations = false;
            for (int i = 0; i < kFrames; ++i) {
                const size_t n = size_t(tick - 1) * kFrames + size_t(i);
                double left, right;
                c.reference.processLeft(both.m_samples[n % 4800] + leftOnly.m_samples[n % 4800], &left);
                c.reference.processRight(both.m_samples[n % 4800], &right);
                wrong += step.outputBlock()[2 * i] != clipRound(left) ||
                         step.outputBlock()[2 * i + 1] != clipRound(right);
            }
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(g_allocations.load(), 0);
    }
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

    EXPECT_EQ(inGroup.ranges(), (QList<NTPRange>{{P + kFrame, P + kFrame * 2}, {P + kFrame * 2, P + kFrame * 3},
                                                 {P + kFrame * 3, P + kFrame * 4}}));
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
