#pragma once

#include "OstKavexMixerGlobal.h"

#include <QHostAddress>

// One received datagram as the UDP receiver hands it to its callback: the
// bytes (valid only during the call) and the sender's address.
struct Datagram {
    // Windows numbers AF_INET6 23; these codes keep that numbering on every
    // platform, so stream keys and logs do not depend on the host OS.
    enum Family { FAMILY_IPV4 = 2, FAMILY_IPV6 = 23 };

    const unsigned char* data = nullptr;
    int size = 0;
    int family = FAMILY_IPV4;
    quint32 ipv4Address = 0;   // host order; IPv4 senders only
    Q_IPV6ADDR ipv6Address{};  // IPv6 senders only
    quint16 port = 0;

    // A datagram of `size` bytes from `sender`:`port`; an IPv4-mapped IPv6
    // sender is taken as the IPv4 address.
    static Datagram fromSender(const unsigned char* data, int size, const QHostAddress& sender, quint16 port);

    bool isIPv6() const { return family == FAMILY_IPV6; }
    QHostAddress senderAddress() const;
    // The IPv6 address as two big-endian 64-bit halves; 0 for IPv4 senders.
    // Together they tell IPv6 senders apart.
    quint64 ipv6High() const;
    quint64 ipv6Low() const;
};
