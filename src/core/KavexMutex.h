#pragma once

#include <mutex>
#include <pthread.h>

// The library's locks. They are standard mutexes on purpose: thread checkers
// see them, while the system's Qt mutexes synchronise through futexes that a
// checker cannot follow. Wait conditions pair with std::condition_variable_any.
using KavexMutex = std::mutex;
using KavexRecursiveMutex = std::recursive_mutex;

// A priority-inheritance mutex for the locks the real-time mixer thread takes
// every tick: a thread of ordinary priority holding it runs at the priority of
// the highest waiter until it unlocks, so the mixer thread is not kept waiting
// by a lower-priority holder that the scheduler has preempted. Where the
// system cannot make such a mutex it is an ordinary one. Thread checkers see
// it like any pthread mutex; it works with KavexLocker and
// std::condition_variable_any. `Recursive` lets the holder lock it again.
template <bool Recursive>
class KavexPiMutexT
{
public:
    KavexPiMutexT()
    {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        if (Recursive)
            pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
        if (pthread_mutex_init(&m_mutex, &attributes) != 0) {
            pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_NONE);
            pthread_mutex_init(&m_mutex, &attributes);
        }
        pthread_mutexattr_destroy(&attributes);
    }
    ~KavexPiMutexT() { pthread_mutex_destroy(&m_mutex); }
    KavexPiMutexT(const KavexPiMutexT&) = delete;
    KavexPiMutexT& operator=(const KavexPiMutexT&) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    bool try_lock() { return pthread_mutex_trylock(&m_mutex) == 0; }
    void unlock() { pthread_mutex_unlock(&m_mutex); }

private:
    pthread_mutex_t m_mutex;
};
using KavexPiMutex = KavexPiMutexT<false>;
using KavexPiRecursiveMutex = KavexPiMutexT<true>;

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
