#include "ClockToNtpMapper32.h"
#include "LogCategories.h"

#include <QDebug>

ClockToNtpMapper32::ClockToNtpMapper32(quint32 clockRateHz) : m_rate(clockRateHz ? clockRateHz : 8000) {}

void ClockToNtpMapper32::setClockFrequency(quint32 clockRateHz)
{
    if (clockRateHz == 0) {
        qCWarning(lcKavexContracts) << "ClockToNtpMapper32::setClockFrequency: Invalid rate 0";
        return;
    }
    m_rate = clockRateHz;
}

void ClockToNtpMapper32::setTimeBase(const NTPTimestamp& base, quint32 baseRtp)
{
    m_base = base;
    m_baseRtp = baseRtp;
    m_hasTimeBase = true;
}

NTPTimestamp ClockToNtpMapper32::clockToNtp(quint32 rtpTimestamp, quint32 maxBackSeconds) const
{
    if (!m_hasTimeBase)
        return NTPTimestamp();
    const quint32 forward = rtpTimestamp - m_baseRtp;
    const quint32 backward = m_baseRtp - rtpTimestamp;
    const bool before = backward != 0 && quint64(backward) <= quint64(maxBackSeconds) * m_rate;
    const quint64 ticks = before ? backward : forward;
    const quint64 offset = ((ticks << 32) + m_rate / 2) / m_rate;
    return before ? m_base - NTPTimestamp(offset) : m_base + NTPTimestamp(offset);
}
