#pragma once

#include "OstKavexMixerGlobal.h"

#include <QHostAddress>

#include <netinet/in.h>
#include <sys/socket.h>

// Low-level socket helpers shared by the UDP sender and receiver: socket
// addresses of either family and conversions from and to QHostAddress.
class KavexLLSock
{
public:
    // An IPv4 or IPv6 socket address with port; family AF_UNSPEC when unset.
    union ADDR_V4_V6 {
        sockaddr sa;
        sockaddr_in v4;
        sockaddr_in6 v6;
        sockaddr_storage storage;
    };

    // The socket address of `address` and `port`. An IPv6 address carries its
    // scope (interface name or number) into sin6_scope_id. A null address
    // gives family AF_UNSPEC, which no send accepts.
    static ADDR_V4_V6 createSockAddr(const QHostAddress& address, quint16 port);
    // Length to pass to the socket calls: 0 for an unset address.
    static socklen_t sockAddrLength(const ADDR_V4_V6& address);
    // The address and port back in Qt's terms; an IPv4-mapped IPv6 address
    // comes back as the IPv4 address.
    static QHostAddress toHostAddress(const ADDR_V4_V6& address, quint16* port = nullptr);
    // The index of the interface holding the local address `address`, 0 when
    // none does (or for a null or "any" address).
    static unsigned int interfaceIndexOf(const QHostAddress& address);

    // Opens a non-blocking datagram socket for `address`'s family and binds
    // it. QHostAddress::Any (or a null address) makes one dual-stack IPv6
    // socket that also serves IPv4, falling back to IPv4 where IPv6 is not
    // available. Returns the descriptor, or -1 with `error` set.
    static int openDatagramSocket(const QHostAddress& address, quint16 port, bool reuseAddress, QString* error);
    static quint16 localPort(int fd);
    static int socketFamily(int fd);
    static void closeSocket(int fd);
};
