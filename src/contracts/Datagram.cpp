#include "Datagram.h"

#include <QtEndian>

Datagram Datagram::fromSender(const unsigned char* data, int size, const QHostAddress& sender, quint16 port)
{
    Datagram d;
    d.data = data;
    d.size = size;
    d.port = port;
    bool isIPv4 = false;
    const quint32 v4 = sender.toIPv4Address(&isIPv4);
    if (isIPv4) {
        d.ipv4Address = v4;
    } else if (sender.protocol() == QAbstractSocket::IPv6Protocol) {
        d.family = FAMILY_IPV6;
        d.ipv6Address = sender.toIPv6Address();
    }
    return d;
}

QHostAddress Datagram::senderAddress() const
{
    return isIPv6() ? QHostAddress(ipv6Address) : QHostAddress(ipv4Address);
}

quint64 Datagram::ipv6High() const
{
    return isIPv6() ? qFromBigEndian<quint64>(ipv6Address.c) : 0;
}

quint64 Datagram::ipv6Low() const
{
    return isIPv6() ? qFromBigEndian<quint64>(ipv6Address.c + 8) : 0;
}
