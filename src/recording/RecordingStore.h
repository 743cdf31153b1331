#pragma once

#include "NTPRange.h"
#include "PlaybackSessionIf.h"
#include "RecordedUnit.h"
#include "StoreDialect.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVector>

#include <memory>

class Clock;

// A recording store: one SQL database of recorded streams (name, detail, SDP)
// and their units (stream, NTP begin and end, SDP, payload, encrypted flag).
// Units are indexed by stream and begin, so that the unit at, before or after
// a time is one indexed query.
//
// NTP time stamps are unsigned 64-bit values; SQL has only signed BIGINT. They
// are stored with the top bit flipped (raw - 2^63), which maps the unsigned
// order onto the signed order, so comparisons and ORDER BY in SQL follow time.
//
// The store is an SQLite file or a PostgreSQL database (see StoreLocation);
// the schema and statements are the same on both, StoreDialect holds the rest.
//
// One object is one connection and must be used on the thread that opened it
// (a QtSql rule); several objects, in one process or several, may share a
// store: writers wait for each other and retry while it is busy.
class RecordingStore
{
public:
    enum OpenMode {
        OPEN_EXISTING,  // playback: the store must exist
        OPEN_OR_CREATE  // recording: made (with its folder) when missing
    };
    // Version 1: streams and units; version 2 adds the encrypted flag and the
    // (stream, begin) index.
    static constexpr int SCHEMA_VERSION = 2;

    explicit RecordingStore(Clock& clock);
    ~RecordingStore();
    RecordingStore(const RecordingStore&) = delete;
    RecordingStore& operator=(const RecordingStore&) = delete;

    // Opens (and creates or migrates) the store at `location` (a file path or
    // a postgresql:// URL). False when it cannot be used; errorText() then
    // says why, for the caller's one log line. A PostgreSQL database must
    // exist; OPEN_OR_CREATE creates the schema in it.
    bool open(const QString& location, OpenMode mode);
    bool isOpen() const { return m_open; }
    QString errorText() const { return m_error; }
    int schemaVersion();

    // The stream's id; 0 when there is no stream of that name, -1 on error.
    qint64 findStream(const QString& name);
    // Finds the stream or adds it; -1 on error.
    qint64 addStream(const QString& name, const QString& detail, const QString& sdp);
    // Writes all units in one transaction, retrying while another writer
    // holds the store. False (with a warning) when they could not be written.
    bool writeUnits(const QVector<RecordedUnit>& units);

    // RequestCurrent: the unit with the latest begin <= t, if it ends after t;
    // RequestPrevious: the latest unit beginning before t; RequestNext: the
    // earliest unit beginning after t. False when there is none.
    bool findUnit(qint64 streamId, const NTPTimestamp& t, PlaybackSessionIf::UnitRequestType type, RecordedUnit* unit);
    // From the first unit's begin to the last unit's end; null when the
    // stream has no unit.
    NTPRange streamSpan(qint64 streamId);
    qint64 unitCount(qint64 streamId);
    // Whether any unit of the stream carries an encryption layer.
    bool hasEncryptedUnits(qint64 streamId);

    struct StreamRow {
        qint64 id;
        QString name;
        QString detail;
        QString sdp;
    };
    // Every stream, by name; false (errorText() says why) when the store cannot be read.
    bool listStreams(QVector<StreamRow>* rows);

    static qint64 toStored(const NTPTimestamp& t) { return qint64(t.getRaw() ^ (quint64(1) << 63)); }
    static NTPTimestamp fromStored(qint64 v) { return NTPTimestamp(quint64(v) ^ (quint64(1) << 63)); }

private:
    bool fail(const QString& text);
    bool checkPath(const QString& path, OpenMode mode);
    bool migrate();
    bool applyMigration(int toVersion);
    bool exec(const QString& statement);
    bool beginWrite();
    bool tryWrite(const QVector<RecordedUnit>& units, QSqlError* error);
    void close();

    Clock& m_clock;
    QString m_connectionName;
    QString m_path;  // the store as named in messages
    QString m_error;
    QSqlError m_sqlError;  // of the last statement exec() saw fail
    StoreDialect m_dialect{StoreLocation::KIND_SQLITE};
    bool m_open = false;
    QSqlDatabase m_db;
    // Prepared once per connection: lookups are the hot path of playback.
    std::unique_ptr<QSqlQuery> m_queries[3];
};
