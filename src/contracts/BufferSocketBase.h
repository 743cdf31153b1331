#pragma once

#include "KavexTcpSocket.h"
#include "OstKavexMixerGlobal.h"
#include "SharedPoolBuffer.h"

#include <QHostAddress>
#include <QObject>

// A TCP connection that carries whole messages instead of a byte stream (the
// framing is in KavexTcpSocket). Derived classes decide how the socket is
// driven; the interface is the same for all of them.
class BufferSocketBase : public QObject
{
    Q_OBJECT
public:
    explicit BufferSocketBase(QObject* parent = nullptr) : QObject(parent) {}

    virtual void connectToHost(const QHostAddress& host, quint16 port) = 0;
    // Sends one message; false when it cannot be sent (no connection, or
    // larger than KavexTcpSocket::MAX_MESSAGE_SIZE).
    virtual bool sendBuffer(const char* data, int size) = 0;
    bool sendBuffer(const SharedPoolBuffer& buffer)
    {
        return sendBuffer(reinterpret_cast<const char*>(buffer.getBuffer()), buffer.getBufferSize());
    }
    virtual QHostAddress peerAddress() const = 0;
    virtual quint16 peerPort() const = 0;
    virtual bool isConnected() const = 0;
    // Closes the connection after the messages already sent have been written.
    virtual void close() = 0;

signals:
    void connected();
    void disconnected();
    // One received message; `data` is valid only during the emission (see
    // KavexTcpSocket::QueuedConnNotAllowed): connect directly and copy what
    // must be kept.
    void incomingBuffer(const char* data, int size, KavexTcpSocket::QueuedConnNotAllowed);
};
