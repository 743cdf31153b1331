#pragma once

#include "OstKavexMixerGlobal.h"

// The time base of the sound devices: the monotonic clock they pace against
// and the sleep they wait with. One clock is current for the whole process;
// tests install a TestSoundClock so that waiting costs no real time.
class SoundClock
{
public:
    virtual ~SoundClock();

    virtual quint64 monotonicUs() = 0;
    // Milliseconds of the same clock, wrapping at 2^32.
    virtual quint32 monotonicMs();
    virtual void sleepMs(quint32 ms) = 0;

    // The current clock: the installed one, else the system's monotonic clock.
    static SoundClock* instance();
    // Installs `clock` (not owned) as the current clock; null restores the
    // system clock. Install before opening devices and keep it until they
    // are gone.
    static void setInstance(SoundClock* clock);
};
