#include "MixingStep.h"

#include "Channel.h"
#include "PresentationGroup.h"
#include "PresentationNotifier.h"
#include "SampleMath.h"

#include <cstring>

namespace {
// Reported intervals run this far ahead of what is mixed, so that a host
// showing them is in step with what is heard.
const NTPTimestamp kIntervalOffset = NTPTimestamp::fromMilliseconds(20);

// Raises a held peak to `value` unless a reader has taken or raised it meanwhile.
void raiseTo(std::atomic<int>& held, int value)
{
    int current = held.load(std::memory_order_relaxed);
    while (value > current && !held.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
    }
}
}  // namespace

MixingStep::MixingStep()
    : m_channelBuffer(new qint16[kChannelBufferSamples]())
    , m_mixBuffer(new qint32[2 * kFrames]())
    , m_outputBlock(new qint16[2 * kFrames]())
{
}

void MixingStep::mix(quint64 tick, const std::vector<Channel*>& channels,
                     const QMap<QString, PresentationGroup*>& groups)
{
    std::memset(m_mixBuffer.get(), 0, sizeof(qint32) * 2 * kFrames);
    for (Channel* c : channels) {
        if (!c->isActive())
            continue;
        PresentationGroup* group = groups.value(c->getPresentationGroup());
        if (!group)
            continue;
        const channel_t muteState = c->getMuteState();
        std::memset(m_channelBuffer.get(), 0, sizeof(qint16) * kFrames);
        // Asked even when fully muted, so that its position advances.
        c->getData(group->getCurrentRange(tick), reinterpret_cast<unsigned char*>(m_channelBuffer.get()));
        if (muteState == CHANNEL_BOTH)
            continue;
        // Read again: the channel may have changed it while delivering.
        const quint32 state = c->getMuteState();
        const bool leftOn = (state & CHANNEL_LEFT) == 0;
        const bool rightOn = (state & CHANNEL_RIGHT) == 0;
        const qint16* in = m_channelBuffer.get();
        qint32* out = m_mixBuffer.get();
        if (leftOn && rightOn) {
            for (int i = 0; i < kFrames; ++i) {
                out[2 * i] += in[i];
                out[2 * i + 1] += in[i];
            }
        } else if (leftOn || rightOn) {
            const int side = leftOn ? 0 : 1;
            for (int i = 0; i < kFrames; ++i)
                out[2 * i + side] += in[i];
        }
    }
}

void MixingStep::applyOutputStage()
{
    m_outputStage.process(m_mixBuffer.get(), reinterpret_cast<unsigned short*>(m_outputBlock.get()), kFrames);
    const int left = SampleMath::peak(m_outputBlock.get(), kFrames, 2);
    const int right = SampleMath::peak(m_outputBlock.get() + 1, kFrames, 2);
    m_peakLeft.store(left, std::memory_order_relaxed);
    m_peakRight.store(right, std::memory_order_relaxed);
    raiseTo(m_heldLeft, left);
    raiseTo(m_heldRight, right);
}

void MixingStep::takeHeldPeaks(int* left, int* right)
{
    *left = m_heldLeft.exchange(0, std::memory_order_relaxed);
    *right = m_heldRight.exchange(0, std::memory_order_relaxed);
}

void MixingStep::reportGroups(quint64 tick, const QMap<QString, PresentationGroup*>& groups)
{
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        const NTPRange r = it.value()->getCurrentRange(tick);
        emitPresentationInterval(it.key(), r.start() - kIntervalOffset, r.end() - kIntervalOffset);
    }
    for (auto it = groups.cbegin(); it != groups.cend(); ++it)
        it.value()->updatePosition(it.key(), tick);
}

void MixingStep::render(quint64 tick, const std::vector<Channel*>& channels,
                        const QMap<QString, PresentationGroup*>& groups)
{
    mix(tick, channels, groups);
    applyOutputStage();
    reportGroups(tick, groups);
}
