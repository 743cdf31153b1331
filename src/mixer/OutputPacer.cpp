#include "OutputPacer.h"

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
    m_device.reset(m_opener());
}

void OutputPacer::close()
{
    m_device.reset();
}

void OutputPacer::finishTick(quint64 tick, const qint16* block)
{
    if (!m_outputEnabled)
        pace(tick);
    else if (m_device)
        play(block);
    else
        retryOpen();
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
            qWarning() << "MixerImpl::run(): ==========> Failed to recover from error" << n;
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
    m_device.reset(m_opener());
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
