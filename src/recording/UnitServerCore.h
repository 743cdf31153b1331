#pragma once

#include "UnitProtocol.h"
#include "UnitServer.h"

#include <QHash>
#include <QObject>
#include <QTcpServer>

class UnitServerConnection;

// The network side of a unit server, on its network thread: accepts
// connections (up to the limit), checks access tokens and slows down
// addresses that keep presenting wrong ones, passes requests to the worker
// pool and routes each answer to its connection if that is still there.
class UnitServerCore : public QObject
{
    Q_OBJECT
public:
    // Wrong tokens an address may present per window before its checks are delayed.
    static constexpr int FREE_FAILURES = 3;
    static constexpr qint64 FAILURE_WINDOW_MS = 60000;

    UnitServerCore(const UnitServer::Options& options, Clock& clock);
    ~UnitServerCore() override;

    void setPool(UnitStorePool* pool) { m_pool = pool; }
    bool listen(quint16* port, QString* error);
    void checkHello(UnitServerConnection* connection, const QByteArray& token);
    void submit(quint64 connection, const UnitProtocol::Message& request);
    // A worker's answer; dropped when the connection has gone meanwhile.
    void deliver(quint64 connection, const QByteArray& framed);

private:
    struct Failures {
        int count = 0;
        qint64 sinceMs = 0;
    };
    void onNewConnection();
    void verify(quint64 connection, const QByteArray& token);

    const UnitServer::Options m_options;
    Clock& m_clock;
    UnitStorePool* m_pool = nullptr;
    QTcpServer m_server;
    quint64 m_nextId = 0;
    QHash<quint64, UnitServerConnection*> m_connections;
    QHash<QString, Failures> m_failures;
};
