// Unit server load: 64 playback sessions against one unit server, once on an
// SQLite store and once on a PostgreSQL store (a private cluster), over
// loopback. The store holds 16 streams of 10 minutes in 0.5-s A-law units.
//
// The server runs as a `kavexmix serve` child process, so that its CPU is
// its own: the CPU figures are the child's user + system time, and on
// PostgreSQL also that of the cluster's processes (backends, writers), each
// in % of one core. The clients are real PlaybackSession objects, each on its
// own thread as in a host; the latency of a unit is from requestUnit() to
// onUnit() on the session's thread.
//
// Modes, each run for several rounds; every figure is the median over rounds:
//  - paced: what a playback channel at speed 200 asks of the server: one
//    RequestNext at a time, one every 250 ms (0.5-s units twice as fast as
//    real time), the clients spread over the period;
//  - unpaced: each client asks for its next unit as soon as the last one
//    arrived: the saturation point of the server;
//  - direct: the server's lookups for one request (find the stream by name,
//    then the next unit after a time) run through RecordingStore on as many
//    threads as the server has workers, as fast as possible: the store's own
//    limit. The last line per engine compares unpaced to direct: their
//    rates, and their CPU per unit.
#include "Clock.h"
#include "G711.h"
#include "KavexMutex.h"
#include "PlaybackSession.h"
#include "PostgresCluster.h"
#include "RecordingStore.h"
#include "StoreLocation.h"
#include "UnitServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

const int kClients = 64;  // the server's default client limit
const int kWorkers = UnitServer::Options().workers;
const int kStreams = 16;
const int kMinutes = 10;
const int kUnitMs = 500;
const int kUnitsPerStream = kMinutes * 60 * 1000 / kUnitMs;
// Speed 200: a channel asks for units twice as fast as they play.
const quint64 kPeriodUs = quint64(kUnitMs) * 1000 / 2;
const NTPTimestamp kStart(quint32(3976214400U), 0);
const quint64 kLastBegin = (kStart + NTPTimestamp::fromMilliseconds(quint64(kUnitsPerStream - 1) * kUnitMs)).getRaw();

QString streamName(int s)
{
    return QStringLiteral("load-%1").arg(s);
}

struct Settings {
    int rounds = 5;
    double pacedSeconds = 10;
    double unpacedSeconds = 5;
    double directSeconds = 3;
    QStringList engines{"sqlite", "postgresql"};
    QString server;
};

// The figures of one round.
struct Round {
    double perSecond = 0;  // units served (or lookups done) per second
    double serverCpu = 0;  // % of one core
    double dbCpu = -1;     // % of one core; < 0: no database processes
    double p50Ms = 0;
    double p99Ms = 0;
    double missing = 0;  // answers without a unit: should stay 0
    // CPU (server and database together) per unit: what a shared machine's
    // other load changes least.
    double cpuUsPerUnit = 0;
};

double quantileMs(std::vector<quint32>& us, double q)
{
    if (us.empty())
        return 0;
    const size_t at = std::min(us.size() - 1, size_t(q * double(us.size())));
    std::nth_element(us.begin(), us.begin() + long(at), us.end());
    return us[at] / 1000.0;
}

// CPU seconds (user + system, all threads) of a process; < 0 when it is gone.
// `parent` gets its parent's id.
double processCpuSeconds(qint64 pid, qint64* parent = nullptr)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = file.readAll();
    // The command name may hold spaces and parentheses: fields count from its closing one.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    if (parent)
        *parent = fields[1].toLongLong();
    static const double ticks = double(sysconf(_SC_CLK_TCK));
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / ticks;
}

// The CPU used by one process, or by one process and its children (a
// PostgreSQL server: the postmaster and its backends, which come and go).
class CpuMeter
{
public:
    CpuMeter(qint64 pid, bool withChildren) : m_pid(pid), m_withChildren(withChildren) {}
    void start() { m_start = sample(); }
    // CPU seconds since start() of the processes alive now.
    double seconds() const
    {
        double total = 0;
        const QHash<qint64, double> now = sample();
        for (auto it = now.cbegin(); it != now.cend(); ++it)
            total += it.value() - m_start.value(it.key(), 0);
        return total;
    }

private:
    QHash<qint64, double> sample() const
    {
        QHash<qint64, double> cpu;
        cpu.insert(m_pid, std::max(0.0, processCpuSeconds(m_pid)));
        if (!m_withChildren)
            return cpu;
        for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
            qint64 parent = 0;
            const qint64 pid = entry.toLongLong();
            const double seconds = pid > 0 ? processCpuSeconds(pid, &parent) : -1;
            if (seconds >= 0 && parent == m_pid)
                cpu.insert(pid, seconds);
        }
        return cpu;
    }

    const qint64 m_pid;
    const bool m_withChildren;
    QHash<qint64, double> m_start;
};

// Times one round and what the meters saw during it.
class RoundTimer
{
public:
    RoundTimer(CpuMeter* server, CpuMeter* db) : m_server(server), m_db(db)
    {
        m_server->start();
        if (m_db)
            m_db->start();
        m_startUs = Clock::system().monotonicUs();
    }
    // Ends the round: its length and CPU figures go into `round`.
    void stop(Round* round)
    {
        m_seconds = double(Clock::system().monotonicUs() - m_startUs) / 1e6;
        round->serverCpu = 100 * m_server->seconds() / m_seconds;
        round->dbCpu = m_db ? 100 * m_db->seconds() / m_seconds : -1;
    }
    void setCount(Round* round, quint64 count) const
    {
        round->perSecond = double(count) / m_seconds;
        const double cpuPercent = round->serverCpu + std::max(0.0, round->dbCpu);
        round->cpuUsPerUnit = count ? cpuPercent * 1e4 / round->perSecond : 0;
    }

private:
    CpuMeter* m_server;
    CpuMeter* m_db;
    quint64 m_startUs = 0;
    double m_seconds = 1;
};

// Writes the streams, one transaction per stream.
bool fillStore(const QString& location, QString* error)
{
    _G711_SetALawMode(false, false, 0x55, 0x55);
    QByteArray payload(kUnitMs * 8, '\0');
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char(_G711_Linear2ALaw(short(8000 * std::sin(2 * M_PI * 400 * i / 8000.0))));
    const QString sdp = "v=0\r\nm=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";
    RecordingStore store(Clock::system());
    if (!store.open(location, RecordingStore::OPEN_OR_CREATE)) {
        *error = store.errorText();
        return false;
    }
    for (int s = 0; s < kStreams; ++s) {
        const qint64 id = store.addStream(streamName(s), QString(), sdp);
        QVector<RecordedUnit> units;
        for (int u = 0; u < kUnitsPerStream; ++u)
            units.append({id, kStart + NTPTimestamp::fromMilliseconds(quint64(u) * kUnitMs),
                          kStart + NTPTimestamp::fromMilliseconds(quint64(u + 1) * kUnitMs), sdp, payload, false});
        if (id <= 0 || !store.writeUnits(units)) {
            *error = "cannot write the units of " + streamName(s);
            return false;
        }
    }
    return true;
}

// The time a client asks RequestNext for after a unit that began at `begin`:
// that begin (giving the following unit), or after the last unit, just before
// the stream's start (playing it again).
quint64 nextRequestTime(quint64 begin)
{
    return begin >= kLastBegin ? kStart.getRaw() - 1 : begin;
}

// The store's own limit: the server's lookups for a unit request on
// kWorkers threads, each with its own store connection.
Round directRound(const QString& location, double seconds, CpuMeter* self, CpuMeter* db)
{
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::vector<std::vector<quint32>> latencies(static_cast<size_t>(kWorkers));
    std::vector<quint64> missing(static_cast<size_t>(kWorkers), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kWorkers; ++t)
        threads.emplace_back([&, t] {
            RecordingStore store(Clock::system());
            const bool open = store.open(location, RecordingStore::OPEN_EXISTING);
            std::vector<quint64> cursor(static_cast<size_t>(kStreams));
            for (int s = 0; s < kStreams; ++s)
                cursor[size_t(s)] =
                    (kStart + NTPTimestamp::fromMilliseconds(quint64(s * 37 + t * 101) * kUnitMs)).getRaw();
            std::vector<quint32>& mine = latencies[size_t(t)];
            mine.reserve(1 << 20);
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            Clock& clock = Clock::system();
            for (int i = t; open && !stop.load(); ++i) {
                const int s = i % kStreams;
                const quint64 began = clock.monotonicUs();
                RecordedUnit unit;
                const qint64 id = store.findStream(streamName(s));
                const bool found = id > 0 && store.findUnit(id, NTPTimestamp(cursor[size_t(s)]),
                                                            PlaybackSessionIf::RequestNext, &unit);
                mine.push_back(quint32(clock.monotonicUs() - began));
                missing[size_t(t)] += !found;
                cursor[size_t(s)] = found ? nextRequestTime(unit.begin.getRaw()) : kStart.getRaw() - 1;
            }
        });
    while (ready.load() < kWorkers)
        std::this_thread::yield();
    RoundTimer timer(self, db);
    go = true;
    Clock::system().sleepUs(quint64(seconds * 1e6));
    stop = true;
    Round round;
    // The meters read before the threads close their connections.
    timer.stop(&round);
    std::vector<quint32> all;
    for (std::thread& thread : threads)
        thread.join();
    for (size_t t = 0; t < latencies.size(); ++t) {
        all.insert(all.end(), latencies[t].begin(), latencies[t].end());
        round.missing += missing[t];
    }
    timer.setCount(&round, all.size());
    round.p50Ms = quantileMs(all, 0.5);
    round.p99Ms = quantileMs(all, 0.99);
    return round;
}

// kClients playback sessions on one server, each playing a stream from its
// own place; runs rounds of paced or unpaced requests.
class LoadClients
{
public:
    LoadClients(quint16 port, const QByteArray& token) : m_clients(kClients)
    {
        m_latencyUs.reserve(1 << 20);
        for (int c = 0; c < kClients; ++c) {
            Client& client = m_clients[size_t(c)];
            client.session = std::make_unique<PlaybackSession>();
            // Four clients per stream, a quarter of the stream apart.
            const quint64 unit = quint64(c / kStreams) * kUnitsPerStream / (kClients / kStreams);
            client.ts = (kStart + NTPTimestamp::fromMilliseconds(unit * kUnitMs)).getRaw();
            QObject::connect(
                client.session.get(), &PlaybackSessionIf::playbackSessionState, client.session.get(),
                [this](bool ready) { onState(ready); }, Qt::DirectConnection);
            QObject::connect(
                client.session.get(), &PlaybackSessionIf::onUnit, client.session.get(),
                [this, c](const quint64& id, const QString&, const NTPTimestamp& begin, const NTPTimestamp& end,
                          const SharedPoolBuffer&) { onUnit(c, id, begin, end); },
                Qt::DirectConnection);
            client.session->init("127.0.0.1", streamName(c % kStreams), QString(), QString::fromLatin1(token), port,
                                 false);
        }
    }
    ~LoadClients()
    {
        // A session closing its connection reports itself failed, with a
        // warning that the server closed it: expected here.
        for (Client& client : m_clients)
            QObject::disconnect(client.session.get(), nullptr, nullptr, nullptr);
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        m_clients.clear();
        qInstallMessageHandler(previous);
    }

    // Waits until the server accepted every session.
    bool waitReady()
    {
        KavexLocker lock(&m_lock);
        return m_wake.wait_for(lock, std::chrono::seconds(30), [this] { return m_ready == kClients || m_failed; }) &&
               !m_failed;
    }

    // False when a session failed or requests stayed unanswered.
    bool run(bool paced, double seconds, CpuMeter* server, CpuMeter* db, Round* result)
    {
        Clock& clock = Clock::system();
        KavexLocker lock(&m_lock);
        m_latencyUs.clear();
        m_served = m_missing = 0;
        m_paced = paced;
        m_running = true;
        RoundTimer timer(server, db);
        const quint64 startUs = clock.monotonicUs();
        const quint64 endUs = startUs + quint64(seconds * 1e6);
        for (int c = 0; c < kClients; ++c)
            m_clients[size_t(c)].dueUs = startUs + (paced ? kPeriodUs * quint64(c) / kClients : 0);
        for (quint64 now = startUs; now < endUs; now = clock.monotonicUs()) {
            quint64 next = endUs;
            for (Client& client : m_clients) {
                if (client.pending)
                    continue;
                if (client.dueUs <= now)
                    issue(client, now);
                else
                    next = std::min(next, client.dueUs);
            }
            m_wake.wait_for(lock, std::chrono::microseconds(next - now));
        }
        m_running = false;
        Round round;
        timer.stop(&round);
        timer.setCount(&round, m_served);
        round.missing = double(m_missing);
        round.p50Ms = quantileMs(m_latencyUs, 0.5);
        round.p99Ms = quantileMs(m_latencyUs, 0.99);
        // Every session answers each request it took: wait for the last ones.
        const auto idle = [this] {
            return std::none_of(m_clients.begin(), m_clients.end(), [](const Client& c) { return c.pending; });
        };
        *result = round;
        return m_wake.wait_for(lock, std::chrono::seconds(30), idle) && !m_failed;
    }

private:
    struct Client {
        std::unique_ptr<PlaybackSession> session;
        quint64 ts = 0;  // the time of the next RequestNext
        quint64 requestId = 0;
        quint64 sentUs = 0;
        quint64 dueUs = 0;
        bool pending = false;
    };

    // Under m_lock.
    void issue(Client& client, quint64 now)
    {
        client.pending = true;
        client.sentUs = now;
        // Paced: the next request one period later, or at once when this one is late.
        client.dueUs = std::max(client.dueUs + kPeriodUs, now);
        client.session->requestUnit(++client.requestId, NTPTimestamp(client.ts), PlaybackSessionIf::RequestNext);
    }

    // On the session's thread.
    void onState(bool ready)
    {
        KavexLocker lock(&m_lock);
        ++(ready ? m_ready : m_failed);
        m_wake.notify_all();
    }

    // On the session's thread.
    void onUnit(int c, quint64 id, const NTPTimestamp& begin, const NTPTimestamp& end)
    {
        const quint64 now = Clock::system().monotonicUs();
        KavexLocker lock(&m_lock);
        Client& client = m_clients[size_t(c)];
        if (!client.pending || id != client.requestId)
            return;
        client.pending = false;
        const bool found = begin < end;
        client.ts = found ? nextRequestTime(begin.getRaw()) : kStart.getRaw() - 1;
        if (!m_running) {
            m_wake.notify_all();
            return;
        }
        m_latencyUs.push_back(quint32(now - client.sentUs));
        ++(found ? m_served : m_missing);
        if (m_paced)
            m_wake.notify_all();
        else
            issue(client, now);
    }

    // Guards everything below after construction (the driving thread and the sessions' threads).
    KavexMutex m_lock;
    std::condition_variable_any m_wake;
    std::vector<Client> m_clients;
    std::vector<quint32> m_latencyUs;
    int m_ready = 0;
    int m_failed = 0;
    bool m_running = false;
    bool m_paced = false;
    quint64 m_served = 0;
    quint64 m_missing = 0;
};

// A `kavexmix serve` child process on a store.
class ServerProcess
{
public:
    bool start(const QString& program, const QString& store, const QString& tokenFile, QString* error)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program,
                        {"serve", "--store", store, "--listen", "127.0.0.1", "--port", "0", "--token-file", tokenFile});
        QByteArray out;
        while (!out.contains('\n') && m_process.waitForReadyRead(30000))
            out += m_process.readAll();
        const int at = out.indexOf("on port ");
        m_port = at < 0 ? 0 : quint16(out.mid(at + 8).trimmed().toUInt());
        if (m_port == 0)
            *error = program + " serve did not start: " + m_process.errorString() + " " + QString::fromLocal8Bit(out);
        return m_port != 0;
    }
    ~ServerProcess()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(10000);
    }
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

// The PostgreSQL server's main process (the parent of every backend).
qint64 postmasterPid(const QString& location)
{
    const StoreLocation where = StoreLocation::parse(location);
    qint64 parent = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "load-monitor");
        db.setHostName(where.host());
        db.setPort(where.port());
        db.setUserName(where.user());
        db.setDatabaseName(where.database());
        QSqlQuery q(db);
        if (db.open() && q.exec("SELECT pg_backend_pid()") && q.next())
            processCpuSeconds(q.value(0).toLongLong(), &parent);
    }
    QSqlDatabase::removeDatabase("load-monitor");
    return parent;
}

struct Figures {
    QString engine;
    std::vector<Round> paced, unpaced, direct;
};

double median(const std::vector<Round>& rounds, double Round::*field)
{
    std::vector<double> v;
    for (const Round& r : rounds)
        v.push_back(r.*field);
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Runs every mode on one engine; false (with the reason) when the store or server cannot be set up.
bool measure(const Settings& settings, const QString& engine, Figures* figures, QString* error)
{
    QTemporaryDir dir;
    QString location = dir.filePath("load.db");
    if (engine == "postgresql") {
        const QString why = PostgresCluster::shared().skipReason();
        location = why.isEmpty() ? PostgresCluster::shared().newDatabase() : QString();
        if (location.isEmpty()) {
            *error = "no PostgreSQL cluster: " + why;
            return false;
        }
    }
    std::fprintf(stderr, "%s: writing %d streams of %d units...\n", qPrintable(engine), kStreams, kUnitsPerStream);
    if (!fillStore(location, error))
        return false;
    std::unique_ptr<CpuMeter> db;
    if (engine == "postgresql")
        db = std::make_unique<CpuMeter>(postmasterPid(location), true);

    std::fprintf(stderr, "%s: direct lookups...\n", qPrintable(engine));
    CpuMeter self(QCoreApplication::applicationPid(), false);
    for (int r = 0; r < settings.rounds; ++r)
        figures->direct.push_back(directRound(location, settings.directSeconds, &self, db.get()));

    const QString tokenFile = dir.filePath("token");
    QByteArray token;
    bool created = false;
    ServerProcess server;
    if (!UnitServer::loadOrCreateToken(tokenFile, &token, &created, error) ||
        !server.start(settings.server, location, tokenFile, error))
        return false;
    CpuMeter serverCpu(server.pid(), false);
    LoadClients clients(server.port(), token);
    if (!clients.waitReady()) {
        *error = "the sessions did not connect";
        return false;
    }
    std::fprintf(stderr, "%s: %d sessions connected; paced and unpaced rounds...\n", qPrintable(engine), kClients);
    Round round;
    bool ok = clients.run(false, 1, &serverCpu, db.get(), &round);  // warming up
    for (int r = 0; ok && r < settings.rounds; ++r) {
        ok = clients.run(true, settings.pacedSeconds, &serverCpu, db.get(), &round);
        figures->paced.push_back(round);
    }
    for (int r = 0; ok && r < settings.rounds; ++r) {
        ok = clients.run(false, settings.unpacedSeconds, &serverCpu, db.get(), &round);
        figures->unpaced.push_back(round);
    }
    if (!ok)
        *error = "a session failed or left requests unanswered";
    return ok;
}

void printTable(const Settings& settings, const std::vector<Figures>& all, const QString& loadBefore)
{
    std::printf("\nUnit server load: %d playback sessions, %d streams x %d min of %d-ms A-law units, %d server "
                "workers, loopback.\nMedians of %d rounds (paced %.0f s, unpaced %.0f s, direct %.0f s each). "
                "%ld cores; load average before: %s\n\n",
                kClients, kStreams, kMinutes, kUnitMs, kWorkers, settings.rounds, settings.pacedSeconds,
                settings.unpacedSeconds, settings.directSeconds, sysconf(_SC_NPROCESSORS_ONLN), qPrintable(loadBefore));
    std::printf("%-11s %-18s %9s %11s %9s %11s %8s %8s %8s\n", "engine", "mode", "per s", "server CPU", "db CPU",
                "CPU us/unit", "p50 ms", "p99 ms", "missing");
    const auto row = [](const QString& engine, const char* mode, const std::vector<Round>& rounds) {
        const double db = median(rounds, &Round::dbCpu);
        std::printf("%-11s %-18s %9.0f %10.0f%% %9s %11.0f %8.2f %8.2f %8.0f\n", qPrintable(engine), mode,
                    median(rounds, &Round::perSecond), median(rounds, &Round::serverCpu),
                    db < 0 ? "-" : qPrintable(QString::number(db, 'f', 0) + "%"), median(rounds, &Round::cpuUsPerUnit),
                    median(rounds, &Round::p50Ms), median(rounds, &Round::p99Ms), median(rounds, &Round::missing));
    };
    const auto ratio = [](const std::vector<Round>& a, const std::vector<Round>& b, double Round::*field) {
        const double below = median(b, field);
        return below > 0 ? median(a, field) / below : 0.0;
    };
    for (const Figures& f : all) {
        row(f.engine, "paced (speed 200)", f.paced);
        row(f.engine, "unpaced", f.unpaced);
        row(f.engine, "direct lookups", f.direct);
        std::printf("%-11s %-18s %9.2f %33.2f\n", qPrintable(f.engine), "unpaced / direct",
                    ratio(f.unpaced, f.direct, &Round::perSecond), ratio(f.unpaced, f.direct, &Round::cpuUsPerUnit));
    }
    std::printf("\nserver CPU: the kavexmix serve process (direct: the lookup threads); db CPU: the PostgreSQL "
                "processes; %% of one core.\nCPU us/unit: both together per unit served (direct: per lookup).\n");
}

QString loadAverage()
{
    QFile file("/proc/loadavg");
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(' ', 0, 2) : QString("?");
}
}  // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    Settings settings;
    settings.server = QStringLiteral(KAVEX_TOOL_PATH);
    QCommandLineParser parser;
    parser.setApplicationDescription("Load figures of the unit server (see the comment at the top of the source).");
    parser.addHelpOption();
    parser.addOption({"rounds", "Rounds per mode (default 5).", "N"});
    parser.addOption({"paced-seconds", "Length of a paced round (default 10).", "S"});
    parser.addOption({"unpaced-seconds", "Length of an unpaced round (default 5).", "S"});
    parser.addOption({"direct-seconds", "Length of a direct-lookup round (default 3).", "S"});
    parser.addOption({"engines", "sqlite, postgresql or both (default sqlite,postgresql).", "LIST"});
    parser.addOption({"server", "The kavexmix program to run the server with.", "PATH"});
    // The benchmark runner's own options (./run.sh bench passes them to every benchmark) are ignored.
    parser.parse(app.arguments());
    for (const QString& unknown : parser.unknownOptionNames())
        if (!unknown.startsWith("benchmark_"))
            qFatal("unknown option --%s", qPrintable(unknown));
    if (parser.isSet("help"))
        parser.showHelp(0);
    settings.rounds = std::max(1, parser.value("rounds").isEmpty() ? settings.rounds : parser.value("rounds").toInt());
    const auto seconds = [&](const char* name, double* value) {
        if (parser.isSet(name))
            *value = std::max(0.5, parser.value(name).toDouble());
    };
    seconds("paced-seconds", &settings.pacedSeconds);
    seconds("unpaced-seconds", &settings.unpacedSeconds);
    seconds("direct-seconds", &settings.directSeconds);
    if (parser.isSet("engines"))
        settings.engines = parser.value("engines").split(',');
    for (const QString& engine : settings.engines)
        if (engine != "sqlite" && engine != "postgresql")
            qFatal("unknown engine '%s'", qPrintable(engine));
    if (parser.isSet("server"))
        settings.server = parser.value("server");

    const QString loadBefore = loadAverage();
    std::vector<Figures> all;
    int status = 0;
    for (const QString& engine : settings.engines) {
        Figures figures{engine, {}, {}, {}};
        QString error;
        if (measure(settings, engine, &figures, &error)) {
            all.push_back(figures);
        } else {
            std::fprintf(stderr, "%s: %s\n", qPrintable(engine), qPrintable(error));
            status = 1;
        }
    }
    PostgresCluster::stopShared();
    printTable(settings, all, loadBefore);
    return status;
}
