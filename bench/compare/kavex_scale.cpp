// The live path at scale, in real time: N A-law streams sent over loopback
// UDP by in-process senders to several receivers (each its own thread, so
// the receiving work spreads over the cores), mixed on the real mixer thread
// into the "virtual" sound card, for a given time. Measures, every tick, how
// far the mixer thread runs behind the tick grid (late: more than one tick
// period behind), and reports CPU, resident memory and the streams' counters.
//
// kavex_scale [N] [SECONDS] [--receivers R] [--senders S]
#include "AlawStreams.h"
#include "LoopbackSenders.h"
#include "ProcessFigures.h"

#include "LiveStreamStatus.h"
#include "Mixer.h"
#include "PresentationNotifier.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QMap>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <unistd.h>

using ProcessFigures::monotonicUs;
using ProcessFigures::residentMb;

namespace {

const QString kLive = QStringLiteral("LIVE");
constexpr double kTickUs = 1024.0 * 1000000 / 48000;
constexpr double kQueueBytes = 2800.0 * 2048;  // one live channel's frame queue

// Watches the "LIVE" group's interval report, which the mixer thread makes
// once per tick. Tick k is due at origin + k periods, the origin being the
// earliest that any tick so far allows (ticks that ran ahead to fill the
// card's buffer set it); a tick's lateness is how far it is behind that. A
// tick more than one period behind is late: the card has run dry by then,
// so the grid starts again at that tick and the ticks after it are measured
// against the new grid (a single stall counts once, a slow mixer again and
// again). Written on the mixer thread only; read anywhere.
class TickMeter
{
public:
    void onTick()
    {
        const qint64 now = monotonicUs();
        const quint64 k = m_ticks.load(std::memory_order_relaxed);
        const double offset = double(now) - double(k) * kTickUs;
        if (k == 0 || offset < m_origin)
            m_origin = offset;
        const double lateness = offset - m_origin;
        if (lateness > kTickUs) {
            const quint64 late = m_late.load(std::memory_order_relaxed);
            if (late < kKeptLate)
                m_lateAt[late] = qMakePair(now, lateness);
            m_late.store(late + 1, std::memory_order_release);
            m_origin = offset;
        }
        if (lateness > m_worstUs.load(std::memory_order_relaxed))
            m_worstUs.store(lateness, std::memory_order_relaxed);
        m_ticks.store(k + 1, std::memory_order_release);
    }

    quint64 ticks() const { return m_ticks.load(std::memory_order_acquire); }
    quint64 late() const { return m_late.load(std::memory_order_acquire); }
    double worstUs() const { return m_worstUs.load(std::memory_order_relaxed); }
    // The first late ticks: when (monotonic microseconds) and how far behind.
    std::vector<QPair<qint64, double>> lateTicks() const
    {
        return std::vector<QPair<qint64, double>>(m_lateAt, m_lateAt + std::min<quint64>(late(), kKeptLate));
    }

private:
    static constexpr quint64 kKeptLate = 16;
    double m_origin = 0;
    std::atomic<quint64> m_ticks{0};
    std::atomic<quint64> m_late{0};
    std::atomic<double> m_worstUs{0};
    QPair<qint64, double> m_lateAt[kKeptLate];
};

// CPU time per thread name, and on which core each thread of the process was
// seen at each sample.
class ThreadSampler
{
public:
    void sample()
    {
        QDir tasks(QStringLiteral("/proc/self/task"));
        for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(tasks.filePath(tid + QStringLiteral("/stat")));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray text = stat.readAll();
            const int open = text.indexOf('('), close = text.lastIndexOf(')');
            if (open < 0 || close < 0)
                continue;
            const QString name = QString::fromLatin1(text.mid(open + 1, close - open - 1));
            // Fields after the name, from field 3 (state) on.
            const QList<QByteArray> f = text.mid(close + 2).split(' ');
            if (f.size() < 37)
                continue;
            const double ticksPerSecond = double(sysconf(_SC_CLK_TCK));
            m_cpu[tid] = qMakePair(name, (f[11].toDouble() + f[12].toDouble()) / ticksPerSecond);
            m_seenOnCore[name][f[36].toInt()] += 1;
        }
    }

    void print() const
    {
        QMap<QString, QPair<int, double>> byName;  // threads, CPU seconds
        for (auto it = m_cpu.cbegin(); it != m_cpu.cend(); ++it) {
            byName[it->first].first += 1;
            byName[it->first].second += it->second;
        }
        printf("CPU per thread name (threads, CPU s, samples seen on each core):\n");
        for (auto it = byName.cbegin(); it != byName.cend(); ++it) {
            QStringList cores;
            const QMap<int, int> seen = m_seenOnCore.value(it.key());
            for (auto c = seen.cbegin(); c != seen.cend(); ++c)
                cores << QStringLiteral("cpu%1: %2").arg(c.key()).arg(c.value());
            printf("  %-16s %4d %9.1f   %s\n", qPrintable(it.key()), it->first, it->second,
                   qPrintable(cores.join(QStringLiteral(", "))));
        }
    }

private:
    QMap<QString, QPair<QString, double>> m_cpu;  // by thread id: name, CPU seconds so far
    QMap<QString, QMap<int, int>> m_seenOnCore;
};

void quiet(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("OSTKAVEX_OUTPUT_DEVICE"))
        qputenv("OSTKAVEX_OUTPUT_DEVICE", "virtual");
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    int count = 512, seconds = 300, receivers = 8, senders = 2;
    const QStringList args = app.arguments().mid(1);
    QList<int> positional;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--receivers") && i + 1 < args.size())
            receivers = args[++i].toInt();
        else if (args[i] == QLatin1String("--senders") && i + 1 < args.size())
            senders = args[++i].toInt();
        else
            positional << args[i].toInt();
    }
    count = positional.value(0, count);
    seconds = positional.value(1, seconds);
    if (count <= 0 || seconds <= 0 || receivers <= 0 || senders <= 0) {
        fprintf(stderr, "usage: kavex_scale [N] [SECONDS] [--receivers R] [--senders S]\n");
        return 2;
    }
    receivers = std::min(receivers, count);

    TickMeter meter;
    QObject::connect(
        PresentationNotifier::instance(), &PresentationNotifier::presentationInterval, PresentationNotifier::instance(),
        [&meter](const QString& group, NTPTimestamp, NTPTimestamp) {
            if (group == kLive)
                meter.onTick();
        },
        Qt::DirectConnection);

    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, true);
    std::vector<LoopbackSenders::Ports> ports;
    for (int r = 0; r < receivers; ++r) {
        unsigned short rtp = 0, rtcp = 0;
        if (mixer->addUnicastRtpChannel(kLive, rtp, rtcp, AlawStreams::sdp(), nullptr, QHostAddress(), 1.0) == 0) {
            fprintf(stderr, "receiver %d did not start\n", r);
            return 1;
        }
        ports.push_back({rtp, rtcp});
    }

    printf("%d streams to %d receivers from %d sender threads for %d s, output on the virtual card\n", count, receivers,
           senders, seconds);
    LoopbackSenders source(count, ports, senders);
    if (!source.start()) {
        fprintf(stderr, "cannot open the senders' socket\n");
        return 1;
    }
    const qint64 startUs = monotonicUs();
    const double startCpu = ProcessFigures::cpuSeconds();
    const quint64 startTicks = meter.ticks();
    ThreadSampler threads;
    double lastCpu = startCpu;
    qint64 lastUs = startUs;

    QTimer status;
    QObject::connect(&status, &QTimer::timeout, [&] {
        threads.sample();
        const qint64 now = monotonicUs();
        if ((now - startUs) / 1000000 % 10 != 0)
            return;
        const double cpu = ProcessFigures::cpuSeconds();
        // The streams' status holds the mixer's lock only to list the receivers.
        int silent = 0;
        for (const LiveStreamStatus& s : mixer->getLiveStreams())
            silent += s.peak == 0 ? 1 : 0;
        printf("%4lld s  ticks %7llu  late %4llu  worst %7.1f ms  CPU %5.2f cores  RSS %7.1f MB  silent %d  "
               "senders behind <= %.1f ms\n",
               (long long)((now - startUs) / 1000000), (unsigned long long)meter.ticks(),
               (unsigned long long)meter.late(), meter.worstUs() / 1000,
               (cpu - lastCpu) / (double(now - lastUs) * 1e-6), residentMb(), silent, source.takeWorstLagMs());
        fflush(stdout);
        lastCpu = cpu;
        lastUs = now;
    });
    status.start(1000);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    status.stop();

    // The figures are taken before anything below takes the mixer's lock.
    const double wall = double(monotonicUs() - startUs) * 1e-6;
    const double cpu = ProcessFigures::cpuSeconds() - startCpu;
    const double rss = residentMb();
    const quint64 ticks = meter.ticks() - startTicks, late = meter.late();
    const double worstUs = meter.worstUs();
    const std::vector<QPair<qint64, double>> lateTicks = meter.lateTicks();
    threads.sample();
    quint64 packets = 0, lost = 0, duplicates = 0;
    int silent = 0;
    const QList<LiveStreamStatus> streams = mixer->getLiveStreams();
    for (const LiveStreamStatus& s : streams) {
        packets += s.packets;
        lost += s.lost;
        duplicates += s.duplicates;
        silent += s.peak == 0 ? 1 : 0;
    }
    source.stop();

    printf("\n%d streams over %.0f s: %llu ticks (%.0f expected), %llu late (more than %.1f ms behind the grid), "
           "worst %.1f ms behind\n",
           count, wall, (unsigned long long)ticks, wall * 1e6 / kTickUs, (unsigned long long)late, kTickUs / 1000,
           worstUs / 1000);
    for (const auto& t : lateTicks)
        printf("  late tick at %.1f s, %.1f ms behind\n", double(t.first - startUs) * 1e-6, t.second / 1000);
    printf("streams made %d of %d; packets sent %llu, accepted %llu, lost %llu, duplicates %llu, send errors %llu; "
           "streams silent at the end %d\n",
           int(streams.size()), count, (unsigned long long)source.packetsSent(), (unsigned long long)packets,
           (unsigned long long)lost, (unsigned long long)duplicates, (unsigned long long)source.sendErrors(), silent);
    printf("CPU %.1f s = %.2f cores on average (of %ld)\n", cpu, cpu / wall, sysconf(_SC_NPROCESSORS_ONLN));
    // A live queue, kept short, moves its audio back to the start of its ring
    // every 32 frames taken: the first 64 KB of the ring, its backlog and its
    // frame times (22 KB) are all that is ever touched of it.
    const double queueMb = count * kQueueBytes / (1024 * 1024);
    printf("RSS %.1f MB; the frame queues reserve %.1f MB (%d x %.2f MB) of address space, of which about %.1f MB "
           "(0.1 MB each) is resident\n",
           rss, queueMb, count, kQueueBytes / (1024 * 1024), count * 0.1);
    threads.print();
    mixer.clear();
    return late == 0 ? 0 : 3;
}
