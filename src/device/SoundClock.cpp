#include "SoundClock.h"

#include "MonotonicSoundClock.h"

#include <atomic>

namespace {
std::atomic<SoundClock*> s_installed{nullptr};
}  // namespace

SoundClock::~SoundClock() = default;

quint32 SoundClock::monotonicMs()
{
    return quint32(monotonicUs() / 1000);
}

SoundClock* SoundClock::instance()
{
    static MonotonicSoundClock systemClock;
    SoundClock* installed = s_installed.load(std::memory_order_acquire);
    return installed ? installed : &systemClock;
}

void SoundClock::setInstance(SoundClock* clock)
{
    s_installed.store(clock, std::memory_order_release);
}
