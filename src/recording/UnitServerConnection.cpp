#include "UnitServerConnection.h"
#include "LogCategories.h"

#include "KavexTcpSocket.h"
#include "UnitServerCore.h"

#include <QDebug>
#include <QTcpSocket>

UnitServerConnection::UnitServerConnection(quint64 id, QTcpSocket* socket, UnitServerCore* core, int helloTimeoutMs)
    : m_id(id)
    , m_socket(socket)
    , m_core(core)
{
    m_socket->setParent(this);
    m_peer = m_socket->peerAddress().toString();
    // Holds one whole message at most; the kernel holds the rest back.
    m_socket->setReadBufferSize(KavexTcpSocket::HEADER_SIZE + KavexTcpSocket::MAX_MESSAGE_SIZE);
    connect(m_socket, &QTcpSocket::readyRead, this, &UnitServerConnection::process);
    connect(m_socket, &QTcpSocket::disconnected, this, &UnitServerConnection::finish);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &UnitServerConnection::process);
    m_helloTimer.setSingleShot(true);
    connect(&m_helloTimer, &QTimer::timeout, this, [this, helloTimeoutMs] {
        if (m_state == STATE_HELLO)
            reject(QStringLiteral("UnitServer: No access token from %1 within %2 ms; closing the connection")
                       .arg(m_peer)
                       .arg(helloTimeoutMs),
                   QStringLiteral("no access token in time"));
    });
    m_helloTimer.start(helloTimeoutMs);
}

UnitServerConnection::~UnitServerConnection() = default;

void UnitServerConnection::accept()
{
    if (m_state != STATE_CHECKING)
        return;
    m_state = STATE_READY;
    UnitProtocol::Message welcome;
    welcome.type = UnitProtocol::TYPE_WELCOME;
    send(UnitProtocol::frame(UnitProtocol::encode(welcome)));
    process();
}

void UnitServerConnection::reject(const QString& logText, const QString& answerText)
{
    if (m_state == STATE_CLOSED)
        return;
    qCWarning(lcKavexRecording).noquote() << logText;
    UnitProtocol::Message error;
    error.type = UnitProtocol::TYPE_ERROR;
    error.text = answerText;
    m_state = STATE_CLOSED;
    m_helloTimer.stop();
    m_socket->write(UnitProtocol::frame(UnitProtocol::encode(error)));
    // Closes once the error answer has gone out; a client that does not take it loses it.
    m_socket->disconnectFromHost();
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        finish();
    else
        QTimer::singleShot(2000, this, [this] {
            m_socket->abort();
            finish();
        });
}

void UnitServerConnection::deliver(const QByteArray& framed)
{
    --m_inFlight;
    send(framed);
    process();
}

void UnitServerConnection::send(const QByteArray& framed)
{
    if (m_state == STATE_CLOSED)
        return;
    if (m_socket->bytesToWrite() + framed.size() > MAX_UNSENT_BYTES) {
        qCWarning(lcKavexRecording).noquote()
            << "UnitServer: " + m_peer + " does not read its answers; closing the connection";
        m_state = STATE_CLOSED;
        m_socket->abort();
        finish();
        return;
    }
    m_socket->write(framed);
}

void UnitServerConnection::process()
{
    QByteArray bytes;
    while (m_state == STATE_HELLO || (m_state == STATE_READY && m_inFlight < MAX_IN_FLIGHT)) {
        // Answers pile up for a client that sends requests without reading: take no more until they are out.
        if (m_socket->bytesToWrite() > MAX_UNSENT_BYTES / 2)
            return;
        const UnitProtocol::TakeResult taken = UnitProtocol::takeFrame(m_socket, &bytes);
        if (taken == UnitProtocol::TAKE_NONE)
            return;
        if (taken == UnitProtocol::TAKE_OVERSIZE) {
            reject(QStringLiteral("UnitServer: A message from %1 exceeds %2 bytes; closing the connection")
                       .arg(m_peer)
                       .arg(KavexTcpSocket::MAX_MESSAGE_SIZE),
                   QStringLiteral("message too large"));
            return;
        }
        UnitProtocol::Message message;
        QString error;
        if (!UnitProtocol::decode(bytes, &message, &error)) {
            reject(QStringLiteral("UnitServer: Bad message from %1 (%2); closing the connection").arg(m_peer, error),
                   error);
            return;
        }
        if (m_state == STATE_HELLO) {
            if (message.type != UnitProtocol::TYPE_HELLO) {
                reject(QStringLiteral("UnitServer: %1 sent a request before its access token; closing the connection")
                           .arg(m_peer),
                       QStringLiteral("the first message must be hello"));
                return;
            }
            m_helloTimer.stop();
            m_state = STATE_CHECKING;
            m_core->checkHello(this, message.token);
            continue;
        }
        const bool request = message.type == UnitProtocol::TYPE_STREAM_INFO ||
                             message.type == UnitProtocol::TYPE_UNIT || message.type == UnitProtocol::TYPE_LIST;
        if (!request) {
            reject(QStringLiteral("UnitServer: %1 sent a message that is not a request; closing the connection")
                       .arg(m_peer),
                   QStringLiteral("not a request"));
            return;
        }
        ++m_inFlight;
        m_core->submit(m_id, message);
    }
}

void UnitServerConnection::finish()
{
    m_state = STATE_CLOSED;
    m_helloTimer.stop();
    if (!m_finished) {
        m_finished = true;
        emit finished(m_id);
    }
}
