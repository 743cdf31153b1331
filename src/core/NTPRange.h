#pragma once

#include "NTPTimestamp.h"

// A closed interval [start, end] on the NTP time line. A default range is null
// (both ends null). A range whose start lies after its end is empty: it
// contains and intersects nothing.
class OSTKAVEXMIXER_EXPORT NTPRange
{
public:
    constexpr NTPRange() = default;
    constexpr NTPRange(const NTPTimestamp& start, const NTPTimestamp& end) : m_start(start), m_end(end) {}

    constexpr const NTPTimestamp& start() const { return m_start; }
    constexpr const NTPTimestamp& end() const { return m_end; }
    void setStart(const NTPTimestamp& ts) { m_start = ts; }
    void setEnd(const NTPTimestamp& ts) { m_end = ts; }

    constexpr bool isNull() const { return m_start.isNull() && m_end.isNull(); }
    constexpr bool isEmpty() const { return m_end < m_start; }
    // end - start, or the null time stamp for an empty range.
    NTPTimestamp duration() const { return isEmpty() ? NTPTimestamp() : m_end - m_start; }

    bool inRange(const NTPTimestamp& ts) const { return !isEmpty() && !(ts < m_start) && !(m_end < ts); }
    // True when the two ranges share at least one point.
    bool intersects(const NTPRange& other) const;
    // The part both ranges share; a null range when they share nothing.
    NTPRange intersection(const NTPRange& other) const;
    // ts clamped into [start, end]; an empty range returns ts unchanged.
    NTPTimestamp limitToRangeBounds(const NTPTimestamp& ts) const;

    // A range is before another when it ends before the other starts.
    bool operator<(const NTPRange& other) const { return m_end < other.m_start; }
    bool operator>(const NTPRange& other) const { return other.m_end < m_start; }
    bool operator==(const NTPRange& other) const { return m_start == other.m_start && m_end == other.m_end; }
    bool operator!=(const NTPRange& other) const { return !(*this == other); }

    QString toString() const;

private:
    NTPTimestamp m_start;
    NTPTimestamp m_end;
};

Q_DECLARE_METATYPE(NTPRange)
