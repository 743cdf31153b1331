#pragma once

#include "StoreLocation.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>

// Everything about the recording store that is specific to its SQL engine,
// kept in one place so that every other statement is plain SQL that both
// engines run:
// - SQLite: a file per store, write-ahead log (readers never wait for the
//   writer, and a writer killed mid-transaction leaves the last committed
//   state), a busy timeout for two writers on one file, the schema version in
//   PRAGMA user_version;
// - PostgreSQL: a database on a server, writers serialised by a transaction
//   advisory lock (waited for up to a lock timeout), the schema version in a
//   one-row table.
// A small value chosen by the location's kind; safe on any thread.
class StoreDialect
{
public:
    explicit StoreDialect(StoreLocation::Kind kind) : m_kind(kind) {}

    // Milliseconds a connection waits for another writer's lock.
    static int busyTimeoutMs() { return 5000; }
    // Points `db` (made with this dialect's driver) at the store: file or
    // server, user and password, and the driver's options.
    void configure(QSqlDatabase& db, const StoreLocation& location) const;
    QString driverName() const;
    // Statements run once on every new connection.
    QStringList sessionSetup() const;
    // Column type of the unit payload.
    QString binaryType() const;
    // Definition of an automatically numbered key column.
    QString autoKey() const;
    // The schema version of the open store; -1 when it cannot be read (not a
    // database); 0 for a new, empty one.
    int readVersion(QSqlDatabase& db, QString* error) const;
    bool writeVersion(QSqlDatabase& db, int version, QString* error) const;
    // Starts a transaction that will write, taking the write lock at once
    // (waiting out another writer) rather than at its first write, where a
    // reader turned writer would fail at once instead of waiting.
    QStringList beginWrite() const;
    // True for an error that says another connection holds the lock, or that
    // the transaction collided with another one: worth another try.
    bool isBusy(const QSqlError& error) const;

private:
    StoreLocation::Kind m_kind;
};
