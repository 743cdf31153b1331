// A receiver port under a flood, measured end to end: a 1 kHz G.711 stream
// plays through the mixer (its sound card writes a WAV file) while spoofed
// SSRCs, random datagrams and receiver reports of other SSRCs arrive on the
// same ports. Prints packets sent and dropped by the kernel, the receiver's
// and the mixer's CPU, the process's memory, the live channels made and the
// stream's level during the flood against before it.
//
//   bench_flood --flood [--seconds S] [--rate PACKETS_PER_SECOND] [--receiver-priority P]
//   (defaults 10, 100000, 0: the receiver's thread at normal scheduling)
//
// With --channels N it measures instead what a live channel costs: N streams
// play for S seconds (default 2) and the growth of the process's resident
// and virtual memory is divided by N.
//
//   bench_flood --channels N [--seconds S]
#include "Configuration.h"
#include "G711.h"
#include "Mixer.h"
#include "NTPTimestamp.h"
#include "RTPPacket.h"
#include "RtpChannel.h"
#include "RtpReceiver.h"
#include "VariableBuffer.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

QByteArray rtp(quint32 ssrc, quint16 seq, quint32 timestamp, const QByteArray& payload)
{
    VariableBuffer buffer;
    const RTPPacket packet(buffer, ssrc, seq, timestamp, 8, reinterpret_cast<const unsigned char*>(payload.constData()),
                           payload.size(), false);
    return QByteArray(reinterpret_cast<const char*>(packet.getRawPacket()), packet.getRawPacketSize());
}

struct UdpOut {
    UdpOut() : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~UdpOut() { ::close(fd); }
    void send(const QByteArray& d, quint16 port) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, d.constData(), size_t(d.size()), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    int fd;
};

// CPU seconds of the process's threads named `name` (Qt names a QThread after its class).
double threadCpu(const char* name)
{
    double seconds = 0;
    for (const QString& tid : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/self/task/" + tid + "/comm");
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name)
            continue;
        QFile stat("/proc/self/task/" + tid + "/stat");
        stat.open(QIODevice::ReadOnly);
        const QList<QByteArray> f = stat.readAll().split(')').last().trimmed().split(' ');
        seconds += (f.value(11).toDouble() + f.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
    }
    return seconds;
}

double processCpu()
{
    QFile stat("/proc/self/stat");
    stat.open(QIODevice::ReadOnly);
    const QList<QByteArray> f = stat.readAll().split(')').last().trimmed().split(' ');
    return (f.value(11).toDouble() + f.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// "VmRSS" or "VmHWM" of the process in MB.
double memoryMb(const char* field)
{
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(strlen(field)) + 1).trimmed().split(' ').first().toDouble() / 1024;
    return 0;
}

// Datagrams the kernel dropped on the receiving sockets of `port`.
quint64 kernelDrops(quint16 port)
{
    quint64 drops = 0;
    const QByteArray hexPort = QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile f(table);
        f.open(QIODevice::ReadOnly);
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> cols = line.simplified().split(' ');
            if (cols.size() > 12 && cols.at(1).endsWith(":" + hexPort))
                drops += cols.last().toULongLong();
        }
    }
    return drops;
}

// Amplitude of `hz` in the left channel of interleaved stereo 48 kHz samples [from, to).
double toneAmplitude(const std::vector<qint16>& stereo, size_t from, size_t to, double hz)
{
    double re = 0, im = 0;
    for (size_t i = from; i < to; ++i) {
        const double phase = 2 * M_PI * hz * double(i) / 48000.0;
        re += stereo[2 * i] * std::cos(phase);
        im += stereo[2 * i] * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / double(to - from);
}

// One second of `hz` (a whole number of periods, so that it loops without a
// click) as a 48 kHz mono WAV file.
void writeTone(const QString& path, int hz)
{
    QByteArray samples(2 * 48000, 0);
    for (int i = 0; i < 48000; ++i) {
        const auto v = qint16(8000 * std::sin(2 * M_PI * hz * i / 48000.0));
        memcpy(samples.data() + 2 * i, &v, 2);
    }
    auto le32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto le16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("RIFF" + le32(quint32(36 + samples.size())) + "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(48000) +
            le32(96000) + le16(2) + le16(16) + "data" + le32(quint32(samples.size())) + samples);
}

std::vector<qint16> readWav(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    const QByteArray all = f.readAll();
    const int data = all.indexOf("data");
    std::vector<qint16> samples(size_t(std::max(0, all.size() - data - 8) / 2));
    memcpy(samples.data(), all.constData() + data + 8, samples.size() * 2);
    return samples;
}

// N streams of 20 ms packets on one port for `seconds`: memory per channel.
int measureChannels(Mixer& mixer, quint16 rtpPort, int count, double seconds)
{
    const double rssBefore = memoryMb("VmRSS"), vmBefore = memoryMb("VmSize");
    const auto start = SteadyClock::now();
    std::thread streams([&] {
        UdpOut out;
        QByteArray payload(160, 0);
        for (int i = 0; i < int(seconds * 50); ++i) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * i));
            for (int c = 0; c < count; ++c) {
                for (int s = 0; s < 160; ++s)
                    payload[s] = char(
                        _G711_Linear2ALaw(short(3000 * std::sin(2 * M_PI * (200 + c) * (160.0 * i + s) / 8000.0))));
                out.send(rtp(quint32(1000 + c), quint16(i), 160u * quint32(i), payload), rtpPort);
            }
        }
    });
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000) + 300, &loop, &QEventLoop::quit);
    loop.exec();
    streams.join();
    const int live = RtpReceiver::liveChannelsTotal();
    const double rss = memoryMb("VmRSS") - rssBefore, vm = memoryMb("VmSize") - vmBefore;
    printf("%d live channels after %.1f s: resident +%.1f MB (%.0f kB each), virtual +%.1f MB (%.2f MB each); "
           "sizeof(RtpChannel) %zu bytes\n",
           live, seconds, rss, live ? rss * 1024 / live : 0.0, vm, live ? vm / live : 0.0, sizeof(RtpChannel));
    Q_UNUSED(mixer)
    return live == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 0;
    int rate = 100000;
    int channels = 0;
    bool flooding = false;
    int receiverPriority = 0;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!strcmp(argv[i], "--flood"))
            flooding = true;
        else if (!strcmp(argv[i], "--seconds") && hasValue)
            seconds = atof(argv[++i]);
        else if (!strcmp(argv[i], "--rate") && hasValue)
            rate = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--channels") && hasValue)
            channels = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--receiver-priority") && hasValue)
            receiverPriority = atoi(argv[++i]);
    }
    // Not a microbenchmark: the benchmark runner's arguments alone start nothing.
    if (!flooding && channels <= 0) {
        printf("bench_flood: give --flood [--seconds S] [--rate R] or --channels N [--seconds S]\n");
        return 0;
    }
    QTemporaryDir dir;
    qputenv("OSTKAVEX_CONFIG_DIR", dir.filePath("config").toUtf8());
    qputenv("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + dir.filePath("out.wav")).toUtf8());
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    if (receiverPriority > 0)
        QSettings(Configuration::settingsFilePath(), QSettings::IniFormat)
            .setValue("RtpReceiver/RealTimePriority", receiverPriority);
    QSharedPointer<Mixer> mixer = Mixer::getInstance(false, true);
    quint16 rtpPort = 0, rtcpPort = 0;
    const QString sdp = "v=0\r\nm=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";
    const quint64 id = mixer->addUnicastRtpChannel("LIVE", rtpPort, rtcpPort, sdp, nullptr, QHostAddress(), 1.0);
    // A 300 Hz tone from a file plays along, through the mixer but not the
    // network: where it dips too, the output (mixer thread, sound card) was
    // late, not the receiver.
    if (flooding) {
        const QString tone = dir.filePath("reference.wav");
        writeTone(tone, 300);
        mixer->setSignalToneFromFile(tone, true, false, 1.0);
    }
    mixer->unmute(id, CHANNEL_BOTH);
    if (channels > 0)
        return measureChannels(*mixer, rtpPort, channels, seconds > 0 ? seconds : 2);
    if (seconds <= 0)
        seconds = 10;

    // The stream plays 1 s alone, `seconds` under the flood, 1 s alone again.
    const double lead = 1.0;
    const int packets = int((lead + seconds + 1.0) * 50);
    const auto start = SteadyClock::now();
    std::atomic<quint64> sent{0};
    std::atomic<qint64> streamLateUs{0};
    std::thread stream([&] {
        // The stream stands for a sender on another host: this host's load
        // must not delay it, or its gaps would be blamed on the receiver.
        sched_param fifo{};
        fifo.sched_priority = 10;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo);
        UdpOut out;
        for (int i = 0; i < packets; ++i) {
            const auto due = start + std::chrono::milliseconds(20 * i);
            std::this_thread::sleep_until(due);
            const qint64 late = std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - due).count();
            if (late > streamLateUs)
                streamLateUs = late;
            QByteArray payload(160, 0);
            for (int s = 0; s < 160; ++s)
                payload[s] =
                    char(_G711_Linear2ALaw(short(8000 * std::sin(2 * M_PI * 1000 * (160.0 * i + s) / 8000.0))));
            out.send(rtp(4242, quint16(i), 160u * quint32(i), payload), rtpPort);
        }
    });
    double cpuBefore[3] = {}, cpuAfter[3] = {};
    double rssBefore = 0;
    std::thread flood([&] {
        UdpOut out;
        QRandomGenerator random(1);
        QByteArray noise(200, 0);
        const QByteArray report("\x80\xc9\x00\x01\x00\x00\x0d\x05", 8);
        const int perMs = rate / 1000;
        std::this_thread::sleep_until(start + std::chrono::milliseconds(int(lead * 1000)));
        cpuBefore[0] = threadCpu("RtpReceiver");
        cpuBefore[1] = threadCpu("MixerImpl");
        cpuBefore[2] = processCpu();
        rssBefore = memoryMb("VmRSS");
        for (int ms = 0; ms < int(seconds * 1000); ++ms) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(int(lead * 1000) + ms));
            for (int i = 0; i < perMs; ++i) {
                random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
                if (i % 50 == 0)
                    out.send(report, rtcpPort);
                else if (i % 2)
                    out.send(rtp(random.generate(), quint16(random.generate()), 0, noise.left(160)), rtpPort);
                else
                    out.send(noise.left(12 + int(random.bounded(188))), rtpPort);
            }
            sent += quint64(perMs);
        }
        cpuAfter[0] = threadCpu("RtpReceiver");
        cpuAfter[1] = threadCpu("MixerImpl");
        cpuAfter[2] = processCpu();
    });
    QEventLoop loop;
    QTimer::singleShot(int((lead + seconds + 1.5) * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    stream.join();
    flood.join();
    const quint64 drops = kernelDrops(rtpPort) + kernelDrops(rtcpPort);
    const int live = RtpReceiver::liveChannelsTotal();
    quint64 streamPackets = 0, streamLost = 0;
    for (const LiveStreamStatus& s : mixer->getLiveStreams()) {
        if (s.ssrc == 4242) {
            streamPackets = s.packets;
            streamLost = s.lost;
        }
    }
    const double rssAfter = memoryMb("VmRSS"), rssPeak = memoryMb("VmHWM");
    mixer.reset();

    // Level before the flood (0.4..0.9 s of the output after the stream's
    // start) and in every 100 ms of the flood.
    const std::vector<qint16> wav = readWav(dir.filePath("out.wav"));
    // The stream starts where its tone first shows in 10 ms windows.
    const size_t frames = wav.size() / 2;
    size_t first = 0;
    while (first + 480 <= frames && toneAmplitude(wav, first, first + 480, 1000) < 2000)
        first += 480;
    // The strongest 10 ms of that span: a tick lost there does not lower it.
    double before = 0, referenceBefore = 0;
    for (size_t sub = first + 19200; sub < first + 43200; sub += 480) {
        before = std::max(before, toneAmplitude(wav, sub, sub + 480, 1000));
        referenceBefore = std::max(referenceBefore, toneAmplitude(wav, sub, sub + 480, 300));
    }
    // Each 100 ms is measured as the energy of its ten 10-ms windows (both
    // tones whole periods long there, so neither leaks into the other): live
    // playback that loses one tick plays on a tick later, and a phase-true
    // measure over the whole window would count that shift as a dip. A run of
    // 10-ms windows without the stream is a gap.
    double worst = 1e9, sum = 0, referenceWorst = 1e9, ownWorst = 1e9;
    int windows = 0, gaps = 0;
    bool inGap = false;
    for (size_t at = first + size_t(lead * 48000);
         at + 4800 <= std::min(frames, first + size_t((lead + seconds) * 48000)); at += 4800, ++windows) {
        double a2 = 0, r2 = 0;
        for (size_t sub = at; sub < at + 4800; sub += 480) {
            const double a = toneAmplitude(wav, sub, sub + 480, 1000);
            const double r = toneAmplitude(wav, sub, sub + 480, 300);
            a2 += a * a / 10;
            r2 += r * r / 10;
            if (a < before * 0.1 && !inGap)
                ++gaps;
            inGap = a < before * 0.1;
        }
        const double a = std::sqrt(a2), r = std::sqrt(r2);
        worst = std::min(worst, a);
        referenceWorst = std::min(referenceWorst, r);
        // A window where the output kept time (the reference within 0.5 dB;
        // a tick lost at the card costs it 1 dB) shows what the receiver
        // alone did to the stream.
        if (r >= referenceBefore * 0.944)
            ownWorst = std::min(ownWorst, a);
        sum += a;
    }
    const double mean = windows ? sum / windows : 0;
    const double floodSeconds = seconds;
    printf("flood: %.1f s at %d packets/s: %llu packets sent, %llu dropped by the kernel (%.1f %%)\n", seconds, rate,
           (unsigned long long)sent.load(), (unsigned long long)drops, 100.0 * double(drops) / double(sent.load()));
    printf("receiver thread CPU: %.1f %% of a core; mixer thread: %.1f %%; whole process: %.1f %%\n",
           100 * (cpuAfter[0] - cpuBefore[0]) / floodSeconds, 100 * (cpuAfter[1] - cpuBefore[1]) / floodSeconds,
           100 * (cpuAfter[2] - cpuBefore[2]) / floodSeconds);
    printf("memory: RSS %.1f MB before the flood, %.1f MB after, peak %.1f MB; live channels at the end: %d\n",
           rssBefore, rssAfter, rssPeak, live);
    printf("stream: %d packets sent (at most %.1f ms late), %llu taken by its channel, %llu lost\n", packets,
           double(streamLateUs.load()) / 1000, (unsigned long long)streamPackets, (unsigned long long)streamLost);
    printf("1 kHz stream: amplitude %.0f before the flood; during it mean %.0f (%+.2f dB), worst 100 ms %.0f "
           "(%+.2f dB)\n",
           before, mean, 20 * std::log10(mean / before), worst, 20 * std::log10(std::max(worst, 1e-3) / before));
    printf("gaps in the stream during the flood: %d\n", gaps);
    printf("300 Hz reference tone (not through the receiver): worst 100 ms %+.2f dB\n",
           20 * std::log10(std::max(referenceWorst, 1e-3) / referenceBefore));
    if (ownWorst < 1e9)
        printf("the stream's worst 100 ms where the reference kept its level: %+.2f dB\n",
               20 * std::log10(std::max(ownWorst, 1e-3) / before));
    else
        printf("the reference lost its level in every 100 ms: the output did not keep time\n");
    return 0;
}
