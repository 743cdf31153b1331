#pragma once

#include "NTPTimestamp.h"
#include "OstKavexMixerGlobal.h"

// The one time source of the library: a monotonic clock for pacing, cursors,
// staleness and timeouts, the wall clock for the NTP time line, and the sleep
// that waits on them. Objects take a Clock& when they are made (the system
// clock unless told otherwise), so that a test can drive time by hand.
// Implementations are thread-safe.
class Clock
{
public:
    virtual ~Clock();

    // Microseconds of a monotonic clock with an arbitrary origin.
    virtual quint64 monotonicUs() = 0;
    // Milliseconds of the same clock, wrapping at 2^32.
    quint32 monotonicMs() { return quint32(monotonicUs() / 1000); }
    // Wall-clock time (UTC).
    virtual NTPTimestamp wallClock() = 0;
    // Blocks the calling thread until the monotonic clock has advanced by `us`.
    virtual void sleepUs(quint64 us) = 0;
    void sleepMs(quint32 ms) { sleepUs(quint64(ms) * 1000); }
    // Blocks until monotonicUs() reaches `deadlineUs`; returns at once when it has.
    void sleepUntilUs(quint64 deadlineUs);

    // The operating system's clocks.
    static Clock& system();
};
