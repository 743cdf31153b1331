#pragma once

#include "AudioFrameQueue.h"
#include "Channel.h"
#include "KavexMutex.h"
#include "PlaybackMember.h"
#include "PlaybackSessionIf.h"
#include "SharedPoolBuffer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class Decoder;
class QThread;
class StreamUnitDecrypter;
class ThreadWakeup;

// The mixer input for one recorded audio stream. It owns a recording session
// that delivers the recording unit by unit, removes each unit's encryption
// (an undecryptable unit becomes an audible marker tone), decodes it with the
// decoder its SDP names and queues the audio by NTP time. The mixer thread
// takes one frame per tick for the range its playback group names; each take
// wakes the channel's thread, which keeps half a second of audio queued by
// requesting the next unit (the previous one in reverse). Only one request is
// outstanding at the session; later ones wait in a pending list, and a seek
// supersedes the requests before it.
//
// Threads: the channel lives on a thread of its own, started by the
// constructor, which receives the session's signals (queued) and decodes.
// getData runs on the mixer thread and touches only the queue, the flags and
// the wake-up. The group's operations run on the caller's thread and take the
// channel's lock. Delete it (deleteThis) from any thread but its own.
class PlaybackChannel : public QObject, public Channel, public PlaybackMember
{
    Q_OBJECT
public:
    using UnitRequestType = PlaybackSessionIf::UnitRequestType;
    // The session's own start-up call (its init with the host's strings).
    using SessionInit = std::function<bool()>;

    // Ids of retries after a missing unit carry this bit.
    static constexpr quint64 RETRY_ID_BIT = quint64(1) << 63;
    // Audio kept queued before another unit is requested: 0.5 s.
    static constexpr int FILL_BYTES = 48000;

    PlaybackChannel();

    // Takes `session` over, listens to its signals, runs `init` and returns
    // its result. streamName / streamDetail name the stream in reports and
    // warnings: for a PlaybackSession the host's second and third strings,
    // for the other session kinds its third and fourth. The channel is then
    // heard on both sides at `volume`, and decrypts with `keys` besides the
    // host's token providers. Called once, right after construction.
    bool openSession(std::unique_ptr<PlaybackSessionIf> session, const SessionInit& init, const QString& streamName,
                     const QString& streamDetail, double volume, const std::vector<QByteArray>& keys);
    void setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys);

    // Channel
    eSampleRate getSampleRate() override;
    void deleteThis() override;
    void getData(NTPRange range, unsigned char* buffer) override;
    // Not supported: recorded audio is served by time range only.
    void getData(unsigned char* buffer, quint64 count) override;
    void shutdown() override;
    NTPTimestamp getCurrentTimestamp() override;
    bool isActive() override;
    void setActive(bool active) override;

    // PlaybackMember
    void requestPosition(const NTPTimestamp& ts) override;
    void setReverse(bool reverse) override;
    void setPlaybackRange(const NTPRange& range) override;
    void setInterpretPause(bool interpret) override;
    bool hasStreamInfo() const override;
    QString streamInfo() const override;
    QString streamName() const override;

    // The marker tone that stands in for `count` undecryptable A-law bytes
    // (8 kHz): a 440 Hz ping fading out over 125 ms, once a second.
    static QByteArray markerTone(int count);

signals:
    void streamInfo(const QString& streamInfo, const QString& streamName);
    void outOfData();
    void sigFetchNewAsync(NTPTimestamp ts);

public slots:
    void onFetchNewAsync(NTPTimestamp ts);
    void onPlaybackSessionState(bool state);
    void onStreamInfo(const QString& streamInfo);
    void onUnit(const quint64& id, const QString& sdp_, const NTPTimestamp& absNtpTimeBegin,
                const NTPTimestamp& absNtpTimeEnd, const SharedPoolBuffer& data_);

protected:
    ~PlaybackChannel() override;
    // The decoded audio, for inspection.
    AudioFrameQueue& frameQueue() { return m_queue; }

private:
    struct PendingRequest {
        quint64 id;
        NTPTimestamp time;
        UnitRequestType type;
    };

    bool requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type);
    // Kept before it is reported: a group that joins after the report reads it here.
    void rememberStreamInfo(const QString& info);
    void fetchNew(const NTPTimestamp& ts);
    void onWoken();
    quint64 nextRequestId();
    // "name/detail", the start of every warning.
    QString prefix() const;
    SharedPoolBuffer decrypt(const SharedPoolBuffer& data);
    // Pending-list bookkeeping for the answer `id`; false when the unit's
    // audio is not to be used (m_lock held by the caller).
    bool settleRequest(quint64 id);
    void decodeAndQueue(const QString& sdp, const NTPRange& range, const SharedPoolBuffer& data);

    // Channel thread only (set once by openSession before anything arrives).
    std::unique_ptr<PlaybackSessionIf> m_session;
    std::unique_ptr<Decoder> m_decoder;
    QString m_streamName;
    QString m_streamDetail;

    // Guarded by m_decrypterLock: keys come from the host, decryption runs on
    // the channel thread.
    KavexMutex m_decrypterLock;
    std::unique_ptr<StreamUnitDecrypter> m_decrypter;
    std::vector<QByteArray> m_keys;

    AudioFrameQueue m_queue;  // locks itself

    // Guarded by m_lock: the requests sent (front) and waiting, the time of
    // the last answered request (or the position parked until the session is
    // ready), the playback range and the reported stream information.
    mutable KavexPiRecursiveMutex m_lock;
    QList<PendingRequest> m_setPendingReq;
    NTPTimestamp m_timeSaved;
    NTPRange m_playbackRange;
    QString m_streamInfo;
    bool m_hasStreamInfo = false;

    // Written by the group or the channel thread, read by the mixer thread.
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_sessionReady{false};
    std::atomic<bool> m_interpretPause{true};
    std::atomic<bool> m_reverse{false};
    std::atomic<quint64> m_requestCounter{0};
    // The time the mixer thread last asked the channel to fetch for.
    std::atomic<quint64> m_fetchTime{0};

    // The channel's thread; m_wakeup lives on it. m_threadEndLock is taken by
    // the thread as it ends and by the destructor after waiting for it.
    std::unique_ptr<QThread> m_thread;
    KavexMutex m_threadEndLock;
    ThreadWakeup* m_wakeup;
};
