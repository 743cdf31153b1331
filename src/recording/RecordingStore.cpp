#include "RecordingStore.h"
#include "LogCategories.h"

#include "Clock.h"
#include "StoreLocation.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QVariant>

#include <atomic>

namespace {
// A busy store is retried this often, each try waiting up to the driver's
// busy timeout, with a short pause in between.
const int kWriteAttempts = 5;
const quint32 kRetryPauseMs = 50;

std::atomic<quint64> s_connectionCounter{0};

const char* const kUnitQueries[3] = {
    // RequestCurrent: checked against the unit's end afterwards.
    "SELECT ntp_begin, ntp_end, sdp, payload, encrypted FROM units "
    "WHERE stream_id = ? AND ntp_begin <= ? ORDER BY ntp_begin DESC LIMIT 1",
    // RequestPrevious
    "SELECT ntp_begin, ntp_end, sdp, payload, encrypted FROM units "
    "WHERE stream_id = ? AND ntp_begin < ? ORDER BY ntp_begin DESC LIMIT 1",
    // RequestNext
    "SELECT ntp_begin, ntp_end, sdp, payload, encrypted FROM units "
    "WHERE stream_id = ? AND ntp_begin > ? ORDER BY ntp_begin ASC LIMIT 1",
};
}  // namespace

RecordingStore::RecordingStore(Clock& clock)
    : m_clock(clock)
    , m_connectionName(QStringLiteral("kavex-recording-store-%1").arg(++s_connectionCounter))
{
}

RecordingStore::~RecordingStore()
{
    close();
}

void RecordingStore::close()
{
    for (auto& q : m_queries)
        q.reset();
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
    m_open = false;
}

bool RecordingStore::fail(const QString& text)
{
    m_error = text;
    close();
    return false;
}

bool RecordingStore::checkPath(const QString& path, OpenMode mode)
{
    const QFileInfo info(path);
    if (info.isDir())
        return fail(QStringLiteral("%1 is a directory, not a recording store").arg(path));
    if (!info.exists()) {
        if (mode == OPEN_EXISTING)
            return fail(QStringLiteral("No recording store at %1").arg(path));
        if (!QDir().mkpath(info.absolutePath()) || !QFileInfo(info.absolutePath()).isWritable())
            return fail(QStringLiteral("Cannot create %1: its folder is not writable").arg(path));
    } else if (mode == OPEN_OR_CREATE && !info.isWritable()) {
        return fail(QStringLiteral("%1 is not writable").arg(path));
    }
    return true;
}

bool RecordingStore::open(const QString& location, OpenMode mode)
{
    close();
    const StoreLocation where = StoreLocation::parse(location);
    const QString path = where.toString();
    m_path = path;
    m_error.clear();
    if (where.kind() == StoreLocation::KIND_INVALID)
        return fail(where.errorText());
    m_dialect = StoreDialect(where.kind());
    if (where.kind() == StoreLocation::KIND_SQLITE && !checkPath(path, mode))
        return false;
    if (!QSqlDatabase::isDriverAvailable(m_dialect.driverName()))
        return fail(
            QStringLiteral("Cannot open %1: the Qt SQL driver %2 is not installed").arg(path, m_dialect.driverName()));
    m_db = QSqlDatabase::addDatabase(m_dialect.driverName(), m_connectionName);
    m_dialect.configure(m_db, where);
    if (!m_db.open())
        return fail(QStringLiteral("Cannot open %1: %2").arg(path, m_db.lastError().text()));
    for (const QString& statement : m_dialect.sessionSetup()) {
        QSqlQuery q(m_db);
        // Switching a new file to WAL meets another process doing the same.
        bool ok = q.exec(statement);
        for (int attempt = 1; !ok && attempt < kWriteAttempts && m_dialect.isBusy(q.lastError()); ++attempt) {
            m_clock.sleepMs(kRetryPauseMs);
            ok = q.exec(statement);
        }
        if (!ok)
            return fail(QStringLiteral("%1 is not a recording store: %2").arg(path, q.lastError().text()));
    }
    QString error;
    const int version = m_dialect.readVersion(m_db, &error);
    if (version < 0)
        return fail(QStringLiteral("%1 is not a recording store: %2").arg(path, error));
    if (version == 0 && mode == OPEN_EXISTING)
        return fail(QStringLiteral("%1 is not a recording store: it holds no recordings schema").arg(path));
    if (version > SCHEMA_VERSION)
        return fail(QStringLiteral("%1 has schema version %2; this library knows versions up to %3")
                        .arg(path)
                        .arg(version)
                        .arg(SCHEMA_VERSION));
    if (!migrate())
        return false;
    for (int i = 0; i < 3; ++i) {
        m_queries[i] = std::make_unique<QSqlQuery>(m_db);
        m_queries[i]->setForwardOnly(true);
        if (!m_queries[i]->prepare(QString::fromLatin1(kUnitQueries[i])))
            return fail(QStringLiteral("%1: %2").arg(path, m_queries[i]->lastError().text()));
    }
    m_open = true;
    return true;
}

int RecordingStore::schemaVersion()
{
    QString error;
    return m_db.isOpen() ? m_dialect.readVersion(m_db, &error) : -1;
}

bool RecordingStore::exec(const QString& statement)
{
    QSqlQuery q(m_db);
    if (q.exec(statement))
        return true;
    m_sqlError = q.lastError();
    m_error = m_sqlError.text();
    return false;
}

bool RecordingStore::beginWrite()
{
    const QStringList statements = m_dialect.beginWrite();
    for (int i = 0; i < statements.size(); ++i) {
        if (!exec(statements[i])) {
            // A transaction begun but not locked is ended; the error stays the lock's.
            if (i > 0)
                QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
            return false;
        }
    }
    return true;
}

// The schema is built by the same steps that upgrade an old store: a new
// store runs all of them, an old one the ones it lacks.
bool RecordingStore::applyMigration(int toVersion)
{
    const QString key = m_dialect.autoKey();
    switch (toVersion) {
    case 1:
        return exec(QStringLiteral("CREATE TABLE streams (id %1, name TEXT NOT NULL UNIQUE, "
                                   "detail TEXT NOT NULL, sdp TEXT NOT NULL)")
                        .arg(key)) &&
               exec(QStringLiteral("CREATE TABLE units (id %1, stream_id BIGINT NOT NULL REFERENCES streams(id), "
                                   "ntp_begin BIGINT NOT NULL, ntp_end BIGINT NOT NULL, sdp TEXT NOT NULL, "
                                   "payload %2 NOT NULL)")
                        .arg(key, m_dialect.binaryType())) &&
               exec(QStringLiteral("CREATE INDEX units_by_stream ON units (stream_id)"));
    case 2:
        // Stores of version 1 were never sealed.
        return exec(QStringLiteral("ALTER TABLE units ADD COLUMN encrypted SMALLINT NOT NULL DEFAULT 0")) &&
               exec(QStringLiteral("DROP INDEX units_by_stream")) &&
               exec(QStringLiteral("CREATE INDEX units_by_time ON units (stream_id, ntp_begin)"));
    default:
        return false;
    }
}

bool RecordingStore::migrate()
{
    for (int attempt = 1;; ++attempt) {
        QString error;
        int version = m_dialect.readVersion(m_db, &error);
        if (version == SCHEMA_VERSION)
            return true;
        // Another process may be creating or upgrading the same store: the
        // version is read again inside the transaction and a collision retried.
        bool ok = beginWrite();
        if (ok)
            version = m_dialect.readVersion(m_db, &error);
        for (int v = version + 1; ok && v <= SCHEMA_VERSION; ++v)
            ok = applyMigration(v);
        ok = ok && m_dialect.writeVersion(m_db, SCHEMA_VERSION, &error) && exec(QStringLiteral("COMMIT"));
        if (ok) {
            if (version > 0 && version < SCHEMA_VERSION)
                qCDebug(lcKavexRecording).noquote() << "RecordingStore::open: Upgraded" << m_path
                                                    << "from schema version" << version << "to" << SCHEMA_VERSION;
            return true;
        }
        const QString reason = m_error.isEmpty() ? error : m_error;
        exec(QStringLiteral("ROLLBACK"));
        m_error.clear();
        if (attempt >= kWriteAttempts)
            return fail(QStringLiteral("Cannot set up the schema of %1: %2").arg(m_path, reason));
        m_clock.sleepMs(kRetryPauseMs);
    }
}

qint64 RecordingStore::findStream(const QString& name)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT id FROM streams WHERE name = ?"));
    q.addBindValue(name);
    if (!q.exec()) {
        qCWarning(lcKavexRecording).noquote() << "RecordingStore::findStream:" << m_path << q.lastError().text();
        return -1;
    }
    return q.next() ? q.value(0).toLongLong() : 0;
}

qint64 RecordingStore::addStream(const QString& name, const QString& detail, const QString& sdp)
{
    for (int attempt = 1; attempt <= kWriteAttempts; ++attempt) {
        const qint64 id = findStream(name);
        if (id != 0)
            return id;
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("INSERT INTO streams (name, detail, sdp) VALUES (?, ?, ?)"));
        // Empty, not NULL: the columns are NOT NULL.
        q.addBindValue(name);
        q.addBindValue(detail.isNull() ? QStringLiteral("") : detail);
        q.addBindValue(sdp.isNull() ? QStringLiteral("") : sdp);
        if (q.exec())
            return findStream(name);  // read back: portable, unlike lastInsertId
        // Busy, or another writer added the same name first: look again.
        qCDebug(lcKavexRecording).noquote() << "RecordingStore::addStream: Retrying" << name << q.lastError().text();
        m_clock.sleepMs(kRetryPauseMs);
    }
    qCWarning(lcKavexRecording).noquote() << "RecordingStore::addStream: Cannot add stream" << name << "to" << m_path;
    return -1;
}

bool RecordingStore::tryWrite(const QVector<RecordedUnit>& units, QSqlError* error)
{
    if (!beginWrite()) {
        *error = m_sqlError;
        return false;
    }
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT INTO units (stream_id, ntp_begin, ntp_end, sdp, payload, encrypted) "
                             "VALUES (?, ?, ?, ?, ?, ?)"));
    for (const RecordedUnit& u : units) {
        q.bindValue(0, u.streamId);
        q.bindValue(1, toStored(u.begin));
        q.bindValue(2, toStored(u.end));
        // Empty, not NULL: the columns are NOT NULL.
        q.bindValue(3, u.sdp.isNull() ? QStringLiteral("") : u.sdp);
        q.bindValue(4, u.payload.isNull() ? QByteArray("") : u.payload);
        q.bindValue(5, u.encrypted ? 1 : 0);
        if (!q.exec()) {
            *error = q.lastError();
            q.finish();
            exec(QStringLiteral("ROLLBACK"));
            return false;
        }
    }
    q.finish();
    if (exec(QStringLiteral("COMMIT")))
        return true;
    *error = m_sqlError;
    exec(QStringLiteral("ROLLBACK"));
    return false;
}

bool RecordingStore::writeUnits(const QVector<RecordedUnit>& units)
{
    if (!m_open || units.isEmpty())
        return m_open;
    QSqlError error;
    for (int attempt = 1; attempt <= kWriteAttempts; ++attempt) {
        if (tryWrite(units, &error))
            return true;
        if (!m_dialect.isBusy(error))
            break;
        m_clock.sleepMs(kRetryPauseMs);
    }
    qCWarning(lcKavexRecording).noquote() << "RecordingStore::writeUnits: Lost" << units.size()
                                          << "units, cannot write to" << m_path << ":" << error.text();
    return false;
}

bool RecordingStore::findUnit(qint64 streamId, const NTPTimestamp& t, PlaybackSessionIf::UnitRequestType type,
                              RecordedUnit* unit)
{
    const int index = int(type);
    if (!m_open || index < 0 || index > 2)
        return false;
    QSqlQuery& q = *m_queries[index];
    q.bindValue(0, streamId);
    q.bindValue(1, toStored(t));
    if (!q.exec()) {
        qCWarning(lcKavexRecording).noquote() << "RecordingStore::findUnit:" << m_path << q.lastError().text();
        return false;
    }
    if (!q.next()) {
        q.finish();
        return false;
    }
    unit->streamId = streamId;
    unit->begin = fromStored(q.value(0).toLongLong());
    unit->end = fromStored(q.value(1).toLongLong());
    unit->sdp = q.value(2).toString();
    unit->payload = q.value(3).toByteArray();
    unit->encrypted = q.value(4).toInt() != 0;
    q.finish();
    return type != PlaybackSessionIf::RequestCurrent || t < unit->end;
}

NTPRange RecordingStore::streamSpan(qint64 streamId)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT MIN(ntp_begin) FROM units WHERE stream_id = ?"));
    q.addBindValue(streamId);
    if (!q.exec() || !q.next() || q.isNull(0))
        return NTPRange();
    const NTPTimestamp begin = fromStored(q.value(0).toLongLong());
    q.prepare(QStringLiteral("SELECT ntp_end FROM units WHERE stream_id = ? ORDER BY ntp_begin DESC LIMIT 1"));
    q.addBindValue(streamId);
    if (!q.exec() || !q.next())
        return NTPRange();
    return NTPRange(begin, fromStored(q.value(0).toLongLong()));
}

qint64 RecordingStore::unitCount(qint64 streamId)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM units WHERE stream_id = ?"));
    q.addBindValue(streamId);
    return q.exec() && q.next() ? q.value(0).toLongLong() : -1;
}

bool RecordingStore::hasEncryptedUnits(qint64 streamId)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT 1 FROM units WHERE stream_id = ? AND encrypted <> 0 LIMIT 1"));
    q.addBindValue(streamId);
    return q.exec() && q.next();
}

bool RecordingStore::listStreams(QVector<StreamRow>* rows)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT id, name, detail, sdp FROM streams ORDER BY name")))
        return fail(QStringLiteral("cannot read the streams of %1: %2").arg(m_path, q.lastError().text()));
    while (q.next())
        rows->append({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString()});
    return true;
}
