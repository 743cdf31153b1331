#pragma once

#include "Datagram.h"
#include "KavexLLSock.h"
#include "OstKavexMixerGlobal.h"

#include <QHostAddress>
#include <QObject>
#include <memory>

#include <sys/socket.h>

class QSocketNotifier;

// Receives UDP datagrams, unicast or multicast, over IPv4 or IPv6, and hands
// each one to a registered callback, in arrival order. The socket is watched
// by the event loop of the thread that creates the receiver, and the callback
// runs on that thread. Datagrams are taken BATCH_SIZE at a time with one
// system call (recvmmsg), so that a flood costs one call per batch rather
// than one per datagram. The batch's buffers are made once and reused:
// receiving does not allocate. Each holds a whole datagram (64 KiB), but only
// the pages a datagram writes become resident, so small packets cost about
// one page per buffer.
class KavexUdpReceiver : public QObject
{
    Q_OBJECT
public:
    using Callback = void (*)(void* context, const Datagram& datagram);
    static constexpr int MAX_DATAGRAM_SIZE = 65536;
    static constexpr int BATCH_SIZE = 16;

    explicit KavexUdpReceiver(QObject* parent = nullptr);
    ~KavexUdpReceiver() override;

    // Opens the socket on `iface` and `port` (0: any free port; the port
    // chosen is written back). A null or QHostAddress::Any interface listens
    // on IPv4 and IPv6. False, with a warning, when the socket cannot be opened.
    bool createUnicast(quint16& port, const QHostAddress& iface);
    // Opens the socket on `port` for the multicast `group` (IPv4 or IPv6) and
    // joins the group on the interface that holds the address `iface` (any
    // interface for a null or "any" address). The port may be shared with
    // other receivers. False, with a warning, on failure.
    bool createMulticast(quint16 port, const QHostAddress& group, const QHostAddress& iface);
    void close();

    bool isOpen() const { return m_fd >= 0; }
    quint16 localPort() const;

    // The function receives every datagram with `context` as its first
    // argument; the datagram's bytes are valid only during the call. Replaces
    // an earlier registration; a null function stops delivery.
    void registerCallback(Callback callback, void* context);

private slots:
    void onActivated();

private:
    // Hands the first `count` datagrams of the batch to the callback; false
    // once the callback has closed the socket.
    bool deliver(int count);
    bool openSocket(const QHostAddress& address, quint16 port, bool reuseAddress, const char* caller);
    bool joinGroup(const QHostAddress& group, const QHostAddress& iface);

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    Callback m_callback = nullptr;
    void* m_context = nullptr;
    // The batch: MAX_DATAGRAM_SIZE bytes for each of BATCH_SIZE datagrams,
    // left uninitialised so that untouched pages stay unmapped, with their
    // message headers and sender addresses. The receiving thread only.
    std::unique_ptr<unsigned char[]> m_buffers;
    mmsghdr m_messages[BATCH_SIZE];
    iovec m_vectors[BATCH_SIZE];
    KavexLLSock::ADDR_V4_V6 m_senders[BATCH_SIZE];
};
