#include "LoopbackSenders.h"

#include "AlawStreams.h"
#include "Clock.h"
#include "PacedThread.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "RealTimePriority.h"
#include "VariableBuffer.h"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

using PacedSending::loopback;

namespace {
constexpr qint64 kPacketNs = 20000000;
constexpr int kReportEveryPackets = 250;  // 5 s
constexpr int kPayloadCycle = 50;         // packets of distinct audio
// Below the mixer thread's 20, above the receivers (normal priority unless
// configured otherwise).
constexpr int kSenderPriority = 10;
}  // namespace

LoopbackSenders::LoopbackSenders(int count, const std::vector<Ports>& receivers, int threads)
    : m_threadCount(std::max(1, threads))
{
    for (int c = 0; c < count; ++c) {
        m_streams.push_back({AlawStreams::ssrc(c), receivers[size_t(c) % receivers.size()],
                             AlawStreams::tone(c, kPayloadCycle * AlawStreams::kPacketSamples)});
    }
}

LoopbackSenders::~LoopbackSenders()
{
    stop();
}

bool LoopbackSenders::start()
{
    m_socket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_socket < 0)
        return false;
    const int count = int(m_streams.size());
    for (int t = 0; t < m_threadCount; ++t)
        m_threads.emplace_back(&LoopbackSenders::run, this, count * t / m_threadCount, count * (t + 1) / m_threadCount);
    return true;
}

void LoopbackSenders::stop()
{
    m_stop.store(true);
    for (std::thread& t : m_threads)
        t.join();
    m_threads.clear();
    if (m_socket >= 0)
        close(m_socket);
    m_socket = -1;
}

void LoopbackSenders::run(int first, int end)
{
    pthread_setname_np(pthread_self(), "LoopbackSender");
    // At normal priority the senders share the cores with the receivers; a
    // busy moment then puts them hundreds of ms behind their schedule, their
    // audio arrives that late and the mixer rightly drops it as too late.
    RealTimePriority::raiseCurrentThread(QStringLiteral("LoopbackSender"), kSenderPriority);
    VariableBuffer rtp(RTPPacket::FIXED_HEADER_SIZE + AlawStreams::kPacketSamples);
    VariableBuffer report;
    // Packet k of every stream is sent at start + k * 20 ms and stamped
    // accordingly, so the sender reports tie RTP time to wall-clock time.
    const qint64 startNs = PacedSending::monotonicNs();
    const NTPTimestamp startNtp = Clock::system().wallClock();
    for (quint64 k = 0; !m_stop.load(std::memory_order_relaxed); ++k) {
        const qint64 dueNs = startNs + qint64(k) * kPacketNs;
        PacedSending::sleepUntilNs(dueNs);
        const qint64 lagUs = (PacedSending::monotonicNs() - dueNs) / 1000;
        qint64 worst = m_worstLagUs.load(std::memory_order_relaxed);
        while (lagUs > worst && !m_worstLagUs.compare_exchange_weak(worst, lagUs, std::memory_order_relaxed)) {
        }
        const quint32 timestamp = quint32(k * AlawStreams::kPacketSamples);
        const size_t offset = size_t(k % kPayloadCycle) * AlawStreams::kPacketSamples;
        for (int c = first; c < end; ++c) {
            const Stream& s = m_streams[size_t(c)];
            if (k % kReportEveryPackets == 0) {
                const int size = RTCPPacket::writeSenderReport(
                    report, s.ssrc, startNtp + NTPTimestamp::fromMilliseconds(k * 20), timestamp, quint32(k), 0);
                const sockaddr_in to = loopback(s.ports.rtcp);
                sendto(m_socket, report.getBuffer(), size_t(size), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to);
            }
            const RTPPacket packet(rtp, s.ssrc, quint16(k), timestamp, AlawStreams::kPayloadType,
                                   s.payload.data() + offset, AlawStreams::kPacketSamples, false);
            const sockaddr_in to = loopback(s.ports.rtp);
            if (sendto(m_socket, rtp.getBuffer(), size_t(RTPPacket::FIXED_HEADER_SIZE + AlawStreams::kPacketSamples), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
                m_errors.fetch_add(1, std::memory_order_relaxed);
            else
                m_packets.fetch_add(1, std::memory_order_relaxed);
        }
    }
}
