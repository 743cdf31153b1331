#pragma once

#include "Clock.h"
#include "RecordingStore.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QTemporaryDir>
#include <QVector>
#include <gtest/gtest.h>

// A store file in a temporary folder, and units with simple, recognisable contents.
namespace RecordingTestSupport {

// 2026-01-01 00:00:00 UTC, and the same in Unix milliseconds.
const NTPTimestamp kT0(quint32(3976214400U), 0);
const quint64 kT0UnixMs = 1767225600000ULL;

inline NTPTimestamp at(double seconds)
{
    return kT0 + NTPTimestamp::fromMicroseconds(quint64(seconds * 1e6));
}

inline RecordedUnit unit(qint64 stream, double begin, double end, const QByteArray& payload = "abc",
                         const QString& sdp = QStringLiteral("sdp"))
{
    RecordedUnit u;
    u.streamId = stream;
    u.begin = at(begin);
    u.end = at(end);
    u.sdp = sdp;
    u.payload = payload;
    return u;
}

class TempStore
{
public:
    TempStore() : path(dir.path() + QStringLiteral("/store.db")) {}
    // A connection on the calling thread, opened or created.
    std::unique_ptr<RecordingStore> open(RecordingStore::OpenMode mode = RecordingStore::OPEN_OR_CREATE) const
    {
        auto store = std::make_unique<RecordingStore>(Clock::system());
        EXPECT_TRUE(store->open(path, mode)) << store->errorText().toStdString();
        return store;
    }
    QTemporaryDir dir;
    QString path;
};

// Every unit of `stream`, in time order, read through a connection of its own.
inline QVector<RecordedUnit> allUnits(const QString& path, const QString& stream)
{
    RecordingStore store(Clock::system());
    EXPECT_TRUE(store.open(path, RecordingStore::OPEN_EXISTING));
    const qint64 id = store.findStream(stream);
    QVector<RecordedUnit> units;
    RecordedUnit u;
    for (NTPTimestamp t; store.findUnit(id, t, PlaybackSessionIf::RequestNext, &u); t = u.begin)
        units.append(u);
    return units;
}

// Runs `statements` on the file itself, past the store; returns the first
// value the last one yields.
inline QVariant rawSql(const QString& path, const QStringList& statements)
{
    QVariant result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "raw");
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open());
        QSqlQuery q(db);
        for (const QString& sql : statements)
            EXPECT_TRUE(q.exec(sql)) << sql.toStdString();
        if (q.next())
            result = q.value(0);
    }
    QSqlDatabase::removeDatabase("raw");
    return result;
}

}  // namespace RecordingTestSupport
