#include "KavexUdpReceiver.h"
#include "LogCategories.h"

#include "KavexLLSock.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

namespace {

// Batches taken per notification before the event loop gets its turn again:
// under a flood the thread's other work (timers, queued calls) still runs.
const int kMaxBatchesPerWakeup = 8;

// Receive buffer asked for: the system's default (about 200 KiB) holds less
// than a second of a few streams, so a burst, or a flood from another sender,
// while the receiving thread is busy would drop the stream's own packets. The
// system caps the request at its maximum (net.core.rmem_max).
const int kReceiveBufferBytes = 4 * 1024 * 1024;

void fillSender(Datagram& d, const KavexLLSock::ADDR_V4_V6& from)
{
    if (from.sa.sa_family == AF_INET) {
        d.family = Datagram::FAMILY_IPV4;
        d.ipv4Address = ntohl(from.v4.sin_addr.s_addr);
        d.port = ntohs(from.v4.sin_port);
        return;
    }
    d.port = ntohs(from.v6.sin6_port);
    const unsigned char* b = from.v6.sin6_addr.s6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&from.v6.sin6_addr)) {
        // IPv4 senders on a dual-stack socket look like IPv4 senders on an IPv4 socket.
        d.family = Datagram::FAMILY_IPV4;
        d.ipv4Address = (quint32(b[12]) << 24) | (quint32(b[13]) << 16) | (quint32(b[14]) << 8) | b[15];
        return;
    }
    d.family = Datagram::FAMILY_IPV6;
    memcpy(d.ipv6Address.c, b, 16);
}

bool isAnyAddress(const QHostAddress& a)
{
    return a.isNull() || a == QHostAddress::Any || a == QHostAddress::AnyIPv4 || a == QHostAddress::AnyIPv6;
}

}  // namespace

KavexUdpReceiver::KavexUdpReceiver(QObject* parent)
    : QObject(parent)
    , m_buffers(new unsigned char[size_t(BATCH_SIZE) * MAX_DATAGRAM_SIZE])
{
    for (int i = 0; i < BATCH_SIZE; ++i) {
        m_vectors[i].iov_base = m_buffers.get() + size_t(i) * MAX_DATAGRAM_SIZE;
        m_vectors[i].iov_len = MAX_DATAGRAM_SIZE;
    }
}

KavexUdpReceiver::~KavexUdpReceiver()
{
    close();
}

bool KavexUdpReceiver::openSocket(const QHostAddress& address, quint16 port, bool reuseAddress, const char* caller)
{
    close();
    QString error;
    m_fd = KavexLLSock::openDatagramSocket(address, port, reuseAddress, &error);
    if (m_fd < 0) {
        qCWarning(lcKavexContracts, "KavexUdpReceiver::%s: Cannot open UDP socket on %s port %u: %s", caller,
                  qPrintable(address.toString()), unsigned(port), qPrintable(error));
        return false;
    }
    int size = kReceiveBufferBytes;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t length = sizeof size;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0)
        qCDebug(lcKavexContracts, "KavexUdpReceiver::%s: Receive buffer of %d bytes", caller, size);
    return true;
}

bool KavexUdpReceiver::createUnicast(quint16& port, const QHostAddress& iface)
{
    if (!openSocket(iface, port, false, "createUnicast"))
        return false;
    port = localPort();
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &KavexUdpReceiver::onActivated);
    return true;
}

bool KavexUdpReceiver::createMulticast(quint16 port, const QHostAddress& group, const QHostAddress& iface)
{
    if (!group.isMulticast()) {
        qCWarning(lcKavexContracts, "KavexUdpReceiver::createMulticast: %s is not a multicast group",
                  qPrintable(group.toString()));
        return false;
    }
    if (!isAnyAddress(iface) && iface.protocol() != group.protocol()) {
        qCWarning(lcKavexContracts,
                  "KavexUdpReceiver::createMulticast: Interface %s does not match the family of group %s",
                  qPrintable(iface.toString()), qPrintable(group.toString()));
        return false;
    }
    // Bound to the group itself, the socket sees only that group's traffic
    // even when other groups on the same port are joined on this host. An
    // IPv6 group of interface- or link-local scope cannot be bound without
    // naming the link; such a socket listens on the unspecified address.
    QHostAddress bindAddress = group;
    if (group.protocol() == QAbstractSocket::IPv6Protocol && group.scopeId().isEmpty() &&
        (group.toIPv6Address()[1] & 0x0f) <= 2)
        bindAddress = QHostAddress::AnyIPv6;
    if (!openSocket(bindAddress, port, true, "createMulticast"))
        return false;
    if (!joinGroup(group, iface)) {
        close();
        return false;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &KavexUdpReceiver::onActivated);
    return true;
}

bool KavexUdpReceiver::joinGroup(const QHostAddress& group, const QHostAddress& iface)
{
    int result;
    if (group.protocol() == QAbstractSocket::IPv4Protocol) {
        ip_mreqn request;
        memset(&request, 0, sizeof request);
        request.imr_multiaddr.s_addr = htonl(group.toIPv4Address());
        if (!isAnyAddress(iface))
            request.imr_address.s_addr = htonl(iface.toIPv4Address());
        result = ::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
    } else {
        ipv6_mreq request;
        memset(&request, 0, sizeof request);
        const Q_IPV6ADDR bytes = group.toIPv6Address();
        memcpy(&request.ipv6mr_multiaddr, bytes.c, 16);
        request.ipv6mr_interface = KavexLLSock::interfaceIndexOf(iface);
        if (request.ipv6mr_interface == 0 && !isAnyAddress(iface)) {
            qCWarning(lcKavexContracts, "KavexUdpReceiver::createMulticast: No interface has the address %s",
                      qPrintable(iface.toString()));
            return false;
        }
        result = ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request);
    }
    if (result != 0) {
        qCWarning(lcKavexContracts, "KavexUdpReceiver::createMulticast: Cannot join group %s on interface %s: %s",
                  qPrintable(group.toString()), qPrintable(iface.toString()), strerror(errno));
        return false;
    }
    return true;
}

void KavexUdpReceiver::close()
{
    // close() may run inside the callback, that is inside the notifier's own
    // signal: the notifier goes later, disabled so that it reports no more.
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    KavexLLSock::closeSocket(m_fd);
    m_fd = -1;
}

quint16 KavexUdpReceiver::localPort() const
{
    return KavexLLSock::localPort(m_fd);
}

void KavexUdpReceiver::registerCallback(Callback callback, void* context)
{
    m_callback = callback;
    m_context = context;
}

void KavexUdpReceiver::onActivated()
{
    for (int batch = 0; batch < kMaxBatchesPerWakeup && m_fd >= 0; ++batch) {
        // recvmmsg writes the lengths back into the headers: set afresh for every call.
        for (int i = 0; i < BATCH_SIZE; ++i) {
            msghdr& h = m_messages[i].msg_hdr;
            h = msghdr();
            h.msg_name = &m_senders[i];
            h.msg_namelen = sizeof m_senders[i];
            h.msg_iov = &m_vectors[i];
            h.msg_iovlen = 1;
        }
        const int count = ::recvmmsg(m_fd, m_messages, BATCH_SIZE, MSG_TRUNC, nullptr);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            // EAGAIN: drained. Anything else (an ICMP error reported on the
            // socket) concerns no datagram and leaves the socket usable.
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            continue;
        }
        if (!deliver(count) || count < BATCH_SIZE)
            break;
    }
}

bool KavexUdpReceiver::deliver(int count)
{
    for (int i = 0; i < count; ++i) {
        const size_t n = m_messages[i].msg_len;
        if (n > size_t(MAX_DATAGRAM_SIZE) || (m_messages[i].msg_hdr.msg_flags & MSG_TRUNC)) {
            qCWarning(lcKavexContracts, "KavexUdpReceiver::onActivated: Dropping a datagram of %zd bytes", ssize_t(n));
            continue;
        }
        if (!m_callback)
            continue;
        Datagram d;
        d.data = static_cast<const unsigned char*>(m_vectors[i].iov_base);
        d.size = int(n);
        fillSender(d, m_senders[i]);
        m_callback(m_context, d);
        // The callback may have closed the socket: the rest of the batch goes with it.
        if (m_fd < 0)
            return false;
    }
    return true;
}
