#pragma once

#include "KavexMutex.h"
#include "PlaybackSessionIf.h"

#include <QHash>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class Clock;

// Plays one stream that several locations keep at once (installations that
// record twice): each location is a recording store or a unit server, each
// served by a session of its own (a child). The session is ready while at
// least one child is ready, and failed once every child has failed.
//
// How a unit request is served:
//  - RequestCurrent goes to the usable locations one after another, in the
//    order given, until one answers with a unit.
//  - RequestNext and RequestPrevious go to every usable location at once; the
//    answer is the unit with the earliest begin (next) or the latest begin
//    (previous), the earlier location winning a tie. Taking the first
//    location's answer would skip units: inside a stretch that one location
//    lacks, it names the unit after the stretch, while another location still
//    has the units within it. This gives the union of the locations' units
//    in time order as long as they cut the stream at the same times, which
//    recorders of one source do.
//  - A unit is missing when begin >= end or it lasts 60 s or more. When no
//    location has one, the answer is a missing unit at the requested time.
//  - Every accepted request gets exactly one onUnit. A request is refused
//    only when no usable location takes it.
// A location fails when its session reports failure, refuses a request or
// does not answer within the answer timeout; it is then skipped for 10 s
// (by the injected clock) and, if its session is ready again, used again.
// Stream information is the union of the spans of the usable locations and
// of those still opening, which are asked once they are ready; so by the
// time the channel asks for its first unit, every location that opens
// within the answer timeout takes part.
//
// Lives on its playback channel's thread, which runs an event loop: the
// children's signals and the timeout check arrive there, queued; nothing
// waits. Requests may come from other threads (m_lock).
class MulPlaySession : public PlaybackSessionIf
{
    Q_OBJECT
public:
    // A location's session, and what starts it: called once its signals are
    // connected, as it may report at once from a thread of its own.
    struct MadeSession {
        std::unique_ptr<PlaybackSessionIf> session;
        std::function<void()> start;
    };
    // Makes the session for one location; a null session when it cannot be
    // made (the location then counts as failed for good).
    using SessionMaker = std::function<MadeSession(const QString& location, const QString& token, const QString& stream,
                                                   const QString& detail)>;

    static constexpr quint64 SKIP_US = 10000000;  // how long a failed location is left out
    static constexpr int DEFAULT_ANSWER_TIMEOUT_MS = 3000;

    // The default maker: a store session for store locations, a unit-server
    // session for HOST:PORT and [V6ADDR]:PORT.
    explicit MulPlaySession(Clock& clock, SessionMaker maker = SessionMaker(), QObject* parent = nullptr);
    MulPlaySession();
    ~MulPlaySession() override;

    // locations: separated by ';' (store paths or postgresql:// URLs, or
    // HOST:PORT of unit servers); token: the servers' access token;
    // streamName: the recorded stream; streamDetail: prefixes the warnings.
    // False when there is no location or the session was initialised before.
    bool init(const QString& locations, const QString& token, const QString& streamName, const QString& streamDetail);
    void setAnswerTimeoutMs(int ms) { m_answerTimeoutUs = quint64(ms) * 1000; }

    void requestStreamInfo() override;
    bool requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type) override;

    // Whether `location` names a unit server, and its host and port.
    static bool isServerLocation(const QString& location, QString* host = nullptr, quint16* port = nullptr);

private:
    struct Location {
        QString name;
        std::unique_ptr<PlaybackSessionIf> session;
        int state = -1;            // last reported state: -1 none yet, 0 failed, 1 ready
        quint64 skipUntilUs = 0;   // left out until the clock reaches this
        int staleInfoAnswers = 0;  // stream information answers to drop (their request timed out)
    };
    struct UnitRequest {
        quint64 tid;
        NTPTimestamp ts;
        UnitRequestType type;
        QList<int> tried;     // RequestCurrent: locations asked so far
        int outstanding = 0;  // sub-requests not yet answered
        bool found = false;
        int foundAt = 0;  // the location of the chosen unit
        QString sdp;
        NTPTimestamp begin, end;
        SharedPoolBuffer data;
    };
    struct SubRequest {
        quint64 request;  // key in m_requests
        int location;
        quint64 deadlineUs;
    };
    struct InfoRequest {
        QList<int> awaited;   // asked, or to be asked once ready (deferred)
        QList<int> deferred;  // not ready yet when asked
        quint64 deadlineUs;
        quint64 begin = 0, end = 0;
    };
    struct UnitAnswer {
        quint64 tid;
        QString sdp;
        NTPTimestamp begin, end;
        SharedPoolBuffer data;
    };
    // What is to be emitted once the lock is released.
    struct Outbox {
        QList<UnitAnswer> units;
        QStringList infos;
        int state = -1;
    };

    static MadeSession makeSession(const QString& location, const QString& token, const QString& stream,
                                   const QString& detail);
    static MadeSession makeServerSession(const QString& host, quint16 port, const QString& token, const QString& stream,
                                         const QString& detail);

    bool usable(int location, quint64 nowUs) const;
    // Leaves the location out for a while; its outstanding requests move on in dropFailed().
    void failLocation(int location, const QString& why, quint64 nowUs);
    void dropFailed(quint64 nowUs, Outbox* out);
    // Sends the request to its next location(s); false when there is none left.
    bool dispatch(quint64 key, quint64 nowUs);
    bool send(quint64 key, int location, quint64 nowUs);
    void subAnswered(quint64 key, int location, bool unit, const QString& sdp, const NTPTimestamp& begin,
                     const NTPTimestamp& end, const SharedPoolBuffer& data, quint64 nowUs, Outbox* out);
    void finishInfo(Outbox* out);
    void updateState(Outbox* out);
    void armTimer();
    void flush(const Outbox& out);

    void onChildState(int location, bool state);
    void onChildInfo(int location, const QString& info);
    void onChildUnit(int location, quint64 subTid, const QString& sdp, const NTPTimestamp& begin,
                     const NTPTimestamp& end, const SharedPoolBuffer& data);
    void onTimer();
    QString prefix() const;

    Clock& m_clock;
    const SessionMaker m_maker;
    QTimer m_timer;  // checks the answer deadlines while anything is outstanding
    QString m_streamDetail;

    // Guarded by m_lock (requests may come from any thread; answers arrive on the session's thread).
    mutable KavexRecursiveMutex m_lock;
    bool m_initialised = false;
    quint64 m_answerTimeoutUs = quint64(DEFAULT_ANSWER_TIMEOUT_MS) * 1000;
    std::vector<Location> m_locations;
    int m_reportedState = -1;
    quint64 m_nextKey = 1;
    QHash<quint64, UnitRequest> m_requests;  // by our key
    QHash<quint64, SubRequest> m_subs;       // by the tid given to the child
    QList<InfoRequest> m_infos;              // in order of asking
    QList<int> m_failed;                     // failed locations whose requests are still to move on
};
