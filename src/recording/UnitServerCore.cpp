#include "UnitServerCore.h"
#include "LogCategories.h"

#include "AccessToken.h"
#include "Clock.h"
#include "UnitServerConnection.h"
#include "UnitStorePool.h"

#include <QDebug>
#include <QTcpSocket>
#include <QTimer>

UnitServerCore::UnitServerCore(const UnitServer::Options& options, Clock& clock)
    : m_options(options)
    , m_clock(clock)
    , m_server(this)
{
    connect(&m_server, &QTcpServer::newConnection, this, &UnitServerCore::onNewConnection);
}

UnitServerCore::~UnitServerCore()
{
    m_server.close();
    qDeleteAll(m_connections);
}

bool UnitServerCore::listen(quint16* port, QString* error)
{
    const QHostAddress address =
        m_options.listen.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(m_options.listen);
    if (address.isNull()) {
        *error = QStringLiteral("'%1' is not an address").arg(m_options.listen);
        return false;
    }
    if (!m_server.listen(address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(address.toString())
                     .arg(m_options.port)
                     .arg(m_server.errorString());
        return false;
    }
    *port = m_server.serverPort();
    return true;
}

void UnitServerCore::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        if (m_connections.size() >= m_options.maxClients) {
            qCWarning(lcKavexRecording).noquote()
                << QStringLiteral("UnitServer: %1 clients connected already; refusing %2")
                       .arg(m_connections.size())
                       .arg(socket->peerAddress().toString());
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const quint64 id = ++m_nextId;
        auto* connection = new UnitServerConnection(id, socket, this, m_options.helloTimeoutMs);
        m_connections.insert(id, connection);
        connect(connection, &UnitServerConnection::finished, this, [this](quint64 gone) {
            if (UnitServerConnection* c = m_connections.take(gone))
                c->deleteLater();
        });
    }
}

void UnitServerCore::checkHello(UnitServerConnection* connection, const QByteArray& token)
{
    // Old entries go once the table grows, so that many addresses cannot fill memory.
    const qint64 now = m_clock.monotonicMs();
    if (m_failures.size() > 1024)
        for (auto it = m_failures.begin(); it != m_failures.end();)
            it = now - it->sinceMs > FAILURE_WINDOW_MS ? m_failures.erase(it) : std::next(it);
    const Failures f = m_failures.value(connection->peer());
    const int excess = now - f.sinceMs <= FAILURE_WINDOW_MS ? f.count - FREE_FAILURES : -1;
    if (excess < 0) {
        verify(connection->id(), token);
        return;
    }
    // An address that keeps guessing waits longer for each answer; others are not held up.
    const int delayMs = int(std::min<qint64>(qint64(250) << std::min(excess, 5), 8000));
    const quint64 id = connection->id();
    QTimer::singleShot(delayMs, this, [this, id, token] { verify(id, token); });
}

void UnitServerCore::verify(quint64 id, const QByteArray& token)
{
    UnitServerConnection* connection = m_connections.value(id);
    if (!connection)
        return;
    if (AccessToken::equal(token, m_options.token)) {
        connection->accept();
        return;
    }
    const qint64 now = m_clock.monotonicMs();
    Failures& f = m_failures[connection->peer()];
    if (now - f.sinceMs > FAILURE_WINDOW_MS)
        f = Failures{0, now};
    ++f.count;
    connection->reject(
        QStringLiteral("UnitServer: Wrong access token from %1; closing the connection").arg(connection->peer()),
        QStringLiteral("wrong access token"));
}

void UnitServerCore::submit(quint64 connection, const UnitProtocol::Message& request)
{
    m_pool->submit(connection, request);
}

void UnitServerCore::deliver(quint64 connection, const QByteArray& framed)
{
    if (UnitServerConnection* c = m_connections.value(connection))
        c->deliver(framed);
}
