#include "RtpStreamKey.h"

#include "Datagram.h"

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
