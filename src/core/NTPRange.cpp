#include "NTPRange.h"

bool NTPRange::intersects(const NTPRange& other) const
{
    if (isEmpty() || other.isEmpty())
        return false;
    return !(m_end < other.m_start) && !(other.m_end < m_start);
}

NTPRange NTPRange::intersection(const NTPRange& other) const
{
    if (!intersects(other))
        return NTPRange();
    return NTPRange(qMax(m_start, other.m_start), qMin(m_end, other.m_end));
}

NTPTimestamp NTPRange::limitToRangeBounds(const NTPTimestamp& ts) const
{
    if (isEmpty())
        return ts;
    if (ts < m_start)
        return m_start;
    if (m_end < ts)
        return m_end;
    return ts;
}

QString NTPRange::toString() const
{
    return QStringLiteral("[%1 - %2]").arg(m_start.toString(false), m_end.toString(false));
}
