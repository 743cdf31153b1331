#include "NTPTimestamp.h"

#include <QTimeZone>

namespace {
// Seconds from 1900-01-01 to 1970-01-01.
const quint64 kNtpToUnixSeconds = 2208988800ULL;

// a * b / c for a 64-bit a and 32-bit-sized b and c without overflow.
quint64 mulDiv(quint64 a, quint64 b, quint64 c, bool roundNearest)
{
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    const unsigned __int128 q = roundNearest ? (p + c / 2) / c : p / c;
    return quint64(q);
}
}  // namespace

NTPTimestamp NTPTimestamp::fromMilliseconds(quint64 ms)
{
    return fromDivision(ms, 1000);
}

NTPTimestamp NTPTimestamp::fromMicroseconds(quint64 us)
{
    return fromDivision(us, 1000000);
}

NTPTimestamp NTPTimestamp::fromDivision(quint64 numerator, quint64 denominator)
{
    if (denominator == 0)
        return NTPTimestamp();
    const quint64 whole = numerator / denominator;
    const quint64 rest = numerator % denominator;
    return NTPTimestamp((whole << 32) + mulDiv(rest, 1ULL << 32, denominator, true));
}

NTPTimestamp NTPTimestamp::fromDateTime(const QDateTime& dateTime)
{
    if (!dateTime.isValid())
        return NTPTimestamp();
    const qint64 unixMs = dateTime.toMSecsSinceEpoch();
    const qint64 ntpMs = unixMs + qint64(kNtpToUnixSeconds) * 1000;
    if (ntpMs < 0)
        return NTPTimestamp();
    return fromMilliseconds(quint64(ntpMs));
}

NTPTimestamp NTPTimestamp::now()
{
    return fromDateTime(QDateTime::currentDateTimeUtc());
}

quint64 NTPTimestamp::toMilliseconds() const
{
    return (m_raw >> 32) * 1000 + mulDiv(m_raw & 0xFFFFFFFFULL, 1000, 1ULL << 32, true);
}

quint64 NTPTimestamp::toMicroSeconds() const
{
    return (m_raw >> 32) * 1000000 + mulDiv(m_raw & 0xFFFFFFFFULL, 1000000, 1ULL << 32, true);
}

QDateTime NTPTimestamp::toDateTime() const
{
    const qint64 unixMs = qint64(toMilliseconds()) - qint64(kNtpToUnixSeconds) * 1000;
    return QDateTime::fromMSecsSinceEpoch(unixMs, Qt::UTC);
}

QString NTPTimestamp::toString(bool raw) const
{
    if (raw)
        return QStringLiteral("0x%1").arg(m_raw, 16, 16, QLatin1Char('0'));
    return toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

void NTPTimestamp::registerMetaType()
{
    static const int id = qRegisterMetaType<NTPTimestamp>("NTPTimestamp");
    Q_UNUSED(id);
}
