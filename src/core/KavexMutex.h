#pragma once

#include <mutex>

// The library's locks. They are standard mutexes on purpose: thread checkers
// see them, while the system's Qt mutexes synchronise through futexes that a
// checker cannot follow. Wait conditions pair with std::condition_variable_any.
using KavexMutex = std::mutex;
using KavexRecursiveMutex = std::recursive_mutex;

// Hand-overs that Qt orders where a thread checker cannot see it: the system's
// Qt keeps its posted-event queues and thread joins behind futexes. The thread
// that hands an object over calls kavexHandOff(object) before it posts the
// queued call (or before its run() returns); the thread that takes it over
// calls kavexTakeOver(object) first thing in the queued call (or after
// QThread::wait() returned). Both compile to nothing outside ThreadSanitizer
// builds.
#if defined(__SANITIZE_THREAD__)
#define KAVEX_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KAVEX_THREAD_SANITIZER 1
#endif
#endif
#ifdef KAVEX_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
inline void kavexHandOff(const void* object)
{
    __tsan_release(const_cast<void*>(object));
}
inline void kavexTakeOver(const void* object)
{
    __tsan_acquire(const_cast<void*>(object));
}
#else
inline void kavexHandOff(const void*) {}
inline void kavexTakeOver(const void*) {}
#endif

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
