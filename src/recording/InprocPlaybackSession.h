#pragma once

#include "KavexMutex.h"
#include "PlaybackSessionIf.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>

class RecordingStore;
class SharedBufferPool;

// Plays one stream of a recording store in this process. init() starts a
// worker thread of the session's own, which opens the store and answers
// every request there, in order: the caller (a playback channel's thread)
// never waits for the database. Each accepted unit request gets exactly one
// onUnit; a unit that is not there comes with begin == end == the requested
// time. Warnings start with the stream detail given to init().
class InprocPlaybackSession : public PlaybackSessionIf
{
    Q_OBJECT
public:
    explicit InprocPlaybackSession(QObject* parent = nullptr);
    ~InprocPlaybackSession() override;

    // store: the store's file path or postgresql:// location (empty:
    // "recordings.db" in the data directory); unused: not used; streamName: the recorded stream;
    // streamDetail: prefixes the session's warnings. The two flags are not
    // used. Reports playbackSessionState(true) once the store is open, false
    // (with one warning) when it cannot be opened. False when called twice.
    bool init(const QString& store, const QString& unused, const QString& streamName, const QString& streamDetail,
              bool unusedFlag1, bool unusedFlag2);

    void requestStreamInfo() override;
    // Refused once the session has failed, and before init().
    bool requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type) override;

private:
    enum State { STATE_IDLE, STATE_OPENING, STATE_READY, STATE_FAILED };
    struct Request {
        bool streamInfo;
        quint64 tid;
        NTPTimestamp ts;
        UnitRequestType type;
    };

    void enqueue(const Request& request);
    // The worker thread.
    void run(const QString& path);
    void answer(RecordingStore* store, qint64 streamId, const Request& request);
    QString prefix() const;

    QString m_streamName;
    QString m_streamDetail;
    std::atomic<int> m_state{STATE_IDLE};
    SharedBufferPool* m_pool;
    std::thread m_worker;

    // Guards the request queue and the stop flag (worker and callers).
    KavexMutex m_lock;
    std::condition_variable_any m_wake;
    std::deque<Request> m_requests;
    bool m_stop = false;
};
