#include "PlaybackSession.h"
#include "LogCategories.h"
#include "ThreadEnd.h"

#include "AccessToken.h"
#include "SharedBufferPool.h"
#include "StreamInfoText.h"

#include <QDebug>
#include <QMetaObject>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <cstring>

namespace {
// A server that neither accepts nor refuses the connection by then counts as unreachable.
const int kConnectTimeoutMs = 5000;
}  // namespace

PlaybackSession::PlaybackSession(QObject* parent) : PlaybackSessionIf(parent), m_pool(new SharedBufferPool)
{
    NTPTimestamp::registerMetaType();
    qRegisterMetaType<SharedPoolBuffer>("SharedPoolBuffer");
}

PlaybackSession::~PlaybackSession()
{
    if (m_thread) {
        // The socket and its timer go on their own thread, before it ends.
        // Its signals are cut first: closing the socket here is the session
        // ending, not the server going away, and reports nothing.
        invokeAndWait(m_link, [this] {
            if (m_socket)
                m_socket->disconnect();
            delete m_link;
        });
        m_thread->quit();
        m_thread->wait();
        joinedThread(m_thread);
        delete m_thread;
    }
    m_pool->release();
}

QString PlaybackSession::prefix() const
{
    return m_streamDetail.isEmpty() ? QString() : m_streamDetail + QStringLiteral(": ");
}

bool PlaybackSession::init(const QString& host, const QString& streamName, const QString& streamDetail,
                           const QString& token, unsigned short port, bool)
{
    if (m_initCalled.exchange(true)) {
        qCWarning(lcKavexRecording).noquote() << prefix() + "PlaybackSession::init: Already initialised";
        return false;
    }
    m_host = host;
    m_port = port;
    m_streamName = streamName;
    m_streamDetail = streamDetail;
    QString error;
    const bool haveToken = AccessToken::fromArgument(token, &m_token, &error);
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("PlaybackSession"));
    m_link = new QObject;
    m_link->moveToThread(m_thread);
    markThreadEnd(m_thread);
    m_thread->start();
    kavexHandOff(this);
    QMetaObject::invokeMethod(
        m_link,
        [this, haveToken, error] {
            kavexTakeOver(this);
            if (haveToken)
                connectNow();
            else
                drop(QStringLiteral("no access token: ") + error, true);
        },
        Qt::QueuedConnection);
    m_initialised.store(true);
    return haveToken;
}

void PlaybackSession::requestStreamInfo()
{
    if (!m_initialised.load())
        return;
    UnitProtocol::Message request;
    request.type = UnitProtocol::TYPE_STREAM_INFO;
    request.stream = m_streamName;
    post(request);
}

bool PlaybackSession::requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type)
{
    if (!m_initialised.load())
        return false;
    UnitProtocol::Message request;
    request.type = UnitProtocol::TYPE_UNIT;
    request.id = tid;
    request.stream = m_streamName;
    request.ts = ts.getRaw();
    request.requestType = int(type);
    post(request);
    return true;
}

void PlaybackSession::post(const UnitProtocol::Message& request)
{
    kavexHandOff(this);
    QMetaObject::invokeMethod(
        m_link,
        [this, request] {
            kavexTakeOver(this);
            submit(request);
        },
        Qt::QueuedConnection);
}

void PlaybackSession::submit(const UnitProtocol::Message& request)
{
    const bool unit = request.type == UnitProtocol::TYPE_UNIT;
    switch (m_state) {
    case LINK_REFUSED:
        if (unit)
            answerMissing(request.id, request.ts);
        return;
    case LINK_READY:
        if (unit)
            m_outstanding.insert(request.id, request.ts);
        send(request);
        return;
    case LINK_DOWN:
        connectNow();
        break;
    case LINK_CONNECTING:
        break;
    }
    // Stream information is asked for again once the connection is back.
    if (unit)
        m_waiting.append(request);
}

void PlaybackSession::connectNow()
{
    m_state = LINK_CONNECTING;
    m_socket = new QTcpSocket(m_link);
    m_connectTimer = new QTimer(m_socket);
    m_connectTimer->setSingleShot(true);
    QObject::connect(m_connectTimer, &QTimer::timeout, m_socket,
                     [this] { drop(QStringLiteral("no answer within %1 ms").arg(kConnectTimeoutMs), false); });
    QObject::connect(m_socket, &QTcpSocket::connected, m_socket, [this] {
        UnitProtocol::Message hello;
        hello.type = UnitProtocol::TYPE_HELLO;
        hello.token = m_token;
        send(hello);
    });
    QObject::connect(m_socket, &QTcpSocket::readyRead, m_socket, [this] { onReadable(); });
    QObject::connect(m_socket, &QTcpSocket::disconnected, m_socket,
                     [this] { drop(QStringLiteral("the server closed the connection"), false); });
    QObject::connect(m_socket, &QTcpSocket::errorOccurred, m_socket,
                     [this](QAbstractSocket::SocketError) { drop(m_socket->errorString(), false); });
    m_connectTimer->start(kConnectTimeoutMs);
    m_socket->connectToHost(m_host, m_port);
}

void PlaybackSession::send(const UnitProtocol::Message& message)
{
    m_socket->write(UnitProtocol::frame(UnitProtocol::encode(message)));
}

void PlaybackSession::onReadable()
{
    QByteArray bytes;
    while (m_socket) {
        const UnitProtocol::TakeResult taken = UnitProtocol::takeFrame(m_socket, &bytes);
        if (taken == UnitProtocol::TAKE_NONE)
            return;
        UnitProtocol::Message message;
        QString error;
        if (taken == UnitProtocol::TAKE_OVERSIZE)
            error = QStringLiteral("an answer exceeds the size limit");
        else if (!UnitProtocol::decode(bytes, &message, &error))
            error = QStringLiteral("a bad answer: ") + error;
        if (!error.isEmpty()) {
            drop(error, false);
            return;
        }
        handle(message);
    }
}

void PlaybackSession::handle(const UnitProtocol::Message& message)
{
    switch (message.type) {
    case UnitProtocol::TYPE_WELCOME: {
        m_state = LINK_READY;
        m_connectTimer->stop();
        m_announcedReady = m_announcedOnce = true;
        emit playbackSessionState(true);
        const QVector<UnitProtocol::Message> waiting = std::move(m_waiting);
        m_waiting.clear();
        for (const UnitProtocol::Message& request : waiting)
            submit(request);
        return;
    }
    case UnitProtocol::TYPE_STREAM_INFO:
        emit onStreamInfo(streamInfoText(NTPRange(NTPTimestamp(message.begin), NTPTimestamp(message.end))));
        return;
    case UnitProtocol::TYPE_UNIT: {
        if (!m_outstanding.remove(message.id))
            return;
        SharedPoolBuffer data = m_pool->getBuffer();
        const int size = message.data.size();
        std::memcpy(data.getVariableBuffer()->getBuffer(size), message.data.constData(), size_t(size));
        emit onUnit(message.id, message.sdp, NTPTimestamp(message.begin), NTPTimestamp(message.end), data);
        return;
    }
    case UnitProtocol::TYPE_ERROR:
        if (message.id == 0) {
            // About the connection: the server closes it after this.
            const bool refused = m_state == LINK_CONNECTING;
            drop(QStringLiteral("the server says: ") + message.text, refused);
        } else if (m_outstanding.contains(message.id)) {
            qCDebug(lcKavexRecording).noquote()
                << prefix() + "PlaybackSession: The server cannot answer request" << message.id << ":" << message.text;
            answerMissing(message.id, m_outstanding.take(message.id));
        }
        return;
    default:
        return;
    }
}

void PlaybackSession::answerMissing(quint64 tid, quint64 ts)
{
    emit onUnit(tid, QString(), NTPTimestamp(ts), NTPTimestamp(ts), SharedPoolBuffer());
}

void PlaybackSession::drop(const QString& reason, bool refused)
{
    if (m_socket) {
        QTcpSocket* socket = m_socket;
        m_socket = nullptr;
        m_connectTimer = nullptr;
        QObject::disconnect(socket, nullptr, nullptr, nullptr);
        socket->abort();
        socket->deleteLater();
    }
    m_state = refused ? LINK_REFUSED : LINK_DOWN;
    const QString server = QStringLiteral("%1:%2").arg(m_host).arg(m_port);
    if (m_announcedReady || !m_announcedOnce) {
        qCWarning(lcKavexRecording).noquote() << prefix() + "PlaybackSession: Unit server " + server + ": " + reason;
        m_announcedReady = false;
        m_announcedOnce = true;
        emit playbackSessionState(false);
    } else {
        qCDebug(lcKavexRecording).noquote()
            << prefix() + "PlaybackSession: Unit server " + server + " still unavailable: " + reason;
    }
    // After the failure report: nothing outstanding stays unanswered, or the channel would wait for it forever.
    for (auto it = m_outstanding.cbegin(); it != m_outstanding.cend(); ++it)
        answerMissing(it.key(), it.value());
    m_outstanding.clear();
    for (const UnitProtocol::Message& request : qAsConst(m_waiting))
        answerMissing(request.id, request.ts);
    m_waiting.clear();
}
