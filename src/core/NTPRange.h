#pragma once

#include "NTPTimestamp.h"

/// A closed interval [start, end] on the NTP time line. A default range is null
/// (both ends null). A range whose start lies after its end is empty: it
/// contains and intersects nothing.
class OSTKAVEXMIXER_EXPORT NTPRange
{
public:
    constexpr NTPRange() = default;
    /// The range from `start` to `end`, both included.
    constexpr NTPRange(const NTPTimestamp& start, const NTPTimestamp& end) : m_start(start), m_end(end) {}

    /// The first point of the range.
    constexpr const NTPTimestamp& start() const { return m_start; }
    /// The last point of the range.
    constexpr const NTPTimestamp& end() const { return m_end; }
    /// Moves the first point.
    void setStart(const NTPTimestamp& ts) { m_start = ts; }
    /// Moves the last point.
    void setEnd(const NTPTimestamp& ts) { m_end = ts; }

    /// True when both ends are null (a default range).
    constexpr bool isNull() const { return m_start.isNull() && m_end.isNull(); }
    /// True when the start lies after the end.
    constexpr bool isEmpty() const { return m_end < m_start; }
    /// end - start, or the null time stamp for an empty range.
    NTPTimestamp duration() const { return isEmpty() ? NTPTimestamp() : m_end - m_start; }

    /// True when `ts` lies in [start, end]; never for an empty range.
    bool inRange(const NTPTimestamp& ts) const { return !isEmpty() && !(ts < m_start) && !(m_end < ts); }
    /// True when the two ranges share at least one point.
    bool intersects(const NTPRange& other) const;
    /// The part both ranges share; a null range when they share nothing.
    NTPRange intersection(const NTPRange& other) const;
    /// ts clamped into [start, end]; an empty range returns ts unchanged.
    NTPTimestamp limitToRangeBounds(const NTPTimestamp& ts) const;

    /// A range is before another when it ends before the other starts.
    bool operator<(const NTPRange& other) const { return m_end < other.m_start; }
    /// A range is after another when it starts after the other ends.
    bool operator>(const NTPRange& other) const { return other.m_end < m_start; }
    /// @name Equality
    //@{
    /// Equal when both ends are equal.
    bool operator==(const NTPRange& other) const { return m_start == other.m_start && m_end == other.m_end; }
    bool operator!=(const NTPRange& other) const { return !(*this == other); }
    //@}

    /// "start - end", both ends as NTPTimestamp::toString() writes them.
    QString toString() const;

private:
    NTPTimestamp m_start;
    NTPTimestamp m_end;
};

Q_DECLARE_METATYPE(NTPRange)
