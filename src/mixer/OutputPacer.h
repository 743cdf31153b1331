#pragma once

#include "Clock.h"
#include "MixerTickStatistics.h"

#include <QtGlobal>
#include <atomic>
#include <functional>
#include <memory>

class PcmDevice;

// The end of every mixing tick: plays the block on the sound output, whose
// blocking write paces the mixer thread. Without an output (it failed to
// open) it tries again and pauses 5 s; with output disabled it paces the
// ticks itself on a grid of the tick period, so that the time lines still
// run at real speed. All waiting is on the given clock, and a stop request
// cuts the 5 s pause short. Runs on the mixer thread only; the stop flag is
// the one thing another thread writes. It also measures each tick's
// lateness against the pacing grid (see MixerTickStatistics); the counts are
// atomics any thread may read.
class OutputPacer
{
public:
    // Opens a started output owned by the caller, or returns null.
    using Opener = std::function<PcmDevice*()>;
    static PcmDevice* openSoundOutput();

    static constexpr quint64 kRetryPauseUs = 5000000;
    // Behind the grid by more than this, pacing starts a new grid instead of racing.
    static constexpr quint64 kRegridUs = 1000000;

    OutputPacer(bool outputEnabled, const std::atomic<bool>& stopRequested, Clock& clock,
                Opener opener = &OutputPacer::openSoundOutput);
    ~OutputPacer();
    OutputPacer(const OutputPacer&) = delete;
    OutputPacer& operator=(const OutputPacer&) = delete;

    // Opens the output once at the start, whether output is enabled or not.
    void open();
    // Plays the tick's block (1024 stereo frames), or waits as told above.
    void finishTick(quint64 tick, const qint16* block);
    // Closes the output.
    void close();
    bool hasDevice() const { return m_device != nullptr; }
    MixerTickStatistics statistics() const;

private:
    void adopt(PcmDevice* device);
    void play(const qint16* block);
    void retryOpen();
    void pace(quint64 tick);
    // Counts a tick whose block is handed over now (`played`) or not at all.
    void measureTick(bool played);

    const bool m_outputEnabled;
    const std::atomic<bool>& m_stopRequested;
    Clock& m_clock;
    Opener m_opener;
    std::unique_ptr<PcmDevice> m_device;
    bool m_gridSet = false;
    quint64 m_gridOriginUs = 0;
    quint64 m_gridOriginTick = 0;
    // The next tick's slot on the lateness grid; unset after a tick that was not played.
    bool m_slotSet = false;
    quint64 m_slotUs = 0;
    // Written by the mixer thread, read by any.
    std::atomic<quint64> m_ticks{0};
    std::atomic<quint64> m_lateTicks{0};
    std::atomic<quint64> m_missedTicks{0};
    std::atomic<quint64> m_worstLatenessUs{0};
};
