#include "ClockToNtpMapper64.h"
#include "LogCategories.h"

#include <QDebug>

ClockToNtpMapper64::ClockToNtpMapper64(quint64 numerator, quint64 denominator)
    : m_numerator(numerator ? numerator : 1)
    , m_denominator(denominator ? denominator : 1)
{
}

void ClockToNtpMapper64::setClockFrequency(quint64 numerator, quint64 denominator)
{
    if (numerator == 0 || denominator == 0) {
        qCWarning(lcKavexContracts) << "ClockToNtpMapper64::setClockFrequency: Invalid rate" << numerator << "/"
                                    << denominator;
        return;
    }
    m_numerator = numerator;
    m_denominator = denominator;
}

void ClockToNtpMapper64::setTimeBase(const NTPTimestamp& base, quint64 baseTick)
{
    m_base = base;
    m_baseTick = baseTick;
    m_hasTimeBase = true;
}

NTPTimestamp ClockToNtpMapper64::clockToNtp(quint64 tick) const
{
    if (!m_hasTimeBase)
        return NTPTimestamp();
    const bool before = tick < m_baseTick;
    const quint64 ticks = before ? m_baseTick - tick : tick - m_baseTick;
    // seconds = ticks * denominator / numerator, in 32.32 fixed point, exact
    // to the nearest fraction unit.
    const unsigned __int128 scaled = (static_cast<unsigned __int128>(ticks) * m_denominator) << 32;
    const quint64 offset = quint64((scaled + m_numerator / 2) / m_numerator);
    return before ? m_base - NTPTimestamp(offset) : m_base + NTPTimestamp(offset);
}
