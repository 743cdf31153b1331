#pragma once

#include "OstKavexMixerGlobal.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

/// A point on the NTP time line: seconds since 1900-01-01 00:00 UTC in 32.32
/// fixed point (upper 32 bits whole seconds, lower 32 bits the fraction).
/// Arithmetic is exact on the raw value and wraps modulo 2^64, so differences
/// of nearby times are exact whatever their order. The raw value 0 is the null
/// time stamp: "no time".
class OSTKAVEXMIXER_EXPORT NTPTimestamp
{
public:
    constexpr NTPTimestamp() = default;
    /// The time stamp of the 64-bit raw value.
    constexpr explicit NTPTimestamp(quint64 raw) : m_raw(raw) {}
    /// Whole seconds and the fraction in units of 2^-32 s.
    constexpr NTPTimestamp(quint32 seconds, quint32 fraction) : m_raw((quint64(seconds) << 32) | fraction) {}

    /// A span or a point `ms` milliseconds after the epoch, to the nearest fraction unit.
    static NTPTimestamp fromMilliseconds(quint64 ms);
    /// A span or a point `us` microseconds after the epoch, to the nearest fraction unit.
    static NTPTimestamp fromMicroseconds(quint64 us);
    /// numerator / denominator seconds, rounded to the nearest fraction unit.
    static NTPTimestamp fromDivision(quint64 numerator, quint64 denominator);
    /// A UTC date-time; an invalid one gives the null time stamp.
    static NTPTimestamp fromDateTime(const QDateTime& dateTime);
    /// The wall clock now.
    static NTPTimestamp now();

    /// The 64-bit raw value.
    constexpr quint64 getRaw() const { return m_raw; }
    /// Whole seconds (upper 32 bits).
    constexpr quint32 seconds() const { return quint32(m_raw >> 32); }
    /// The fraction of a second in units of 2^-32 s (lower 32 bits).
    constexpr quint32 fraction() const { return quint32(m_raw); }
    /// True for the null time stamp (raw value 0).
    constexpr bool isNull() const { return m_raw == 0; }

    /// @name Milliseconds and microseconds
    //@{
    /// Milliseconds / microseconds since the NTP epoch, to the nearest; exact
    /// for time stamps made from whole milliseconds / microseconds.
    quint64 toMilliseconds() const;
    quint64 toMicroSeconds() const;
    //@}
    /// The time as a UTC date-time, to the millisecond.
    QDateTime toDateTime() const;
    /// raw == false: "yyyy-MM-dd HH:mm:ss.zzz" UTC; raw == true: the 64-bit value in hex.
    QString toString(bool raw = false) const;

    /// @name Arithmetic
    //@{
    /// Arithmetic on the raw values, modulo 2^64.
    constexpr NTPTimestamp operator+(const NTPTimestamp& o) const { return NTPTimestamp(m_raw + o.m_raw); }
    constexpr NTPTimestamp operator-(const NTPTimestamp& o) const { return NTPTimestamp(m_raw - o.m_raw); }
    NTPTimestamp& operator+=(const NTPTimestamp& o)
    {
        m_raw += o.m_raw;
        return *this;
    }
    NTPTimestamp& operator-=(const NTPTimestamp& o)
    {
        m_raw -= o.m_raw;
        return *this;
    }
    constexpr NTPTimestamp operator*(quint64 factor) const { return NTPTimestamp(m_raw * factor); }
    //@}
    /// Division by 0 gives the null time stamp.
    constexpr NTPTimestamp operator/(quint64 divisor) const { return NTPTimestamp(divisor ? m_raw / divisor : 0); }

    /// @name Comparison
    //@{
    /// Comparison of the raw values.
    constexpr bool operator<(const NTPTimestamp& o) const { return m_raw < o.m_raw; }
    constexpr bool operator>(const NTPTimestamp& o) const { return m_raw > o.m_raw; }
    constexpr bool operator<=(const NTPTimestamp& o) const { return m_raw <= o.m_raw; }
    constexpr bool operator>=(const NTPTimestamp& o) const { return m_raw >= o.m_raw; }
    constexpr bool operator==(const NTPTimestamp& o) const { return m_raw == o.m_raw; }
    constexpr bool operator!=(const NTPTimestamp& o) const { return m_raw != o.m_raw; }
    //@}

    /// Registers the type with the meta-type system under "NTPTimestamp" (once).
    static void registerMetaType();

private:
    quint64 m_raw = 0;
};

Q_DECLARE_METATYPE(NTPTimestamp)
