#pragma once

#include <QtGlobal>

#include <atomic>
#include <functional>
#include <netinet/in.h>
#include <thread>

// Pieces of the in-process senders of the live-path benchmarks.
namespace PacedSending {

// The monotonic clock in nanoseconds.
qint64 monotonicNs();
// Sleeps until the monotonic clock reads `dueNs`.
void sleepUntilNs(qint64 dueNs);
// 127.0.0.1:port.
sockaddr_in loopback(quint16 port);

}  // namespace PacedSending

// A thread that calls `step(k)` at start + k * period on the monotonic clock
// until stopped; a step that runs late is followed at once by the next.
class PacedThread
{
public:
    PacedThread() = default;
    ~PacedThread() { stop(); }
    PacedThread(const PacedThread&) = delete;
    PacedThread& operator=(const PacedThread&) = delete;

    void start(const char* name, qint64 periodNs, std::function<void(quint64)> step);
    void stop();

private:
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};
