// The soak: the whole library kept busy for many minutes in one process, to
// find what only time shows (memory that grows, a mixer thread that starts
// to run late, a part that does not come back after a change).
//
// 64 live streams over loopback into nine receivers: 56 A-law streams into
// seven receivers, 7 MPEG audio streams into one, and one encrypted A-law
// stream over the TCP relay. Meanwhile, on a fixed schedule:
//   - every 5 s one receiver (in turn) is removed and made again on its
//     ports; its streams must all play again within 5 s;
//   - a looping tone starts at second 2 of every 10 and stops at second 7;
//   - talk-back is on from second 4 to second 14 of every 20, sending to a
//     local UDP port that the soak reads; each such window must bring packets;
//   - the virtual sound card fails at second 30 of every minute for 3 s (its
//     ring cannot be locked, the first two new rings cannot be made); the
//     mixer must bring the output back by itself within 15 s of the fault's end.
// Every minute one line: RSS, heap allocated, process CPU over the minute
// (100 % = one core), the mixer's late and missed ticks, worst lateness,
// streams live, packets received and talk-back packets.
//
// The run fails (exit code 1) on
//   - memory growth after warm-up: warm-up is the first 20 % of the run or
//     one minute, whichever is longer; the mean over the last 20 s of the
//     run may exceed the mean over the last 20 s of warm-up by at most
//     8 MB + 1 %. This holds for the heap's allocated bytes in every run,
//     and for RSS in runs whose warm-up is 5 minutes or more (25 minutes
//     and up): each stream's 5.6 MB frame queue becomes resident over a
//     minute as it is written, and the queues of the receivers made again
//     come from memory the allocator may not have reused yet, so RSS settles
//     only after some minutes. A receiver made again that leaked its queues
//     would add some 60 MB of heap a minute.
//   - late ticks: the mixer's late and missed ticks may be at most 1 + 1
//     per 10 whole minutes of the run, less those from an output fault's
//     start until 3 s after the output is back (missed by design, counted
//     apart) and those in a second in which a receiver was removed, which
//     are counted apart too and may be at most 1 + 1 per 10 removals (the
//     removal ends the receiver's thread and deletes its streams outside the
//     mixer lock; the separate count shows that it stays so);
//   - a receiver's streams not back in time, a receiver that cannot be made
//     again, a tone that does not start, a talk-back window without packets,
//     an output that does not come back.
//
// kavex_soak [MINUTES]   (default 10; fractions allowed for a quick look)
#include "AlawStreams.h"
#include "LoopbackSenders.h"
#include "ProcessFigures.h"
#include "SoakSenders.h"

#include "LiveStreamStatus.h"
#include "Mixer.h"
#include "StreamUnitDecrypter.h"
#include "backends/VirtualSoundFaults.h"
#include "backends/WavHeader.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <vector>

using ProcessFigures::residentMb;

namespace {

constexpr int kAlawReceivers = 7;
constexpr int kAlawStreamsPerReceiver = 8;
constexpr int kMpaStreams = 7;
constexpr quint32 kMpaFirstSsrc = 0x4d000000;
constexpr quint32 kEncryptedSsrc = 0x4e000000;
constexpr int kStreams = kAlawReceivers * kAlawStreamsPerReceiver + kMpaStreams + 1;

constexpr int kReaddEverySeconds = 5;
constexpr int kStreamsBackWithinSeconds = 5;
constexpr int kStartWithinSeconds = 10;
constexpr int kFaultAtSecond = 30;  // of each minute
constexpr int kFaultSeconds = 3;
constexpr int kBackWithinSeconds = 15;  // after the fault's end
constexpr int kFaultGraceSeconds = 3;   // after the output is back
constexpr int kWarmUpSeconds = 60;      // at least; 20 % of the run when longer
constexpr int kRssWarmUpSeconds = 300;
constexpr int kMemoryWindowSeconds = 20;
constexpr double kGrowthMb = 8;
constexpr double kGrowthFraction = 0.01;
constexpr quint64 kLateTicksAllowed = 1;
constexpr int kSecondsPerExtraLateTick = 600;
constexpr int kRemovalsPerExtraLateTick = 10;
constexpr int kWarningsShown = 100;

std::atomic<int> s_outputLost{0};
std::atomic<int> s_outputBack{0};
std::atomic<int> s_warnings{0};

// Counts the sound output's lost and back lines; shows the first warnings.
void watchLog(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    if (message.contains(QLatin1String("sound output lost")))
        s_outputLost.fetch_add(1);
    else if (message.contains(QLatin1String("sound output is back")))
        s_outputBack.fetch_add(1);
    if (s_warnings.fetch_add(1) < kWarningsShown)
        fprintf(stderr, "%s\n", qPrintable(message));
}

bool writeToneFile(const QString& path)
{
    const int samples = 24000;  // 0.5 s of 660 Hz
    QByteArray data = WavHeader::canonical(48000, 1, 16, quint32(samples * 2));
    for (int i = 0; i < samples; ++i) {
        const qint16 v = qint16(std::lround(8000 * std::sin(2 * M_PI * 660 * i / 48000.0)));
        data.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

struct Receiver {
    QString sdp;
    // The streams sent to it: only these count as playing (an encrypted
    // stream that cannot be opened plays a marker tone under an SSRC of its own).
    QSet<quint32> ssrcs;
    bool relay = false;
    quint16 rtp = 0, rtcp = 0;
    quint64 id = 0;      // 0 while it is being made again
    int readdedAt = -1;  // the second it was removed, until its streams play again
};

// The soak's schedule and its bookkeeping, on the main thread (one step a
// second from the event loop).
class Soak
{
public:
    Soak(int seconds, const QString& toneFile) : m_seconds(seconds), m_toneFile(toneFile) {}

    bool setUp();
    // One second of the schedule; false once the run is over.
    bool step();
    int finish();

private:
    bool addReceiver(Receiver& r);
    void countStreams();
    void checkReadd();
    void readdNext();
    void tones();
    void talkBack();
    void outputFault();
    void tickStatistics();
    void printMinute();
    void fail(const QString& why);
    // Fails when the mean of `samples` (one a second) over the last seconds
    // of the run exceeds that over the last seconds of warm-up by more than
    // the bound; returns the figures as a line.
    QString judgeGrowth(const char* what, const std::vector<double>& samples, int warmUp);

    const int m_seconds;
    const QString m_toneFile;
    int m_s = 0;
    QSharedPointer<Mixer> m_mixer;
    QByteArray m_publicKey;
    std::vector<Receiver> m_receivers;
    std::unique_ptr<LoopbackSenders> m_alaw;
    std::unique_ptr<MpaLoopSender> m_mpa;
    std::unique_ptr<EncryptedRelaySender> m_relay;
    QUdpSocket m_talkBackSocket;
    QStringList m_failures;

    // Streams: packets per (receiver, SSRC) at the last count, and totals.
    QHash<QPair<quint64, quint32>, quint64> m_packetsOf;
    QHash<quint64, int> m_playingOn;  // receiver id: streams that got packets in the last second
    int m_streamsLive = 0;
    quint64 m_packets = 0, m_packetsAtMinute = 0;
    int m_readdNext = 0, m_readds = 0, m_worstBackSeconds = 0;

    quint64 m_tone = 0;
    int m_tones = 0;
    quint64 m_talkBackPackets = 0, m_talkBackAtOn = 0;
    int m_talkBackWindows = 0;

    int m_faults = 0, m_faultEndedAt = -1, m_graceUntil = -1, m_backSeen = 0;
    bool m_faultActive = false;

    MixerTickStatistics m_lastStats;
    quint64 m_late = 0, m_missed = 0, m_faultLate = 0, m_faultMissed = 0;
    quint64 m_lateAtMinute = 0, m_missedAtMinute = 0;
    std::vector<double> m_rss, m_heap;  // one sample a second
    quint64 m_removalLate = 0;          // late and missed ticks in a second with a receiver removed
    bool m_readdThisSecond = false;
    double m_slowestRemovalMs = 0;
    double m_cpuAtMinute = 0, m_cpuAtStart = 0;
};

bool Soak::addReceiver(Receiver& r)
{
    r.id = m_mixer->addUnicastRtpChannel(QStringLiteral("LIVE"), r.rtp, r.rtcp, r.sdp, nullptr,
                                         r.relay ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(), 1.0 / 16);
    if (r.id == 0)
        return false;
    m_mixer->unmute(r.id, CHANNEL_BOTH);
    if (r.relay)
        m_mixer->setUpstreamAddress(r.id, QStringLiteral("127.0.0.1"), m_relay->port(), 0);
    return true;
}

bool Soak::setUp()
{
    QByteArray secret;
    StreamUnitDecrypter::generateKeyPair(secret, m_publicKey);
    m_relay = std::make_unique<EncryptedRelaySender>(kEncryptedSsrc, m_publicKey);
    if (!m_relay->start()) {
        fprintf(stderr, "cannot listen for the relay connection\n");
        return false;
    }
    m_mixer = Mixer::getInstance(false, false);
    m_mixer->setListOfPossiblePrivateKeys({secret});
    const QString mpaSdp = QStringLiteral("v=0\r\nm=audio 5004 RTP/AVP 14\r\na=rtpmap:14 MPA/90000\r\n");
    // The A-law senders spread their streams over the receivers in turn.
    m_receivers.resize(kAlawReceivers + 2);
    for (int c = 0; c < kAlawReceivers * kAlawStreamsPerReceiver; ++c)
        m_receivers[size_t(c % kAlawReceivers)].ssrcs.insert(AlawStreams::ssrc(c));
    for (int r = 0; r < kAlawReceivers; ++r)
        m_receivers[size_t(r)].sdp = AlawStreams::sdp();
    Receiver& mpaReceiver = m_receivers[kAlawReceivers];
    mpaReceiver.sdp = mpaSdp;
    for (int s = 0; s < kMpaStreams; ++s)
        mpaReceiver.ssrcs.insert(kMpaFirstSsrc + quint32(s));
    Receiver& relayReceiver = m_receivers[kAlawReceivers + 1];
    relayReceiver.sdp = AlawStreams::sdp();
    relayReceiver.ssrcs.insert(kEncryptedSsrc);
    relayReceiver.relay = true;
    for (Receiver& r : m_receivers) {
        if (!addReceiver(r)) {
            fprintf(stderr, "a receiver did not start\n");
            return false;
        }
    }
    std::vector<LoopbackSenders::Ports> alawPorts;
    for (int r = 0; r < kAlawReceivers; ++r)
        alawPorts.push_back({m_receivers[size_t(r)].rtp, m_receivers[size_t(r)].rtcp});
    m_alaw = std::make_unique<LoopbackSenders>(kAlawReceivers * kAlawStreamsPerReceiver, alawPorts, 1);
    m_mpa = std::make_unique<MpaLoopSender>(kMpaStreams, kMpaFirstSsrc, mpaReceiver.rtp, mpaReceiver.rtcp);
    if (!m_alaw->start() || !m_mpa->start()) {
        fprintf(stderr, "cannot start the senders (socket, or no MPEG audio layer II encoder)\n");
        return false;
    }
    if (!m_talkBackSocket.bind(QHostAddress(QHostAddress::LocalHost), 0)) {
        fprintf(stderr, "cannot open the talk-back port\n");
        return false;
    }
    QObject::connect(&m_talkBackSocket, &QUdpSocket::readyRead, [this] {
        while (m_talkBackSocket.hasPendingDatagrams()) {
            char datagram[2048];
            m_talkBackSocket.readDatagram(datagram, sizeof datagram);
            ++m_talkBackPackets;
        }
    });
    m_lastStats = m_mixer->getTickStatistics();
    m_cpuAtStart = m_cpuAtMinute = ProcessFigures::cpuSeconds();
    printf("soak: %d live streams (%d A-law, %d MPEG audio, 1 encrypted over the relay) into %d receivers for %.1f "
           "min\n",
           kStreams, kAlawReceivers * kAlawStreamsPerReceiver, kMpaStreams, int(m_receivers.size()), m_seconds / 60.0);
    fflush(stdout);
    return true;
}

bool Soak::step()
{
    ++m_s;
    tickStatistics();
    m_readdThisSecond = false;
    m_rss.push_back(residentMb());
    m_heap.push_back(ProcessFigures::heapInUseMb());
    countStreams();
    checkReadd();
    if (m_s == kStartWithinSeconds && m_streamsLive < kStreams)
        fail(QStringLiteral("only %1 streams play %2 s after the start").arg(m_streamsLive).arg(m_s));
    if (m_s >= kStartWithinSeconds && m_s % kReaddEverySeconds == 0)
        readdNext();
    tones();
    talkBack();
    outputFault();
    if (m_s % 60 == 0 || m_s == m_seconds)
        printMinute();
    return m_s < m_seconds;
}

void Soak::countStreams()
{
    QHash<quint64, const Receiver*> byId;
    for (const Receiver& r : m_receivers)
        byId.insert(r.id, &r);
    m_playingOn.clear();
    m_streamsLive = 0;
    for (const LiveStreamStatus& s : m_mixer->getLiveStreams()) {
        quint64& last = m_packetsOf[qMakePair(s.receiverId, s.ssrc)];
        const Receiver* r = byId.value(s.receiverId);
        if (s.packets > last && r && r->ssrcs.contains(s.ssrc)) {
            m_packets += s.packets - last;
            m_playingOn[s.receiverId] += 1;
            ++m_streamsLive;
        }
        last = s.packets;
    }
}

void Soak::readdNext()
{
    Receiver& r = m_receivers[size_t(m_readdNext)];
    if (r.readdedAt >= 0)
        return;  // the one before is not back yet
    m_readdNext = (m_readdNext + 1) % int(m_receivers.size());
    // Forget the old streams' counters: their ids do not come back.
    for (auto it = m_packetsOf.begin(); it != m_packetsOf.end();)
        it = it.key().first == r.id ? m_packetsOf.erase(it) : std::next(it);
    // The removal waits for the receiver's thread to end; how long it takes
    // is shown (the mixer thread keeps ticking meanwhile).
    const qint64 before = ProcessFigures::monotonicUs();
    m_mixer->removeRtpChannel(r.id);
    m_slowestRemovalMs = std::max(m_slowestRemovalMs, double(ProcessFigures::monotonicUs() - before) / 1000);
    m_readdThisSecond = true;
    r.id = 0;
    r.readdedAt = m_s;
    ++m_readds;
    checkReadd();
}

void Soak::checkReadd()
{
    for (Receiver& r : m_receivers) {
        if (r.readdedAt < 0)
            continue;
        // Made again on the same ports (the senders keep sending there); a
        // port not yet free is tried again a second later.
        if (r.id == 0 && !addReceiver(r)) {
            r.id = 0;
            if (m_s - r.readdedAt >= kStreamsBackWithinSeconds) {
                fail(QStringLiteral("a receiver could not be made again on port %1 in %2 s")
                         .arg(r.rtp)
                         .arg(kStreamsBackWithinSeconds));
                r.readdedAt = -1;
            }
            continue;
        }
        if (m_playingOn.value(r.id) >= r.ssrcs.size()) {
            m_worstBackSeconds = std::max(m_worstBackSeconds, m_s - r.readdedAt);
            r.readdedAt = -1;
        } else if (m_s - r.readdedAt > kStreamsBackWithinSeconds) {
            fail(QStringLiteral("%1 of %2 streams play %3 s after their receiver (port %4) was made again")
                     .arg(m_playingOn.value(r.id))
                     .arg(r.ssrcs.size())
                     .arg(m_s - r.readdedAt)
                     .arg(r.rtp));
            r.readdedAt = -1;
        }
    }
}

void Soak::tones()
{
    if (m_s % 10 == 2) {
        m_tone = m_mixer->setSignalToneFromFile(m_toneFile, true, false, 0.25);
        if (m_tone == 0)
            fail(QStringLiteral("a tone did not start at %1 s").arg(m_s));
        ++m_tones;
    } else if (m_s % 10 == 7 && m_tone != 0) {
        m_mixer->stopSignalTone(m_tone);
        m_tone = 0;
    }
}

void Soak::talkBack()
{
    if (m_s % 20 == 4) {
        m_talkBackAtOn = m_talkBackPackets;
        m_mixer->enableRtpSink(QHostAddress(QHostAddress::LocalHost), m_talkBackSocket.localPort(), SAMPLE_RATE_8000);
    } else if (m_s % 20 == 14) {
        m_mixer->disableRtpSink();
        ++m_talkBackWindows;
        if (m_talkBackPackets == m_talkBackAtOn)
            fail(QStringLiteral("talk-back sent nothing from %1 s to %2 s").arg(m_s - 10).arg(m_s));
    }
}

void Soak::outputFault()
{
    VirtualSoundFaults& faults = VirtualSoundFaults::of(SoundBackend::DIRECTION_PLAYBACK);
    if (m_s % 60 == kFaultAtSecond && m_s + kFaultSeconds + kBackWithinSeconds <= m_seconds) {
        faults.opensToFail = 2;
        faults.lockFails = true;
        m_faultActive = true;
        ++m_faults;
    } else if (m_faultActive && faults.lockFails && m_s % 60 == kFaultAtSecond + kFaultSeconds) {
        faults.lockFails = false;
        m_faultEndedAt = m_s;
    } else if (m_faultActive && !faults.lockFails) {
        if (s_outputBack.load() >= m_faults && s_outputLost.load() == s_outputBack.load()) {
            m_faultActive = false;
            m_graceUntil = m_s + kFaultGraceSeconds;
            ++m_backSeen;
        } else if (m_s - m_faultEndedAt > kBackWithinSeconds) {
            fail(QStringLiteral("the sound output was not back %1 s after its fault ended").arg(kBackWithinSeconds));
            m_faultActive = false;
        }
    }
}

void Soak::tickStatistics()
{
    const MixerTickStatistics now = m_mixer->getTickStatistics();
    const quint64 late = now.lateTicks - m_lastStats.lateTicks;
    const quint64 missed = now.missedTicks - m_lastStats.missedTicks;
    // The second just past belongs to the fault when the fault was on at
    // its start or is still on (or in its grace time) now.
    if (m_faultActive || m_s <= m_graceUntil) {
        m_faultLate += late;
        m_faultMissed += missed;
    } else if (m_readdThisSecond) {
        m_removalLate += late + missed;
    } else {
        m_late += late;
        m_missed += missed;
    }
    m_lastStats = now;
}

void Soak::printMinute()
{
    const double cpu = ProcessFigures::cpuSeconds();
    const int seconds = (m_s - 1) % 60 + 1;
    printf("min %5.1f  RSS %6.1f MB  heap %6.1f MB  CPU %5.1f %%  late %llu (+%llu)  missed %llu (+%llu)  "
           "removals %llu  output faults %llu/%llu  worst %.1f ms  streams %d  packets %llu (+%llu)  talk-back %llu\n",
           m_s / 60.0, m_rss.back(), m_heap.back(), 100 * (cpu - m_cpuAtMinute) / seconds, (unsigned long long)m_late,
           (unsigned long long)(m_late - m_lateAtMinute), (unsigned long long)m_missed,
           (unsigned long long)(m_missed - m_missedAtMinute), (unsigned long long)m_removalLate,
           (unsigned long long)m_faultLate, (unsigned long long)m_faultMissed, m_lastStats.worstLatenessUs / 1000.0,
           m_streamsLive, (unsigned long long)m_packets, (unsigned long long)(m_packets - m_packetsAtMinute),
           (unsigned long long)m_talkBackPackets);
    fflush(stdout);
    m_cpuAtMinute = cpu;
    m_lateAtMinute = m_late;
    m_missedAtMinute = m_missed;
    m_packetsAtMinute = m_packets;
}

void Soak::fail(const QString& why)
{
    printf("FAIL at %d s: %s\n", m_s, qPrintable(why));
    fflush(stdout);
    m_failures << why;
}

QString Soak::judgeGrowth(const char* what, const std::vector<double>& samples, int warmUp)
{
    const auto mean = [&samples](int endSecond) {
        double sum = 0;
        for (int s = endSecond - kMemoryWindowSeconds; s < endSecond; ++s)
            sum += samples[size_t(s)];
        return sum / kMemoryWindowSeconds;
    };
    const double before = mean(warmUp), after = mean(m_seconds);
    const double bound = kGrowthMb + kGrowthFraction * before;
    const QString line =
        QString::asprintf("%s %.1f MB after warm-up (%d s), %.1f MB at the end: %+.1f MB, bound %.1f MB", what, before,
                          warmUp, after, after - before, bound);
    if (after - before > bound)
        fail(QStringLiteral("grew after warm-up: ") + line);
    return line;
}

int Soak::finish()
{
    const double cpu = ProcessFigures::cpuSeconds() - m_cpuAtStart;
    const int warmUp = std::max(kWarmUpSeconds, m_seconds / 5);
    QStringList memory;
    if (m_seconds - warmUp < kMemoryWindowSeconds) {
        memory << QStringLiteral("not judged (the run ends within its warm-up)");
    } else {
        memory << judgeGrowth("heap", m_heap, warmUp);
        if (warmUp >= kRssWarmUpSeconds)
            memory << judgeGrowth("RSS", m_rss, warmUp);
        else
            memory << QStringLiteral("RSS not judged (warm-up under %1 s)").arg(kRssWarmUpSeconds);
    }
    const quint64 lateBound = kLateTicksAllowed + quint64(m_seconds / kSecondsPerExtraLateTick);
    if (m_late + m_missed > lateBound)
        fail(QStringLiteral("%1 late and %2 missed ticks outside output faults and receiver removals, bound %3")
                 .arg(m_late)
                 .arg(m_missed)
                 .arg(lateBound));
    const quint64 removalBound = kLateTicksAllowed + quint64(m_readds / kRemovalsPerExtraLateTick);
    if (m_removalLate > removalBound)
        fail(QStringLiteral("%1 late or missed ticks in seconds with a receiver removed, bound %2")
                 .arg(m_removalLate)
                 .arg(removalBound));
    if (m_backSeen < m_faults && m_failures.isEmpty())
        fail(QStringLiteral("the sound output came back after %1 of %2 faults").arg(m_backSeen).arg(m_faults));

    // The figures are printed before the senders and the mixer are taken
    // down, so that a fault there cannot hide them.
    printf("\nsoak %s after %.1f min\n", m_failures.isEmpty() ? "PASSED" : "FAILED", m_seconds / 60.0);
    for (const QString& m : qAsConst(memory))
        printf("  memory: %s\n", qPrintable(m));
    printf("  ticks: %llu late, %llu missed (bound %llu together) outside output faults and receiver removals; %llu "
           "late or missed in seconds with a receiver removed (bound %llu; slowest removal %.1f ms); in output "
           "faults %llu late, %llu missed; worst lateness %.1f ms\n",
           (unsigned long long)m_late, (unsigned long long)m_missed, (unsigned long long)lateBound,
           (unsigned long long)m_removalLate, (unsigned long long)removalBound, m_slowestRemovalMs,
           (unsigned long long)m_faultLate, (unsigned long long)m_faultMissed, m_lastStats.worstLatenessUs / 1000.0);
    printf("  CPU %.1f %% of one core on average; receivers made again %d (streams back within %d s at worst); tones "
           "%d; talk-back windows %d, %llu packets; output faults %d, back %d; warnings logged %d\n",
           100 * cpu / m_seconds, m_readds, m_worstBackSeconds, m_tones, m_talkBackWindows,
           (unsigned long long)m_talkBackPackets, m_faults, m_backSeen, s_warnings.load());
    printf("  packets sent: %llu A-law, %llu MPEG audio, %llu relayed; received %llu\n",
           (unsigned long long)m_alaw->packetsSent(), (unsigned long long)m_mpa->packetsSent(),
           (unsigned long long)m_relay->packetsSent(), (unsigned long long)m_packets);
    for (const QString& f : qAsConst(m_failures))
        printf("  failed: %s\n", qPrintable(f));
    printf("taking the mixer down with its receivers\n");
    fflush(stdout);
    m_alaw->stop();
    m_mpa->stop();
    m_relay->stop();
    m_mixer.clear();
    return m_failures.isEmpty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    for (const char* device : {"OSTKAVEX_OUTPUT_DEVICE", "OSTKAVEX_INPUT_DEVICE"}) {
        if (qEnvironmentVariableIsEmpty(device))
            qputenv(device, "virtual");
    }
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(watchLog);
    const QStringList args = app.arguments().mid(1);
    bool ok = true;
    const double minutes = args.isEmpty() ? 10.0 : args.first().toDouble(&ok);
    if (!ok || args.size() > 1 || minutes <= 0) {
        fprintf(stderr, "usage: kavex_soak [MINUTES]\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString toneFile = dir.filePath(QStringLiteral("tone.wav"));
    if (!dir.isValid() || !writeToneFile(toneFile)) {
        fprintf(stderr, "cannot write the tone file\n");
        return 2;
    }
    Soak soak(int(std::lround(minutes * 60)), toneFile);
    if (!soak.setUp())
        return 2;
    QTimer second;
    second.setTimerType(Qt::PreciseTimer);
    QObject::connect(&second, &QTimer::timeout, [&] {
        if (!soak.step())
            app.quit();
    });
    second.start(1000);
    app.exec();
    return soak.finish();
}
