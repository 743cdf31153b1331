#pragma once

#include "Filter.h"
#include "FrameFormat.h"

#include <QMap>
#include <QString>
#include <atomic>
#include <memory>
#include <vector>

class Channel;
class PresentationGroup;

// One mixing tick without a thread: every active channel delivers the range
// its group assigns to the tick and is summed into a 32-bit stereo
// accumulator by its mute bits; the output stage (filters, volume, balance,
// rounding, clipping) turns the sums into one block of 16-bit stereo; the
// block's peaks are measured; every group reports its interval and position.
// Nothing is allocated per tick. Used by one thread at a time (the mixer
// thread), whose owner also guards the output stage's setters; the peaks may
// be read from any thread.
class MixingStep
{
public:
    static constexpr int kFrames = FrameFormat::kFramesPerTick;

    MixingStep();
    MixingStep(const MixingStep&) = delete;
    MixingStep& operator=(const MixingStep&) = delete;

    // The three parts of a tick, in this order. `groups` maps names to groups
    // as the registry does; a channel whose group is not there is skipped.
    void mix(quint64 tick, const std::vector<Channel*>& channels, const QMap<QString, PresentationGroup*>& groups);
    void applyOutputStage();
    // Each group reports its range for the tick, 20 ms early, then updates
    // its position; in ascending name order.
    void reportGroups(quint64 tick, const QMap<QString, PresentationGroup*>& groups);
    // All three at once.
    void render(quint64 tick, const std::vector<Channel*>& channels, const QMap<QString, PresentationGroup*>& groups);

    Filter& outputStage() { return m_outputStage; }
    // The last block: kFrames interleaved left/right samples.
    const qint16* outputBlock() const { return m_outputBlock.get(); }
    // Peak magnitude of the last block per side, 0..32767.
    int peakLeft() const { return m_peakLeft.load(std::memory_order_relaxed); }
    int peakRight() const { return m_peakRight.load(std::memory_order_relaxed); }
    // Peak magnitude per side of every block since the previous call (0 when
    // nothing was mixed since); resets the hold. Any thread.
    void takeHeldPeaks(int* left, int* right);

private:
    // Room for any range a channel may be asked for, far beyond one tick.
    static constexpr int kChannelBufferSamples = 1 << 20;

    std::unique_ptr<qint16[]> m_channelBuffer;
    std::unique_ptr<qint32[]> m_mixBuffer;  // left, right, left, right ...
    std::unique_ptr<qint16[]> m_outputBlock;
    Filter m_outputStage;
    std::atomic<int> m_peakLeft{0};
    std::atomic<int> m_peakRight{0};
    // Raised by the mixer thread, taken by the reader: lock-free both ways.
    std::atomic<int> m_heldLeft{0};
    std::atomic<int> m_heldRight{0};
};
