#pragma once

#include <QString>

// Where a recording store lives, parsed from the location a caller names:
// - a file path: an SQLite store file ("" means recordings.db in the library's
//   data directory);
// - postgresql://USER@HOST[:PORT]/DATABASE: a database on a PostgreSQL server
//   that must already exist. A password never appears in the location: it
//   comes from the settings key RecordingStore/Password or from libpq's own
//   password file (PGPASSFILE, ~/.pgpass).
// A small value; used on any thread.
class StoreLocation
{
public:
    enum Kind {
        KIND_INVALID,  // errorText() says why
        KIND_SQLITE,
        KIND_POSTGRESQL
    };
    static constexpr int DEFAULT_POSTGRESQL_PORT = 5432;

    static QString defaultFileName() { return QStringLiteral("recordings.db"); }
    static StoreLocation parse(const QString& location);
    // The canonical text of `location`: a file path made absolute and clean,
    // a server location as named. Parsing it again gives the same store.
    static QString resolve(const QString& location);

    Kind kind() const { return m_kind; }
    QString errorText() const { return m_error; }
    // The store file (KIND_SQLITE).
    QString filePath() const { return m_filePath; }
    // The server and database (KIND_POSTGRESQL).
    QString host() const { return m_host; }
    int port() const { return m_port; }
    QString user() const { return m_user; }
    QString database() const { return m_database; }
    // The store as named in messages: its file path or its URL.
    QString toString() const { return m_text; }

private:
    Kind m_kind = KIND_INVALID;
    QString m_text;
    QString m_error;
    QString m_filePath;
    QString m_host;
    int m_port = DEFAULT_POSTGRESQL_PORT;
    QString m_user;
    QString m_database;
};
