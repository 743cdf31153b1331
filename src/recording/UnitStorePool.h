#pragma once

#include "KavexMutex.h"
#include "UnitProtocol.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

// The worker threads of a unit server: each opens its own connection to the
// store (store connections belong to one thread) and answers requests from
// one shared queue. An answer goes, already framed, to the callback, on the
// worker's thread.
class UnitStorePool
{
public:
    // Takes the answer over: the worker keeps no reference to it once delivered.
    using Deliver = std::function<void(quint64 connection, QByteArray framed)>;

    UnitStorePool(const QString& storePath, int workers, Deliver deliver);
    ~UnitStorePool();
    void submit(quint64 connection, const UnitProtocol::Message& request);

    // The answer to one request on an open store; pure apart from the store.
    static UnitProtocol::Message answer(class RecordingStore* store, const UnitProtocol::Message& request);

private:
    struct Job {
        quint64 connection;
        UnitProtocol::Message request;
    };
    void run();

    const QString m_path;
    const Deliver m_deliver;
    std::vector<std::thread> m_threads;

    // Guards the job queue and the stop flag (the server's network thread and the workers).
    KavexMutex m_lock;
    std::condition_variable_any m_wake;
    std::deque<Job> m_jobs;
    bool m_stop = false;
};
