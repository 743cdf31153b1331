#include "PacedThread.h"

#include <arpa/inet.h>
#include <ctime>
#include <pthread.h>

namespace PacedSending {

qint64 monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sleepUntilNs(qint64 dueNs)
{
    const timespec due{time_t(dueNs / 1000000000), long(dueNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
    }
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace PacedSending

void PacedThread::start(const char* name, qint64 periodNs, std::function<void(quint64)> step)
{
    m_stop.store(false);
    m_thread = std::thread([this, name, periodNs, step = std::move(step)] {
        pthread_setname_np(pthread_self(), name);
        const qint64 startNs = PacedSending::monotonicNs();
        for (quint64 k = 0; !m_stop.load(std::memory_order_relaxed); ++k) {
            PacedSending::sleepUntilNs(startNs + qint64(k) * periodNs);
            step(k);
        }
    });
}

void PacedThread::stop()
{
    m_stop.store(true);
    if (m_thread.joinable())
        m_thread.join();
}
