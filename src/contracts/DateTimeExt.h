#pragma once

#include "OstKavexMixerGlobal.h"

// Monotonic clock readings, unaffected by changes of the wall clock.
class DateTimeExt
{
public:
    // Milliseconds of a monotonic clock, wrapping at 2^32.
    static quint32 getMonotonicTimeMs();
    static quint64 getMonotonicTimeUs();
};
