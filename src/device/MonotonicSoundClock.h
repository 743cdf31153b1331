#pragma once

#include "SoundClock.h"

// The system's monotonic clock and a real sleep of the calling thread.
class MonotonicSoundClock : public SoundClock
{
public:
    quint64 monotonicUs() override;
    quint32 monotonicMs() override;
    void sleepMs(quint32 ms) override;
};
