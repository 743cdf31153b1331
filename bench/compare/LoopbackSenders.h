#pragma once

#include <QtGlobal>

#include <atomic>
#include <thread>
#include <vector>

// Live A-law sources inside the process: `count` RTP streams (20 ms packets,
// one SSRC each) sent over loopback UDP in real time, spread evenly over the
// given receivers (RTP and RTCP port each), each with a sender report at
// its start and every 5 s. The work is shared by a few sender
// threads, each pacing itself on the monotonic clock. The senders stand for
// machines of their own: they run at real-time priority (below the mixer's)
// so that the receivers they feed cannot hold them back.
class LoopbackSenders
{
public:
    struct Ports {
        quint16 rtp;
        quint16 rtcp;
    };
    LoopbackSenders(int count, const std::vector<Ports>& receivers, int threads);
    ~LoopbackSenders();
    LoopbackSenders(const LoopbackSenders&) = delete;
    LoopbackSenders& operator=(const LoopbackSenders&) = delete;

    bool start();
    void stop();
    quint64 packetsSent() const { return m_packets.load(std::memory_order_relaxed); }
    // Sends that the socket refused (full buffer and the like).
    quint64 sendErrors() const { return m_errors.load(std::memory_order_relaxed); }
    // How far (ms) the senders have been behind their schedule at worst
    // since the last call: audio sent that late reaches the mixer that late.
    double takeWorstLagMs() { return double(m_worstLagUs.exchange(0, std::memory_order_relaxed)) / 1000; }

private:
    struct Stream {
        quint32 ssrc;
        Ports ports;
        std::vector<unsigned char> payload;  // one second of A-law, repeated
    };

    void run(int first, int end);

    std::vector<Stream> m_streams;
    int m_threadCount;
    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};
    std::atomic<quint64> m_packets{0};
    std::atomic<quint64> m_errors{0};
    std::atomic<qint64> m_worstLagUs{0};
    int m_socket = -1;
};
