#include "KavexLLSock.h"

#include <QNetworkInterface>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

namespace {

QString errnoText(const char* what)
{
    return QString("%1: %2").arg(what, QString::fromLocal8Bit(strerror(errno)));
}

int openBound(int family, const KavexLLSock::ADDR_V4_V6& address, int v6Only, bool reuseAddress, QString* error)
{
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errnoText("socket");
        return -1;
    }
    const int one = 1;
    if (family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    if (reuseAddress)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, &address.sa, KavexLLSock::sockAddrLength(address)) != 0) {
        *error = errnoText("bind");
        const int bindErrno = errno;
        ::close(fd);
        errno = bindErrno;
        return -1;
    }
    return fd;
}

}  // namespace

KavexLLSock::ADDR_V4_V6 KavexLLSock::createSockAddr(const QHostAddress& address, quint16 port)
{
    ADDR_V4_V6 result;
    memset(&result, 0, sizeof result);
    result.sa.sa_family = AF_UNSPEC;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        result.v4.sin_family = AF_INET;
        result.v4.sin_port = htons(port);
        result.v4.sin_addr.s_addr = htonl(address.toIPv4Address());
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol ||
               address.protocol() == QAbstractSocket::AnyIPProtocol) {
        result.v6.sin6_family = AF_INET6;
        result.v6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        memcpy(&result.v6.sin6_addr, bytes.c, 16);
        const QString scope = address.scopeId();
        if (!scope.isEmpty()) {
            bool numeric = false;
            const uint index = scope.toUInt(&numeric);
            result.v6.sin6_scope_id = numeric ? index : if_nametoindex(scope.toLocal8Bit().constData());
        }
    }
    return result;
}

socklen_t KavexLLSock::sockAddrLength(const ADDR_V4_V6& address)
{
    switch (address.sa.sa_family) {
    case AF_INET:
        return sizeof(sockaddr_in);
    case AF_INET6:
        return sizeof(sockaddr_in6);
    default:
        return 0;
    }
}

QHostAddress KavexLLSock::toHostAddress(const ADDR_V4_V6& address, quint16* port)
{
    if (port)
        *port = 0;
    if (address.sa.sa_family == AF_INET) {
        if (port)
            *port = ntohs(address.v4.sin_port);
        return QHostAddress(ntohl(address.v4.sin_addr.s_addr));
    }
    if (address.sa.sa_family != AF_INET6)
        return QHostAddress();
    if (port)
        *port = ntohs(address.v6.sin6_port);
    const unsigned char* b = address.v6.sin6_addr.s6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address.v6.sin6_addr))
        return QHostAddress((quint32(b[12]) << 24) | (quint32(b[13]) << 16) | (quint32(b[14]) << 8) | b[15]);
    QHostAddress result(b);
    if (address.v6.sin6_scope_id != 0)
        result.setScopeId(QString::number(address.v6.sin6_scope_id));
    return result;
}

unsigned int KavexLLSock::interfaceIndexOf(const QHostAddress& address)
{
    if (address.isNull() || address == QHostAddress::Any || address == QHostAddress::AnyIPv4 ||
        address == QHostAddress::AnyIPv6)
        return 0;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            if (entry.ip().isEqual(address, QHostAddress::TolerantConversion))
                return uint(iface.index());
        }
    }
    return 0;
}

int KavexLLSock::openDatagramSocket(const QHostAddress& address, quint16 port, bool reuseAddress, QString* error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (address.isNull() || address == QHostAddress::Any) {
        const int fd = openBound(AF_INET6, createSockAddr(QHostAddress::AnyIPv6, port), 0, reuseAddress, error);
        if (fd >= 0 || (errno != EAFNOSUPPORT && errno != EADDRNOTAVAIL))
            return fd;
        return openBound(AF_INET, createSockAddr(QHostAddress::AnyIPv4, port), 0, reuseAddress, error);
    }
    const ADDR_V4_V6 local = createSockAddr(address, port);
    if (local.sa.sa_family == AF_UNSPEC) {
        *error = QString("unsupported address %1").arg(address.toString());
        return -1;
    }
    return openBound(local.sa.sa_family, local, 1, reuseAddress, error);
}

quint16 KavexLLSock::localPort(int fd)
{
    ADDR_V4_V6 address;
    socklen_t length = sizeof address;
    memset(&address, 0, sizeof address);
    if (fd < 0 || ::getsockname(fd, &address.sa, &length) != 0)
        return 0;
    quint16 port = 0;
    toHostAddress(address, &port);
    return port;
}

int KavexLLSock::socketFamily(int fd)
{
    ADDR_V4_V6 address;
    socklen_t length = sizeof address;
    memset(&address, 0, sizeof address);
    if (fd < 0 || ::getsockname(fd, &address.sa, &length) != 0)
        return AF_UNSPEC;
    return address.sa.sa_family;
}

void KavexLLSock::closeSocket(int fd)
{
    if (fd >= 0)
        ::close(fd);
}
