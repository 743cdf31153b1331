// Compares the CPU cost of mixing N live A-law streams (8 kHz, 60 s each by
// default) into 48 kHz stereo, in one run on the same generated streams:
//   ours    our live path: RTP check, decode, queue, mix, output stage; the
//           ticks driven as fast as they go (no real-time waits)
//   ffmpeg  the ffmpeg tool: every input resampled to 48 kHz with a 256-tap
//           filter (as ours), summed by amix, stereo, to the null muxer
//   gst     gst-launch-1.0: wavparse, alawdec, audioresample (quality 10,
//           its longest filter), audiomixer to 48 kHz stereo, fakesink
//   floor   the FFmpeg A-law decoder and the same 256-tap resampler called
//           directly per 20 ms packet: what our path costs at the least
//           without another codec or filter
// Every measurement runs in a process of its own; the figures are CPU
// seconds per second of audio (user + system, all threads) and peak resident
// memory, the medians of the rounds.
//
// kavex_compare [--seconds S] [--rounds R] [--dir DIR] [--keep] [N...]
#include "AlawStreams.h"
#include "InProcessRuns.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

enum Method { METHOD_OURS, METHOD_FFMPEG, METHOD_GST, METHOD_FLOOR, METHOD_COUNT };
const char* const kMethodNames[METHOD_COUNT] = {"ours", "ffmpeg", "gst", "floor"};

struct Measurement {
    bool ok = false;
    double cpuSeconds = 0;  // for the whole run of N streams
    double peakMb = 0;
    double wallSeconds = 0;
};

struct Options {
    double seconds = 60;
    int rounds = 3;
    QString dir;
    bool keep = false;
    std::vector<int> counts;
};

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) * 1e-6;
}

// Runs argv with stdin closed and stderr into `log`; what it writes to
// stdout is returned in `out`. CPU and peak memory come from wait4.
Measurement runChild(const std::vector<std::string>& argv, const QString& log, std::string* out = nullptr)
{
    Measurement m;
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return m;
    // Everything the child needs is made before the fork: between fork and
    // exec it only calls the system.
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const QByteArray logPath = log.toLocal8Bit();
    QElapsedTimer wall;
    wall.start();
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return m;
    }
    if (pid == 0) {
        const int devNull = open("/dev/null", O_RDONLY);
        const int err = open(logPath.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(devNull, 0);
        dup2(pipeFds[1], 1);
        if (err >= 0)
            dup2(err, 2);
        close(pipeFds[0]);
        execvp(args[0], args.data());
        static const char kFailed[] = "cannot run the measured program\n";
        (void)!write(2, kFailed, sizeof kFailed - 1);
        _exit(127);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            text.append(buffer, size_t(n));
    }
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    m.wallSeconds = double(wall.elapsed()) / 1000;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    m.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    m.peakMb = double(usage.ru_maxrss) / 1024;
    if (out)
        *out = text;
    return m;
}

std::vector<std::string> ffmpegCommand(const Options& o, int count)
{
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"};
    std::string graph;
    std::string inputs;
    for (int c = 0; c < count; ++c) {
        argv.insert(argv.end(), {"-t", std::to_string(o.seconds), "-i", streamFile(o.dir, c).toStdString()});
        graph += "[" + std::to_string(c) + ":a]aresample=48000:filter_size=256[a" + std::to_string(c) + "];";
        inputs += "[a" + std::to_string(c) + "]";
    }
    graph += inputs + "amix=inputs=" + std::to_string(count) + ":normalize=0[m]";
    argv.insert(argv.end(), {"-filter_complex", graph, "-map", "[m]", "-ac", "2", "-ar", "48000", "-f", "null", "-"});
    return argv;
}

std::vector<std::string> gstCommand(const Options& o, int count)
{
    std::vector<std::string> argv = {"gst-launch-1.0",
                                     "-q",
                                     "audiomixer",
                                     "name=mix",
                                     "!",
                                     "audio/x-raw,format=S16LE,rate=48000,channels=2",
                                     "!",
                                     "fakesink",
                                     "sync=false"};
    for (int c = 0; c < count; ++c) {
        argv.insert(argv.end(), {"filesrc", "location=" + streamFile(o.dir, c).toStdString(), "!", "wavparse", "!",
                                 "alawdec", "!", "audioresample", "quality=10", "!", "mix."});
    }
    return argv;
}

// Our path and the floor run in a child process of this program.
Measurement runInProcess(const Options& o, Method method, int count, const QString& log)
{
    const std::vector<std::string> argv = {QCoreApplication::applicationFilePath().toStdString(),
                                           "--child",
                                           kMethodNames[method],
                                           o.dir.toStdString(),
                                           std::to_string(count),
                                           std::to_string(o.seconds)};
    std::string out;
    Measurement m = runChild(argv, log, &out);
    double cpu = 0, held = 0;
    int peak = 0;
    if (!m.ok || sscanf(out.c_str(), "%lf %lf %d", &cpu, &held, &peak) != 3 || peak == 0) {
        m.ok = false;
        return m;
    }
    // The measured work only; the input held in memory is not the path's.
    m.cpuSeconds = cpu;
    m.peakMb -= held / (1024 * 1024);
    return m;
}

int childMain(const QStringList& args)
{
    if (args.size() != 4)
        return 2;
    const InProcessResult r = args[0] == QLatin1String("ours")
                                  ? runOurPath(args[1], args[2].toInt(), args[3].toDouble())
                                  : runFloor(args[1], args[2].toInt(), args[3].toDouble());
    printf("%.6f %.0f %d\n", r.cpuSeconds, r.heldBytes, r.peak);
    return 0;
}

bool onPath(const char* tool)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty();
}

QString ratio(double a, double b)
{
    return std::isfinite(a) && std::isfinite(b) && b > 0 ? QString::number(a / b, 'f', 2) : QStringLiteral("-");
}

QString figure(double v, int decimals)
{
    return std::isfinite(v) ? QString::number(v, 'f', decimals) : QStringLiteral("n/a");
}

void quiet(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

bool parse(const QStringList& args, Options& o)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == QLatin1String("--seconds") && hasValue)
            o.seconds = args[++i].toDouble();
        else if (a == QLatin1String("--rounds") && hasValue)
            o.rounds = args[++i].toInt();
        else if (a == QLatin1String("--dir") && hasValue)
            o.dir = args[++i];
        else if (a == QLatin1String("--keep"))
            o.keep = true;
        else if (a.toInt() > 0)
            o.counts.push_back(a.toInt());
        else
            return false;
    }
    if (o.counts.empty())
        o.counts = {1, 32, 128, 512};
    return o.seconds > 0 && o.rounds > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    QStringList args = app.arguments().mid(1);
    if (!args.isEmpty() && args.first() == QLatin1String("--child"))
        return childMain(args.mid(1));

    Options o;
    if (!parse(args, o)) {
        fprintf(stderr, "usage: kavex_compare [--seconds S] [--rounds R] [--dir DIR] [--keep] [N...]\n");
        return 2;
    }
    QTemporaryDir temporary;
    if (o.dir.isEmpty())
        o.dir = temporary.path();
    temporary.setAutoRemove(!o.keep);
    QDir().mkpath(o.dir);
    const QString log = o.dir + QStringLiteral("/children.log");

    const int largest = *std::max_element(o.counts.begin(), o.counts.end());
    const int samples = int(o.seconds * AlawStreams::kRate);
    printf("Writing %d A-law streams of %.0f s to %s\n", largest, o.seconds, qPrintable(o.dir));
    fflush(stdout);
    for (int c = 0; c < largest; ++c) {
        if (!writeStreamFile(streamFile(o.dir, c), AlawStreams::tone(c, samples))) {
            fprintf(stderr, "cannot write %s\n", qPrintable(streamFile(o.dir, c)));
            return 1;
        }
    }

    const bool haveTool[METHOD_COUNT] = {true, onPath("ffmpeg"), onPath("gst-launch-1.0"), true};
    for (Method m : {METHOD_FFMPEG, METHOD_GST}) {
        if (!haveTool[m])
            printf("%s is not installed: its column stays empty\n", kMethodNames[m]);
    }
    // results[N][method]: one measurement per round.
    std::map<int, std::vector<Measurement>> results[METHOD_COUNT];
    int failures = 0;
    for (int round = 1; round <= o.rounds; ++round) {
        for (int count : o.counts) {
            for (int m = 0; m < METHOD_COUNT; ++m) {
                if (!haveTool[m])
                    continue;
                Measurement r;
                if (m == METHOD_FFMPEG)
                    r = runChild(ffmpegCommand(o, count), log);
                else if (m == METHOD_GST)
                    r = runChild(gstCommand(o, count), log);
                else
                    r = runInProcess(o, Method(m), count, log);
                printf("round %d  N=%-4d %-6s %s  cpu %8.2f s  wall %7.2f s  peak %7.1f MB\n", round, count,
                       kMethodNames[m], r.ok ? "ok    " : "FAILED", r.cpuSeconds, r.wallSeconds, r.peakMb);
                fflush(stdout);
                if (r.ok)
                    results[m][count].push_back(r);
                else
                    ++failures;
            }
        }
    }

    printf("\nCPU seconds per second of audio (median of %d rounds, %.0f s streams); peak RSS in MB\n", o.rounds,
           o.seconds);
    printf("%5s %9s %9s %9s %9s | %11s %8s %10s | %7s %7s %7s %7s\n", "N", "ours", "ffmpeg", "gst", "floor",
           "ours/ffmpeg", "ours/gst", "ours/floor", "ours", "ffmpeg", "gst", "floor");
    for (int count : o.counts) {
        double cpu[METHOD_COUNT], peak[METHOD_COUNT];
        for (int m = 0; m < METHOD_COUNT; ++m) {
            std::vector<double> c, p;
            for (const Measurement& r : results[m][count]) {
                c.push_back(r.cpuSeconds / o.seconds);
                p.push_back(r.peakMb);
            }
            cpu[m] = median(c);
            peak[m] = median(p);
        }
        printf("%5d %9s %9s %9s %9s | %11s %8s %10s | %7s %7s %7s %7s\n", count,
               qPrintable(figure(cpu[METHOD_OURS], 4)), qPrintable(figure(cpu[METHOD_FFMPEG], 4)),
               qPrintable(figure(cpu[METHOD_GST], 4)), qPrintable(figure(cpu[METHOD_FLOOR], 4)),
               qPrintable(ratio(cpu[METHOD_OURS], cpu[METHOD_FFMPEG])),
               qPrintable(ratio(cpu[METHOD_OURS], cpu[METHOD_GST])),
               qPrintable(ratio(cpu[METHOD_OURS], cpu[METHOD_FLOOR])), qPrintable(figure(peak[METHOD_OURS], 1)),
               qPrintable(figure(peak[METHOD_FFMPEG], 1)), qPrintable(figure(peak[METHOD_GST], 1)),
               qPrintable(figure(peak[METHOD_FLOOR], 1)));
    }
    printf("ours and floor: CPU of the work alone, peak RSS less the input they hold in memory; "
           "ffmpeg and gst: the whole process.\n");
    if (failures > 0)
        printf("%d measurements failed; the children's messages are in %s%s\n", failures, qPrintable(log),
               o.keep ? "" : " (removed at exit: run again with --keep)");
    return 0;
}
