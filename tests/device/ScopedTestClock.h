#pragma once

#include "TestSoundClock.h"

// A test clock that is the current sound clock while it lives.
class ScopedTestClock : public TestSoundClock
{
public:
    ScopedTestClock() { SoundClock::setInstance(this); }
    ~ScopedTestClock() override { SoundClock::setInstance(nullptr); }
    ScopedTestClock(const ScopedTestClock&) = delete;
    ScopedTestClock& operator=(const ScopedTestClock&) = delete;
};
