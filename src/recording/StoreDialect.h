#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// Everything about the recording store that is specific to its SQL engine,
// kept in one place so that every other statement is plain SQL that SQLite and
// PostgreSQL both run. This is the embedded SQLite engine: a file per store,
// write-ahead log (readers never wait for the writer, and a writer killed
// mid-transaction leaves the last committed state), a busy timeout for two
// writers on one file, and the schema version in PRAGMA user_version.
// Stateless; safe on any thread.
class StoreDialect
{
public:
    static QString driverName() { return QStringLiteral("QSQLITE"); }
    // Milliseconds a connection waits for another writer's lock.
    static int busyTimeoutMs() { return 5000; }
    // Options given to the driver before the connection opens.
    static QString connectOptions();
    // Statements run once on every new connection.
    static QStringList sessionSetup();
    // Column type of the unit payload: BLOB here, BYTEA on PostgreSQL.
    static QString binaryType() { return QStringLiteral("BLOB"); }
    // Definition of an automatically numbered key column.
    static QString autoKey() { return QStringLiteral("INTEGER PRIMARY KEY"); }
    // The schema version of the open store; -1 when it cannot be read (not a
    // database); 0 for a new, empty one.
    static int readVersion(QSqlDatabase& db, QString* error);
    static bool writeVersion(QSqlDatabase& db, int version, QString* error);
    // Starts a transaction that will write, taking the write lock at once
    // (waiting out another writer) rather than at its first write, where a
    // reader turned writer would fail at once instead of waiting.
    static QString beginWrite() { return QStringLiteral("BEGIN IMMEDIATE"); }
    // True for an error that says another connection holds the lock.
    static bool isBusy(const QString& errorText);
};
