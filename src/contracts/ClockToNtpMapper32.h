#pragma once

#include "NTPTimestamp.h"

// Maps 32-bit RTP timestamps at a clock rate in Hz to NTP time, from a time
// base: RTP timestamp `baseRtp` belongs to NTP time `base`. RTP timestamps
// wrap; a timestamp is taken as later than the base unless it lies at most
// `maxBackSeconds` (the second argument of clockToNtp) behind it.
class ClockToNtpMapper32
{
public:
    explicit ClockToNtpMapper32(quint32 clockRateHz = 8000);

    // A rate of 0 is refused with a warning and changes nothing.
    void setClockFrequency(quint32 clockRateHz);
    quint32 clockFrequency() const { return m_rate; }
    void setTimeBase(const NTPTimestamp& base, quint32 baseRtp);
    bool hasTimeBase() const { return m_hasTimeBase; }
    NTPTimestamp timeBase() const { return m_base; }
    quint32 baseRtpTimestamp() const { return m_baseRtp; }
    void clearTimeBase() { m_hasTimeBase = false; }
    // NTP time of `rtpTimestamp`; the null time stamp when no time base is set.
    NTPTimestamp clockToNtp(quint32 rtpTimestamp, quint32 maxBackSeconds) const;

private:
    quint32 m_rate;
    NTPTimestamp m_base;
    quint32 m_baseRtp = 0;
    bool m_hasTimeBase = false;
};
