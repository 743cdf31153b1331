#pragma once

#include "BufferSocketBase.h"
#include "MessageFramer.h"
#include "OstKavexMixerGlobal.h"

#include "KavexMutex.h"
#include <QAbstractSocket>
#include <QAtomicInt>

class QTcpSocket;
class QThread;

// Message-framed TCP connection over a QTcpSocket. A message split over
// several reads waits for its rest; the messages of one read are delivered
// one by one, in order, each by one incomingBuffer emission. A byte count
// above KavexTcpSocket::MAX_MESSAGE_SIZE is a protocol error: the connection
// is closed with a warning.
//
// With `ownThread` false the socket is driven by the event loop of the thread
// that creates the object, and every signal is emitted on that thread. With
// `ownThread` true the object starts a thread of its own for the socket and
// emits its signals there: incomingBuffer must then be connected with
// Qt::DirectConnection to a slot that is safe on that thread.
//
// The operations may be called from any thread; calls from a thread other
// than the socket's are forwarded to it in order (a message is copied for the
// trip). Delete the object from its creating thread and not from within one
// of its own signals (use deleteLater() there).
class BufferSocketQueued : public BufferSocketBase
{
    Q_OBJECT
public:
    explicit BufferSocketQueued(bool ownThread, QObject* parent = nullptr);
    ~BufferSocketQueued() override;

    using BufferSocketBase::sendBuffer;
    // Drops a connection in progress or established, then connects; emits
    // connected() once the connection is up.
    void connectToHost(const QHostAddress& host, quint16 port) override;
    // On the socket's thread: false unless a connection is established or
    // being set up (messages sent while connecting go out once it is up).
    // From another thread: true when the message was forwarded; it is
    // dropped if there is no connection by the time it arrives.
    bool sendBuffer(const char* data, int size) override;
    // Address and port of the current or last connection's peer.
    QHostAddress peerAddress() const override;
    quint16 peerPort() const override;
    bool isConnected() const override { return m_connected.loadAcquire() != 0; }
    void close() override;

    // Takes over an established connection, for example one a QTcpServer
    // accepted: the object becomes the socket's owner and drops the socket it
    // had. Call it from the thread `socket` lives in; `socket` must have no
    // parent or its parent must be in that thread too (it is re-parented).
    // connected() is not emitted for it. False (and the socket deleted) when
    // it is not connected.
    bool adoptSocket(QTcpSocket* socket);

private:
    void attach(QTcpSocket* socket);
    void disposeSocket();
    template <typename F>
    void runOnSocketThread(F&& f);
    bool writeMessage(const char* data, int size);
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void onReadyRead();
    void resetReceiver();
    void setPeer(const QHostAddress& address, quint16 port);

    QThread* m_thread = nullptr;
    // Set by attach() before the socket's thread handles it, cleared on the
    // socket's thread (disposeSocket); the handlers read it on that thread.
    QTcpSocket* m_socket = nullptr;
    QAtomicInt m_connected;

    mutable KavexMutex m_peerLock;
    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;

    // Receive state, used on the socket's thread only.
    MessageFramer m_framer;
};
