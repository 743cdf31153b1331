#include "OutputPacer.h"
#include "LogCategories.h"

#include "FrameFormat.h"
#include "PcmDevice.h"

#include <QDebug>
#include <algorithm>

namespace {
// The 5 s pause is slept in slices this long, so that a stop ends it soon.
const quint64 kPauseSliceUs = 50000;
}  // namespace

PcmDevice* OutputPacer::openSoundOutput()
{
    return PcmDevice::open(PcmDevice::DirectionOutput, FrameFormat::kSampleRate, PcmDevice::SampleWidth16,
                           FrameFormat::kOutputChannels, true);
}

OutputPacer::OutputPacer(bool outputEnabled, const std::atomic<bool>& stopRequested, Clock& clock, Opener opener)
    : m_outputEnabled(outputEnabled)
    , m_stopRequested(stopRequested)
    , m_clock(clock)
    , m_opener(opener ? std::move(opener) : Opener(&OutputPacer::openSoundOutput))
{
}

OutputPacer::~OutputPacer() = default;

void OutputPacer::open()
{
    adopt(m_opener());
}

void OutputPacer::adopt(PcmDevice* device)
{
    m_device.reset(device);
    // A stop ends the device's wait for room.
    if (m_device)
        m_device->setAbort(&m_stopRequested);
}

void OutputPacer::close()
{
    m_device.reset();
}

void OutputPacer::finishTick(quint64 tick, const qint16* block)
{
    measureTick(!m_outputEnabled || m_device);
    if (!m_outputEnabled)
        pace(tick);
    else if (m_device)
        play(block);
    else
        retryOpen();
}

void OutputPacer::measureTick(bool played)
{
    const quint64 period = FrameFormat::ticksToUs(1);
    m_ticks.fetch_add(1, std::memory_order_relaxed);
    if (!played) {
        m_missedTicks.fetch_add(1, std::memory_order_relaxed);
        m_slotSet = false;
        return;
    }
    const quint64 now = m_clock.monotonicUs();
    if (!m_slotSet) {
        m_slotSet = true;
        m_slotUs = now;
    }
    if (now > m_slotUs) {
        const quint64 lateness = now - m_slotUs;
        if (lateness > 3 * period)
            m_missedTicks.fetch_add(1, std::memory_order_relaxed);
        else if (lateness > period)
            m_lateTicks.fetch_add(1, std::memory_order_relaxed);
        if (lateness > m_worstLatenessUs.load(std::memory_order_relaxed))
            m_worstLatenessUs.store(lateness, std::memory_order_relaxed);
    }
    // The next slot is a period on, from a slot kept within a quarter period
    // behind this tick: the grid follows the device's clock, and a late tick
    // is counted once, not again for every tick that follows it.
    m_slotUs = qBound(now - period / 4, m_slotUs, now) + period;
}

MixerTickStatistics OutputPacer::statistics() const
{
    MixerTickStatistics statistics;
    statistics.ticks = m_ticks.load(std::memory_order_relaxed);
    statistics.lateTicks = m_lateTicks.load(std::memory_order_relaxed);
    statistics.missedTicks = m_missedTicks.load(std::memory_order_relaxed);
    statistics.worstLatenessUs = m_worstLatenessUs.load(std::memory_order_relaxed);
    return statistics;
}

void OutputPacer::play(const qint16* block)
{
    // The device only reads the block.
    auto* data = reinterpret_cast<unsigned char*>(const_cast<qint16*>(block));
    int remaining = FrameFormat::kFramesPerTick;
    while (remaining > 0 && !m_stopRequested.load(std::memory_order_acquire)) {
        unsigned int status = 0;
        const int n = m_device->write(data, remaining, &status);
        if (n < 0) {
            qCWarning(lcKavexMixer) << "MixerImpl::run(): ==========> Failed to recover from error" << n;
            continue;
        }
        remaining -= n;
        if (n == 0)
            break;  // a non-blocking device takes nothing
    }
}

void OutputPacer::retryOpen()
{
    // This tick's block is not played; the next attempt comes after the pause.
    adopt(m_opener());
    quint64 left = kRetryPauseUs;
    while (left > 0 && !m_stopRequested.load(std::memory_order_acquire)) {
        const quint64 slice = std::min(left, kPauseSliceUs);
        m_clock.sleepUs(slice);
        left -= slice;
    }
}

void OutputPacer::pace(quint64 tick)
{
    const quint64 now = m_clock.monotonicUs();
    if (!m_gridSet || tick <= m_gridOriginTick) {
        m_gridSet = true;
        m_gridOriginUs = now;
        m_gridOriginTick = tick;
        return;
    }
    const quint64 due = m_gridOriginUs + FrameFormat::ticksToUs(tick - m_gridOriginTick);
    if (now > due + kRegridUs) {
        // Far behind (the machine stalled): a new grid instead of racing to catch up.
        m_gridOriginUs = now;
        m_gridOriginTick = tick;
        return;
    }
    m_clock.sleepUntilUs(due);
}
