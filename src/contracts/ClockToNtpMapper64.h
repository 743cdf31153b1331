#pragma once

#include "NTPTimestamp.h"

// Maps a 64-bit tick counter running at numerator/denominator ticks per second
// to NTP time, from a time base: tick `baseTick` happened at NTP time `base`.
// Ticks before the base tick map to times before the base.
class ClockToNtpMapper64
{
public:
    ClockToNtpMapper64(quint64 numerator = 1, quint64 denominator = 1);

    // A rate of 0 (either part) is refused with a warning and changes nothing.
    void setClockFrequency(quint64 numerator, quint64 denominator);
    void setTimeBase(const NTPTimestamp& base, quint64 baseTick);
    bool hasTimeBase() const { return m_hasTimeBase; }
    NTPTimestamp timeBase() const { return m_base; }
    quint64 baseTick() const { return m_baseTick; }
    // NTP time of `tick`; the null time stamp when no time base is set.
    NTPTimestamp clockToNtp(quint64 tick) const;

private:
    quint64 m_numerator;
    quint64 m_denominator;
    NTPTimestamp m_base;
    quint64 m_baseTick = 0;
    bool m_hasTimeBase = false;
};
