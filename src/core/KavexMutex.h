#pragma once

#include <mutex>

// The library's locks. They are standard mutexes on purpose: thread checkers
// see them, while the system's Qt mutexes synchronise through futexes that a
// checker cannot follow. Wait conditions pair with std::condition_variable_any.
using KavexMutex = std::mutex;
using KavexRecursiveMutex = std::recursive_mutex;

// Holds `mutex` for its own lifetime; can let go early and take it again.
template <typename MutexType>
class KavexLocker
{
public:
    explicit KavexLocker(MutexType* mutex) : m_mutex(mutex) { m_mutex->lock(); }
    ~KavexLocker()
    {
        if (m_locked)
            m_mutex->unlock();
    }
    KavexLocker(const KavexLocker&) = delete;
    KavexLocker& operator=(const KavexLocker&) = delete;

    void unlock()
    {
        m_mutex->unlock();
        m_locked = false;
    }
    void relock()
    {
        m_mutex->lock();
        m_locked = true;
    }
    // For std::condition_variable_any, which takes any lockable.
    void lock() { relock(); }
    MutexType* mutex() const { return m_mutex; }

private:
    MutexType* m_mutex;
    bool m_locked = true;
};
