#include "KavexUdpSender.h"
#include "LogCategories.h"

#include <QDebug>

#include <cerrno>
#include <cstring>

KavexUdpSender::~KavexUdpSender()
{
    close();
}

bool KavexUdpSender::bind(quint16 port, const QHostAddress& address)
{
    close();
    QString error;
    m_fd = KavexLLSock::openDatagramSocket(address, port, false, &error);
    if (m_fd < 0) {
        qCWarning(lcKavexContracts, "KavexUdpSender::bind: Cannot open UDP socket on %s port %u: %s",
                  qPrintable(address.toString()), unsigned(port), qPrintable(error));
        return false;
    }
    m_family = KavexLLSock::socketFamily(m_fd);
    return true;
}

void KavexUdpSender::close()
{
    KavexLLSock::closeSocket(m_fd);
    m_fd = -1;
    m_family = 0;
}

quint16 KavexUdpSender::localPort() const
{
    return KavexLLSock::localPort(m_fd);
}

// A dual-stack IPv6 socket takes the IPv4 options as well (for IPv4-mapped
// destinations), so on such a socket both families are set.
bool KavexUdpSender::setMulticastTtl(int ttl)
{
    if (m_fd < 0)
        return false;
    bool ok = ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0;
    if (m_family == AF_INET6)
        ok = ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl) == 0;
    return ok;
}

bool KavexUdpSender::setMulticastInterface(const QHostAddress& iface)
{
    if (m_fd < 0)
        return false;
    const unsigned int index = KavexLLSock::interfaceIndexOf(iface);
    ip_mreqn v4;
    memset(&v4, 0, sizeof v4);
    if (iface.protocol() == QAbstractSocket::IPv4Protocol && iface != QHostAddress::AnyIPv4)
        v4.imr_address.s_addr = htonl(iface.toIPv4Address());
    else
        v4.imr_ifindex = int(index);
    bool ok = ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &v4, sizeof v4) == 0;
    if (m_family == AF_INET6)
        ok = ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) == 0;
    if (!ok)
        qCWarning(lcKavexContracts, "KavexUdpSender::setMulticastInterface: Cannot use interface %s: %s",
                  qPrintable(iface.toString()), strerror(errno));
    return ok;
}

int KavexUdpSender::sendTo(const unsigned char* data, int length, const KavexLLSock::ADDR_V4_V6& address)
{
    if (m_fd < 0 && !bind(0, QHostAddress::Any))
        return -1;
    if (!data || length < 0)
        return -1;
    KavexLLSock::ADDR_V4_V6 target = address;
    if (address.sa.sa_family == AF_INET && m_family == AF_INET6) {
        // The dual-stack socket reaches IPv4 destinations through their mapped form.
        memset(&target, 0, sizeof target);
        target.v6.sin6_family = AF_INET6;
        target.v6.sin6_port = address.v4.sin_port;
        target.v6.sin6_addr.s6_addr[10] = 0xff;
        target.v6.sin6_addr.s6_addr[11] = 0xff;
        memcpy(&target.v6.sin6_addr.s6_addr[12], &address.v4.sin_addr, 4);
    } else if (address.sa.sa_family != m_family) {
        return -1;
    }
    ssize_t n;
    do {
        n = ::sendto(m_fd, data, size_t(length), 0, &target.sa, KavexLLSock::sockAddrLength(target));
    } while (n < 0 && errno == EINTR);
    return int(n);
}
