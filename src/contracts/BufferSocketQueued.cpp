#include "BufferSocketQueued.h"
#include "LogCategories.h"

#include <QDebug>
#include <QMetaObject>
#include <QTcpSocket>
#include <QThread>
#include <QtEndian>
#include <condition_variable>

namespace {

// Runs `f` on the thread of `context` and waits until it has run. Unlike a
// blocking queued call, the hand-back goes through a standard mutex, so a
// thread checker sees that what `f` did happens before the caller goes on.
template <typename F>
void runAndWait(QObject* context, F f)
{
    KavexMutex lock;
    std::condition_variable_any done;
    bool finished = false;
    kavexHandOff(context);
    QMetaObject::invokeMethod(
        context,
        [&lock, &done, &finished, context, f] {
            kavexTakeOver(context);
            f();
            KavexLocker<KavexMutex> locker(&lock);
            finished = true;
            done.notify_all();
        },
        Qt::QueuedConnection);
    KavexLocker<KavexMutex> locker(&lock);
    done.wait(locker, [&finished] { return finished; });
}

}  // namespace

BufferSocketQueued::BufferSocketQueued(bool ownThread, QObject* parent) : BufferSocketBase(parent)
{
    if (ownThread) {
        m_thread = new QThread;
        m_thread->setObjectName("BufferSocketQueued");
        m_thread->start();
    }
    attach(new QTcpSocket);
}

BufferSocketQueued::~BufferSocketQueued()
{
    disposeSocket();
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
        delete m_thread;
    }
}

template <typename F>
void BufferSocketQueued::runOnSocketThread(F&& f)
{
    if (QThread::currentThread() == m_socket->thread()) {
        f();
        return;
    }
    kavexHandOff(this);
    QMetaObject::invokeMethod(
        m_socket,
        [this, f = std::forward<F>(f)]() mutable {
            kavexTakeOver(this);
            f();
        },
        Qt::QueuedConnection);
}

void BufferSocketQueued::attach(QTcpSocket* socket)
{
    m_socket = socket;
    m_connected.storeRelease(socket->state() == QAbstractSocket::ConnectedState);
    resetReceiver();
    if (m_thread) {
        socket->setParent(nullptr);
        socket->moveToThread(m_thread);
    }
    // The socket is the context: the handlers run on the socket's thread.
    connect(socket, &QTcpSocket::connected, socket, [this] { onConnected(); });
    connect(socket, &QTcpSocket::disconnected, socket, [this] { onDisconnected(); });
    connect(socket, &QTcpSocket::readyRead, socket, [this] { onReadyRead(); });
    connect(socket, &QTcpSocket::errorOccurred, socket, [this](QAbstractSocket::SocketError e) { onError(e); });
}

// The socket goes by deleteLater on its own thread: this may run inside one
// of the socket's signals, after which the socket still touches itself. The
// member is cleared on that thread too, where the socket's handlers read it.
void BufferSocketQueued::disposeSocket()
{
    QTcpSocket* socket = m_socket;
    if (!socket)
        return;
    auto dispose = [this, socket] {
        m_socket = nullptr;
        m_connected.storeRelease(0);
        QObject::disconnect(socket, nullptr, nullptr, nullptr);
        socket->abort();
        socket->deleteLater();
    };
    if (QThread::currentThread() == socket->thread())
        dispose();
    else
        runAndWait(socket, dispose);
}

bool BufferSocketQueued::adoptSocket(QTcpSocket* socket)
{
    if (!socket)
        return false;
    if (socket->state() != QAbstractSocket::ConnectedState) {
        qCWarning(lcKavexContracts) << "BufferSocketQueued::adoptSocket: Socket is not connected";
        socket->deleteLater();
        return false;
    }
    disposeSocket();
    socket->setParent(nullptr);
    setPeer(socket->peerAddress(), socket->peerPort());
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    attach(socket);
    // Bytes that arrived before the hand-over raise no new readyRead.
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            socket, [this] { onReadyRead(); }, Qt::QueuedConnection);
    return true;
}

void BufferSocketQueued::connectToHost(const QHostAddress& host, quint16 port)
{
    runOnSocketThread([this, host, port] {
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->abort();
        resetReceiver();
        m_socket->connectToHost(host, port);
    });
}

bool BufferSocketQueued::sendBuffer(const char* data, int size)
{
    if (size < 0 || size > KavexTcpSocket::MAX_MESSAGE_SIZE || (!data && size > 0)) {
        qCWarning(lcKavexContracts, "BufferSocketQueued::sendBuffer: Refusing a message of %d bytes", size);
        return false;
    }
    if (QThread::currentThread() == m_socket->thread())
        return writeMessage(data, size);
    // The copy belongs to the queued call alone, freed wherever Qt drops it.
    runOnSocketThread([this, copy = QByteArray(data, size)] { writeMessage(copy.constData(), copy.size()); });
    return true;
}

bool BufferSocketQueued::writeMessage(const char* data, int size)
{
    const QAbstractSocket::SocketState state = m_socket->state();
    if (state == QAbstractSocket::UnconnectedState || state == QAbstractSocket::ClosingState)
        return false;
    char header[KavexTcpSocket::HEADER_SIZE];
    qToBigEndian<quint32>(quint32(size), header);
    if (m_socket->write(header, sizeof header) != qint64(sizeof header))
        return false;
    return size == 0 || m_socket->write(data, size) == size;
}

QHostAddress BufferSocketQueued::peerAddress() const
{
    KavexLocker lock(&m_peerLock);
    return m_peerAddress;
}

quint16 BufferSocketQueued::peerPort() const
{
    KavexLocker lock(&m_peerLock);
    return m_peerPort;
}

void BufferSocketQueued::setPeer(const QHostAddress& address, quint16 port)
{
    KavexLocker lock(&m_peerLock);
    m_peerAddress = address;
    m_peerPort = port;
}

void BufferSocketQueued::close()
{
    runOnSocketThread([this] {
        m_socket->disconnectFromHost();
        resetReceiver();
    });
}

void BufferSocketQueued::onConnected()
{
    // Messages are small and latency-bound (live audio): no Nagle delay.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    setPeer(m_socket->peerAddress(), m_socket->peerPort());
    m_connected.storeRelease(1);
    emit connected();
}

void BufferSocketQueued::onDisconnected()
{
    m_connected.storeRelease(0);
    resetReceiver();
    emit disconnected();
}

void BufferSocketQueued::onError(QAbstractSocket::SocketError error)
{
    if (error == QAbstractSocket::RemoteHostClosedError)
        qCDebug(lcKavexContracts) << "BufferSocketQueued::onError: Peer closed the connection";
    else
        qCWarning(lcKavexContracts) << "BufferSocketQueued::onError: Socket error:" << m_socket->errorString();
}

void BufferSocketQueued::resetReceiver()
{
    m_framer.reset();
}

void BufferSocketQueued::onReadyRead()
{
    while (m_socket && m_socket->state() == QAbstractSocket::ConnectedState) {
        switch (m_framer.read(*m_socket)) {
        case MessageFramer::RESULT_NEED_MORE:
            return;
        case MessageFramer::RESULT_OVERSIZE:
            qCWarning(lcKavexContracts,
                      "BufferSocketQueued::onReadyRead: Message of %u bytes exceeds the limit of %d bytes, "
                      "closing the connection",
                      m_framer.announcedSize(), KavexTcpSocket::MAX_MESSAGE_SIZE);
            resetReceiver();
            m_socket->abort();
            return;
        case MessageFramer::RESULT_MESSAGE:
            // The framer waits for the next header already: the slots may
            // close or reconnect the socket.
            emit incomingBuffer(m_framer.message(), m_framer.messageSize(), KavexTcpSocket::QueuedConnNotAllowed());
            break;
        }
    }
}
