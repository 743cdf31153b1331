// Recording store and recorder figures:
//  - unit lookups per second (current, previous, next) in a store of 24 h of
//    32 streams in 1 s units (about 2.8 M units with a few payload bytes, so
//    that the index is what is measured);
//  - recorder CPU for 128 live A-law streams, per second of audio;
//  - store growth per hour of one A-law stream.
#include "Clock.h"
#include "Recorder.h"
#include "RecordingStore.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <cstdio>
#include <random>

namespace {

const int kStreams = 32;
const int kUnitsPerStream = 24 * 3600;
const NTPTimestamp kStart(quint32(3976214400U), 0);

// A clock that never sleeps and moves only when told.
class ManualClock : public Clock
{
public:
    quint64 monotonicUs() override { return m_us; }
    NTPTimestamp wallClock() override { return kStart + NTPTimestamp::fromMicroseconds(m_us); }
    void sleepUs(quint64 us) override { m_us += us; }
    void advanceUs(quint64 us) { m_us += us; }

private:
    quint64 m_us = 0;
};

struct LookupStore {
    QTemporaryDir dir;
    QString path;
    LookupStore() : path(dir.filePath("lookup.db"))
    {
        {
            RecordingStore store(Clock::system());
            if (!store.open(path, RecordingStore::OPEN_OR_CREATE))
                std::abort();
            for (int s = 1; s <= kStreams; ++s)
                store.addStream(QString("stream-%1").arg(s), "", "");
        }
        QElapsedTimer timer;
        timer.start();
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bench-build");
        db.setDatabaseName(path);
        db.open();
        QSqlQuery q(db);
        q.exec("BEGIN");
        q.prepare(
            "INSERT INTO units (stream_id, ntp_begin, ntp_end, sdp, payload, encrypted) VALUES (?, ?, ?, ?, ?, 0)");
        const QByteArray payload("\x55\x55\x55\x55", 4);
        for (int s = 1; s <= kStreams; ++s)
            for (int i = 0; i < kUnitsPerStream; ++i) {
                q.bindValue(0, s);
                q.bindValue(1, RecordingStore::toStored(kStart + NTPTimestamp(quint32(i), 0)));
                q.bindValue(2, RecordingStore::toStored(kStart + NTPTimestamp(quint32(i + 1), 0)));
                q.bindValue(3, QStringLiteral("s"));
                q.bindValue(4, payload);
                q.exec();
            }
        q.exec("COMMIT");
        q = QSqlQuery();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("bench-build");
        std::fprintf(stderr, "Built %d units in one transaction in %.1f s (%.0f MB)\n", kStreams * kUnitsPerStream,
                     double(timer.elapsed()) / 1000.0,
                     double(QFileInfo(path).size() + QFileInfo(path + "-wal").size()) / 1e6);
    }
};

LookupStore& lookupStore()
{
    static LookupStore store;
    return store;
}

void BM_UnitLookup(benchmark::State& state)
{
    const auto type = PlaybackSessionIf::UnitRequestType(state.range(0));
    RecordingStore store(Clock::system());
    if (!store.open(lookupStore().path, RecordingStore::OPEN_EXISTING)) {
        state.SkipWithError("store");
        return;
    }
    std::mt19937 random(42);
    std::uniform_int_distribution<int> stream(1, kStreams);
    std::uniform_int_distribution<quint64> offset(0, (quint64(kUnitsPerStream) << 32) - 1);
    RecordedUnit unit;
    qint64 found = 0;
    for (auto _ : state) {
        found += store.findUnit(stream(random), kStart + NTPTimestamp(offset(random)), type, &unit);
        benchmark::DoNotOptimize(unit);
    }
    state.SetItemsProcessed(state.iterations());
    if (found < state.iterations() * 9 / 10)
        state.SkipWithError("lookups missed");
}
BENCHMARK(BM_UnitLookup)->Arg(0)->Arg(1)->Arg(2)->ArgName("current0_previous1_next2");

// 128 A-law streams of 20 ms packets; one iteration is one 20 ms round. The
// counter audio_s is seconds of audio (of all 128 streams) per second of CPU
// of the whole process (network side and writer thread).
void BM_Recorder128Streams(benchmark::State& state)
{
    const int streams = 128;
    QTemporaryDir dir;
    ManualClock clock;
    Recorder::Options options;
    options.store = dir.filePath("rec.db");
    Recorder recorder(options, clock);
    std::vector<std::vector<unsigned char>> packets(streams, std::vector<unsigned char>(172, 0x55));
    const QHostAddress sender("10.0.0.1");
    quint32 round = 0;
    for (auto _ : state) {
        for (int s = 0; s < streams; ++s) {
            unsigned char* p = packets[size_t(s)].data();
            const quint32 ts = round * 160;
            p[0] = 0x80;
            p[1] = 8;
            p[2] = quint8(round >> 8);
            p[3] = quint8(round);
            p[4] = quint8(ts >> 24);
            p[5] = quint8(ts >> 16);
            p[6] = quint8(ts >> 8);
            p[7] = quint8(ts);
            p[8] = 0;
            p[9] = 0;
            p[10] = quint8(s >> 8);
            p[11] = quint8(s);
            recorder.feedRtp(p, 172, sender);
        }
        clock.advanceUs(20000);
        ++round;
    }
    recorder.flush();
    state.counters["audio_s"] = benchmark::Counter(double(state.iterations()) * 0.02, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Recorder128Streams)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// One hour of one A-law stream in 1 s units: bytes the store grew by.
void BM_StoreGrowthPerHour(benchmark::State& state)
{
    for (auto _ : state) {
        QTemporaryDir dir;
        ManualClock clock;
        Recorder::Options options;
        options.store = dir.filePath("growth.db");
        const QString path = options.store;
        qint64 before = 0;
        {
            Recorder recorder(options, clock);
            before = QFileInfo(path).size() + QFileInfo(path + "-wal").size();
            std::vector<unsigned char> p(172, 0x55);
            for (quint32 i = 0; i < 180000; ++i) {
                const quint32 ts = i * 160;
                p[0] = 0x80;
                p[1] = 8;
                p[2] = quint8(i >> 8);
                p[3] = quint8(i);
                p[4] = quint8(ts >> 24);
                p[5] = quint8(ts >> 16);
                p[6] = quint8(ts >> 8);
                p[7] = quint8(ts);
                recorder.feedRtp(p.data(), int(p.size()), QHostAddress("10.0.0.1"));
                clock.advanceUs(20000);
            }
        }
        // Fold the write-ahead log into the file: what stays is the growth.
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bench-growth");
            db.setDatabaseName(path);
            db.open();
            QSqlQuery(db).exec("PRAGMA wal_checkpoint(TRUNCATE)");
            db.close();
        }
        QSqlDatabase::removeDatabase("bench-growth");
        state.counters["bytes_per_hour"] = double(QFileInfo(path).size() + QFileInfo(path + "-wal").size() - before);
        state.counters["payload_bytes"] = 180000.0 * 160;
    }
}
BENCHMARK(BM_StoreGrowthPerHour)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
