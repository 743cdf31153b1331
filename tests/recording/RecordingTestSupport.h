#pragma once

#include "Clock.h"
#include "PostgresCluster.h"
#include "RecordingStore.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

// A new store (a file in a temporary folder, or a database of its own in the
// test cluster), and units with simple, recognisable contents.
namespace RecordingTestSupport {

// 2026-01-01 00:00:00 UTC.
const NTPTimestamp kT0(quint32(3976214400U), 0);

inline NTPTimestamp at(double seconds)
{
    return kT0 + NTPTimestamp::fromMicroseconds(quint64(seconds * 1e6));
}

inline RecordedUnit unit(qint64 stream, double begin, double end, const QByteArray& data = "abc",
                         const QString& sdp = QStringLiteral("sdp"))
{
    return {stream, at(begin), at(end), sdp, data};
}

class TempStore
{
public:
    explicit TempStore(StoreLocation::Kind kind = StoreLocation::KIND_SQLITE)
        : path(kind == StoreLocation::KIND_POSTGRESQL ? PostgresCluster::shared().newDatabase()
                                                      : dir.filePath(QStringLiteral("store.db")))
    {
    }
    // A connection on the calling thread, opened or created.
    std::unique_ptr<RecordingStore> open(RecordingStore::OpenMode mode = RecordingStore::OPEN_OR_CREATE) const
    {
        auto store = std::make_unique<RecordingStore>(Clock::system());
        EXPECT_TRUE(store->open(path, mode)) << store->errorText().toStdString();
        return store;
    }
    // Every unit of `stream`, in time order, read through a connection of its own.
    QVector<RecordedUnit> units(const QString& stream) const
    {
        auto store = open(RecordingStore::OPEN_EXISTING);
        const qint64 id = store->findStream(stream);
        QVector<RecordedUnit> all;
        RecordedUnit u;
        for (NTPTimestamp t; store->findUnit(id, t, PlaybackSessionIf::RequestNext, &u); t = u.begin)
            all.append(u);
        return all;
    }
    QTemporaryDir dir;
    const QString path;  // the store's location
};

// Tests that run on each kind of store (instantiated once, in RecordingStoreTest.cpp); PostgreSQL ones skip
// where no cluster can run.
class EachStoreKind : public ::testing::TestWithParam<StoreLocation::Kind>
{
protected:
    void SetUp() override
    {
        if (GetParam() == StoreLocation::KIND_POSTGRESQL)
            KAVEX_REQUIRE_POSTGRES();
    }
};

}  // namespace RecordingTestSupport
