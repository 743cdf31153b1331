#pragma once

#include "Datagram.h"
#include "OstKavexMixerGlobal.h"

#include <QHostAddress>
#include <QObject>
#include <vector>

class QSocketNotifier;

// Receives UDP datagrams, unicast or multicast, over IPv4 or IPv6, and hands
// each one to a registered callback. The socket is watched by the event loop
// of the thread that creates the receiver, and the callback runs on that
// thread. One 64 KiB buffer is reused for every datagram: receiving does not
// allocate.
class KavexUdpReceiver : public QObject
{
    Q_OBJECT
public:
    using Callback = void (*)(void* context, const Datagram& datagram);
    static constexpr int MAX_DATAGRAM_SIZE = 65536;

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
    bool openSocket(const QHostAddress& address, quint16 port, bool reuseAddress, const char* caller);
    bool joinGroup(const QHostAddress& group, const QHostAddress& iface);

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    Callback m_callback = nullptr;
    void* m_context = nullptr;
    std::vector<unsigned char> m_buffer;
};
