#pragma once

#include "KavexLLSock.h"
#include "OstKavexMixerGlobal.h"

#include <QHostAddress>

// Sends UDP datagrams, unicast or multicast, to IPv4 and IPv6 destinations
// from one socket. Bound to QHostAddress::Any the socket is dual-stack and
// reaches both families from one local port. Sending is thread-safe in the
// sense of the sockets API (one sendto per datagram); configuration calls
// should come from one thread.
class KavexUdpSender
{
public:
    KavexUdpSender() = default;
    ~KavexUdpSender();
    KavexUdpSender(const KavexUdpSender&) = delete;
    KavexUdpSender& operator=(const KavexUdpSender&) = delete;

    // Opens the socket on `address` and `port` (0: any). False, with a
    // warning, when it cannot be opened.
    bool bind(quint16 port, const QHostAddress& address);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    quint16 localPort() const;

    // Hop limit of multicast datagrams, for both families.
    bool setMulticastTtl(int ttl);
    // Multicast datagrams leave through the interface holding the address
    // `iface`; a null or "any" address restores the routing table's choice.
    bool setMulticastInterface(const QHostAddress& iface);

    // Sends one datagram; returns the bytes sent or -1. An unbound sender
    // binds to any port on QHostAddress::Any first. An IPv6 destination
    // cannot be reached from a socket bound to an IPv4 address.
    int sendTo(const unsigned char* data, int length, const KavexLLSock::ADDR_V4_V6& address);
    int sendTo(const char* data, int length, const KavexLLSock::ADDR_V4_V6& address)
    {
        return sendTo(reinterpret_cast<const unsigned char*>(data), length, address);
    }

private:
    int m_fd = -1;
    int m_family = 0;
};
