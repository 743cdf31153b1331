#pragma once

#include "CutUnit.h"
#include "KavexMutex.h"
#include "UnitSealer.h"

#include <QHash>
#include <QString>
#include <QVector>

#include <condition_variable>
#include <thread>

class Clock;
class RecordingStore;

// Writes the recorder's units to the store on a thread of its own, so that
// the network thread never waits for the disk: units submitted meanwhile are
// sealed and written together, in one transaction.
class UnitWriter
{
public:
    // Opens (or creates) the store at `path` on the writer's thread. Throws
    // std::runtime_error with the reason when the store cannot be used.
    UnitWriter(const QString& path, const std::vector<QByteArray>& publicKeys, Clock& clock);
    // Writes what is still queued, then stops.
    ~UnitWriter();
    UnitWriter(const UnitWriter&) = delete;
    UnitWriter& operator=(const UnitWriter&) = delete;

    // Any thread.
    void submit(const QVector<CutUnit>& units);
    // Blocks until every unit submitted before has been written or given up.
    void waitUntilWritten();
    quint64 unitsWritten() const;

private:
    void run(const QString& path);
    void write(RecordingStore& store, QVector<CutUnit>& batch);

    UnitSealer m_sealer;
    Clock& m_clock;
    // Used on the writer thread only.
    QHash<QString, qint64> m_streamIds;

    // Guards everything below (writer thread and submitting threads).
    mutable KavexMutex m_lock;
    std::condition_variable_any m_wake;
    std::condition_variable_any m_progress;
    QVector<CutUnit> m_queue;
    quint64 m_submitted = 0;
    quint64 m_finished = 0;
    quint64 m_written = 0;
    bool m_opened = false;
    QString m_openError;
    bool m_stop = false;
    std::thread m_thread;
};
