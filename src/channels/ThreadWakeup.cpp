#include "ThreadWakeup.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

ThreadWakeup::ThreadWakeup(QObject* parent) : QObject(parent), m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_fd < 0)
        throw std::runtime_error("ThreadWakeup: cannot create an event counter");
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ThreadWakeup::onActivated);
}

ThreadWakeup::~ThreadWakeup()
{
    delete m_notifier;
    ::close(m_fd);
}

void ThreadWakeup::wake()
{
    const uint64_t one = 1;
    // Only a counter at its maximum refuses (EAGAIN): the reader is woken anyway.
    ssize_t n;
    do {
        n = ::write(m_fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void ThreadWakeup::onActivated()
{
    uint64_t count = 0;
    ssize_t n;
    do {
        n = ::read(m_fd, &count, sizeof count);
    } while (n < 0 && errno == EINTR);
    if (n == sizeof count && count > 0)
        emit woken();
}
