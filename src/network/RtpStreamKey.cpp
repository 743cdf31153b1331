#include "RtpStreamKey.h"

#include "Datagram.h"

#include <QtEndian>

RtpStreamKey::RtpStreamKey(const Datagram& sender, quint32 ssrc)
    : m_first(sender.isIPv6() ? sender.ipv6High() : sender.ipv4Address)
    , m_second(sender.isIPv6() ? sender.ipv6Low() : 0)
    , m_ssrc(ssrc)
{
}

QString RtpStreamKey::toString() const
{
    return QStringLiteral("%1:%2:%3:%4").arg(m_first).arg(m_second).arg(QString()).arg(m_ssrc);
}

QHostAddress RtpStreamKey::sender() const
{
    if (m_second == 0 && m_first <= 0xFFFFFFFFULL)
        return QHostAddress(quint32(m_first));
    Q_IPV6ADDR a;
    qToBigEndian<quint64>(m_first, a.c);
    qToBigEndian<quint64>(m_second, a.c + 8);
    return QHostAddress(a);
}
