#include "MulPlaySession.h"
#include "LogCategories.h"

#include "Clock.h"
#include "InprocPlaybackSession.h"
#include "PlaybackSession.h"

#include <QDebug>
#include <QRegularExpression>

namespace {
const int kTimerIntervalMs = 200;
const quint64 kLongestUnitMs = 60000;

bool isUnit(const NTPTimestamp& begin, const NTPTimestamp& end)
{
    return begin < end && (end - begin).toMilliseconds() < kLongestUnitMs;
}
}  // namespace

MulPlaySession::MulPlaySession(Clock& clock, SessionMaker maker, QObject* parent)
    : PlaybackSessionIf(parent)
    , m_clock(clock)
    , m_maker(maker ? std::move(maker) : SessionMaker(&MulPlaySession::makeSession))
{
    NTPTimestamp::registerMetaType();
    qRegisterMetaType<SharedPoolBuffer>("SharedPoolBuffer");
    m_timer.setInterval(kTimerIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &MulPlaySession::onTimer);
}

MulPlaySession::MulPlaySession() : MulPlaySession(Clock::system()) {}

MulPlaySession::~MulPlaySession()
{
    m_timer.stop();
    // The children's threads end here, before the state their answers would touch.
    KavexLocker lock(&m_lock);
    m_locations.clear();
}

QString MulPlaySession::prefix() const
{
    return m_streamDetail.isEmpty() ? QString() : m_streamDetail + QStringLiteral(": ");
}

bool MulPlaySession::isServerLocation(const QString& location, QString* host, quint16* port)
{
    // A bracketed IPv6 address, or a host name or IPv4 address of two
    // characters or more (so that a drive letter stays a path), then a port.
    static const QRegularExpression pattern(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9.-]{2,})):(\\d{1,5})$"));
    const QRegularExpressionMatch m = pattern.match(location);
    if (!m.hasMatch())
        return false;
    const uint p = m.captured(3).toUInt();
    if (p == 0 || p > 65535)
        return false;
    if (host)
        *host = m.captured(1).isEmpty() ? m.captured(2) : m.captured(1);
    if (port)
        *port = quint16(p);
    return true;
}

MulPlaySession::MadeSession MulPlaySession::makeSession(const QString& location, const QString& token,
                                                        const QString& stream, const QString& detail)
{
    QString host;
    quint16 port = 0;
    if (isServerLocation(location, &host, &port))
        return makeServerSession(host, port, token, stream, detail);
    auto session = std::make_unique<InprocPlaybackSession>();
    InprocPlaybackSession* s = session.get();
    return {std::move(session),
            [s, location, stream, detail] { s->init(location, QString(), stream, detail, false, false); }};
}

// The unit-server session for HOST:PORT locations, with the call that starts it.
MulPlaySession::MadeSession MulPlaySession::makeServerSession(const QString& host, quint16 port, const QString& token,
                                                              const QString& stream, const QString& detail)
{
    auto session = std::make_unique<PlaybackSession>();
    PlaybackSession* s = session.get();
    return {std::move(session),
            [s, host, port, token, stream, detail] { s->init(host, stream, detail, token, port, false); }};
}

bool MulPlaySession::init(const QString& locations, const QString& token, const QString& streamName,
                          const QString& streamDetail)
{
    Outbox out;
    {
        KavexLocker lock(&m_lock);
        if (m_initialised) {
            qCWarning(lcKavexRecording).noquote() << prefix() + "MulPlaySession::init: Already initialised";
            return false;
        }
        m_initialised = true;
        m_streamDetail = streamDetail;
        for (const QString& part : locations.split(';')) {
            const QString name = part.trimmed();
            if (name.isEmpty())
                continue;
            m_locations.emplace_back();
            Location& location = m_locations.back();
            location.name = name;
            MadeSession made = m_maker(name, token, streamName, streamDetail);
            location.session = std::move(made.session);
            const int index = int(m_locations.size()) - 1;
            if (!location.session) {
                location.state = 0;
                continue;
            }
            PlaybackSessionIf* s = location.session.get();
            // Queued: answers are handled one at a time on this thread, never inside a call into a child.
            connect(
                s, &PlaybackSessionIf::playbackSessionState, this,
                [this, index](bool state) { onChildState(index, state); }, Qt::QueuedConnection);
            connect(
                s, &PlaybackSessionIf::onStreamInfo, this,
                [this, index](const QString& info) { onChildInfo(index, info); }, Qt::QueuedConnection);
            connect(
                s, &PlaybackSessionIf::onUnit, this,
                [this, index](const quint64& id, const QString& sdp, const NTPTimestamp& begin, const NTPTimestamp& end,
                              const SharedPoolBuffer& data) { onChildUnit(index, id, sdp, begin, end, data); },
                Qt::QueuedConnection);
            if (made.start)
                made.start();
        }
        if (m_locations.empty())
            qCWarning(lcKavexRecording).noquote()
                << prefix() + QStringLiteral("MulPlaySession::init: No location in '%1'").arg(locations);
        updateState(&out);
    }
    if (out.state == 0) {
        // Reported from the event loop, as the children report theirs.
        QMetaObject::invokeMethod(
            this, [this] { emit playbackSessionState(false); }, Qt::QueuedConnection);
        return false;
    }
    return true;
}

bool MulPlaySession::usable(int location, quint64 nowUs) const
{
    const Location& l = m_locations[size_t(location)];
    return l.session && l.state == 1 && nowUs >= l.skipUntilUs;
}

void MulPlaySession::failLocation(int location, const QString& why, quint64 nowUs)
{
    Location& l = m_locations[size_t(location)];
    l.skipUntilUs = nowUs + SKIP_US;
    qCWarning(lcKavexRecording).noquote()
        << prefix() +
               QStringLiteral("MulPlaySession: %1 %2; leaving it out for %3 s").arg(l.name, why).arg(SKIP_US / 1000000);
    if (!m_failed.contains(location))
        m_failed.append(location);
}

void MulPlaySession::dropFailed(quint64 nowUs, Outbox* out)
{
    // Moving a request on may fail another location, which is then dropped in turn.
    while (!m_failed.isEmpty()) {
        const int location = m_failed.takeFirst();
        QList<quint64> lost;
        for (auto it = m_subs.cbegin(); it != m_subs.cend(); ++it)
            if (it->location == location)
                lost.append(it.key());
        for (quint64 subTid : lost) {
            const SubRequest sub = m_subs.take(subTid);
            subAnswered(sub.request, location, false, QString(), NTPTimestamp(), NTPTimestamp(), SharedPoolBuffer(),
                        nowUs, out);
        }
    }
}

bool MulPlaySession::send(quint64 key, int location, quint64 nowUs)
{
    UnitRequest& request = m_requests[key];
    const quint64 subTid = m_nextKey++;
    m_subs.insert(subTid, SubRequest{key, location, nowUs + m_answerTimeoutUs});
    if (m_locations[size_t(location)].session->requestUnit(subTid, request.ts, request.type)) {
        ++request.outstanding;
        return true;
    }
    m_subs.remove(subTid);
    failLocation(location, QStringLiteral("refused a request"), nowUs);
    return false;
}

bool MulPlaySession::dispatch(quint64 key, quint64 nowUs)
{
    const int count = int(m_locations.size());
    if (m_requests[key].type == RequestCurrent) {
        // One location at a time, the next one after the last asked.
        for (int i = 0; i < count; ++i) {
            if (m_requests[key].tried.contains(i) || !usable(i, nowUs))
                continue;
            m_requests[key].tried.append(i);
            if (send(key, i, nowUs))
                return true;
        }
        return false;
    }
    for (int i = 0; i < count; ++i)
        if (usable(i, nowUs))
            send(key, i, nowUs);
    return m_requests[key].outstanding > 0;
}

void MulPlaySession::subAnswered(quint64 key, int location, bool unit, const QString& sdp, const NTPTimestamp& begin,
                                 const NTPTimestamp& end, const SharedPoolBuffer& data, quint64 nowUs, Outbox* out)
{
    auto it = m_requests.find(key);
    if (it == m_requests.end())
        return;
    UnitRequest& r = *it;
    --r.outstanding;
    if (unit) {
        bool better = !r.found;
        if (r.found && r.type == RequestNext)
            better = begin < r.begin || (begin == r.begin && location < r.foundAt);
        else if (r.found && r.type == RequestPrevious)
            better = r.begin < begin || (begin == r.begin && location < r.foundAt);
        if (better) {
            r.found = true;
            r.foundAt = location;
            r.sdp = sdp;
            r.begin = begin;
            r.end = end;
            r.data = data;
        }
    }
    if (r.outstanding > 0)
        return;
    if (!r.found && r.type == RequestCurrent && dispatch(key, nowUs))
        return;
    const UnitRequest done = m_requests.take(key);
    if (done.found)
        out->units.append(UnitAnswer{done.tid, done.sdp, done.begin, done.end, done.data});
    else
        out->units.append(UnitAnswer{done.tid, QString(), done.ts, done.ts, SharedPoolBuffer()});
}

bool MulPlaySession::requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type)
{
    Outbox out;
    bool accepted = false;
    {
        KavexLocker lock(&m_lock);
        const quint64 now = m_clock.monotonicUs();
        const quint64 key = m_nextKey++;
        UnitRequest request;
        request.tid = tid;
        request.ts = ts;
        request.type = type;
        m_requests.insert(key, request);
        accepted = dispatch(key, now);
        if (!accepted)
            m_requests.remove(key);
        dropFailed(now, &out);
    }
    flush(out);
    if (accepted)
        armTimer();
    return accepted;
}

void MulPlaySession::requestStreamInfo()
{
    Outbox out;
    {
        KavexLocker lock(&m_lock);
        const quint64 now = m_clock.monotonicUs();
        InfoRequest info;
        info.deadlineUs = now + m_answerTimeoutUs;
        for (int i = 0; i < int(m_locations.size()); ++i) {
            const Location& l = m_locations[size_t(i)];
            if (usable(i, now)) {
                info.awaited.append(i);
                l.session->requestStreamInfo();
            } else if (l.session && l.state == -1) {
                info.awaited.append(i);
                info.deferred.append(i);
            }
        }
        m_infos.append(info);
        finishInfo(&out);
    }
    flush(out);
    armTimer();
}

void MulPlaySession::finishInfo(Outbox* out)
{
    while (!m_infos.isEmpty() && m_infos.first().awaited.isEmpty()) {
        const InfoRequest info = m_infos.takeFirst();
        out->infos.append(info.end == 0 ? QStringLiteral("0-0")
                                        : QStringLiteral("%1-%2").arg(info.begin).arg(info.end));
    }
}

void MulPlaySession::updateState(Outbox* out)
{
    int state = 0;
    for (const Location& l : m_locations) {
        if (l.state == 1) {
            state = 1;
            break;
        }
        if (l.state == -1)
            state = -1;
    }
    if (state != -1 && state != m_reportedState) {
        m_reportedState = state;
        out->state = state;
    }
}

void MulPlaySession::armTimer()
{
    // Runs at once on the session's thread, else from its event loop.
    QMetaObject::invokeMethod(this, [this] {
        if (!m_timer.isActive())
            m_timer.start();
    });
}

void MulPlaySession::flush(const Outbox& out)
{
    if (out.state != -1)
        emit playbackSessionState(out.state == 1);
    for (const QString& info : out.infos)
        emit onStreamInfo(info);
    for (const UnitAnswer& u : out.units)
        emit onUnit(u.tid, u.sdp, u.begin, u.end, u.data);
}

void MulPlaySession::onChildState(int location, bool state)
{
    Outbox out;
    {
        KavexLocker lock(&m_lock);
        Location& l = m_locations[size_t(location)];
        l.state = state ? 1 : 0;
        // A session that reports again has started over: answers it still owed are not coming.
        l.staleInfoAnswers = 0;
        for (InfoRequest& info : m_infos) {
            if (info.deferred.removeOne(location) && state)
                l.session->requestStreamInfo();
            else if (!state)
                info.awaited.removeOne(location);
        }
        finishInfo(&out);
        if (state)
            l.skipUntilUs = 0;
        else
            failLocation(location, QStringLiteral("failed"), m_clock.monotonicUs());
        dropFailed(m_clock.monotonicUs(), &out);
        updateState(&out);
    }
    flush(out);
}

void MulPlaySession::onChildInfo(int location, const QString& info)
{
    Outbox out;
    {
        KavexLocker lock(&m_lock);
        Location& l = m_locations[size_t(location)];
        if (l.staleInfoAnswers > 0) {
            --l.staleInfoAnswers;
            return;
        }
        for (InfoRequest& r : m_infos) {
            if (!r.awaited.removeOne(location))
                continue;
            const QStringList span = info.split('-');
            const quint64 begin = span.value(0).toULongLong(), end = span.value(1).toULongLong();
            if (span.size() == 2 && end > 0 && begin <= end) {
                r.begin = r.end == 0 ? begin : std::min(r.begin, begin);
                r.end = std::max(r.end, end);
            }
            break;
        }
        finishInfo(&out);
    }
    flush(out);
}

void MulPlaySession::onChildUnit(int location, quint64 subTid, const QString& sdp, const NTPTimestamp& begin,
                                 const NTPTimestamp& end, const SharedPoolBuffer& data)
{
    Outbox out;
    {
        KavexLocker lock(&m_lock);
        auto it = m_subs.find(subTid);
        // An answer after its request was given up on is dropped.
        if (it == m_subs.end() || it->location != location)
            return;
        const SubRequest sub = *it;
        m_subs.erase(it);
        const quint64 now = m_clock.monotonicUs();
        subAnswered(sub.request, location, isUnit(begin, end), sdp, begin, end, data, now, &out);
        dropFailed(now, &out);
    }
    flush(out);
}

void MulPlaySession::onTimer()
{
    Outbox out;
    {
        KavexLocker lock(&m_lock);
        const quint64 now = m_clock.monotonicUs();
        QList<int> late;
        for (const SubRequest& sub : qAsConst(m_subs))
            if (sub.deadlineUs <= now && !late.contains(sub.location))
                late.append(sub.location);
        for (InfoRequest& info : m_infos) {
            if (info.deadlineUs > now)
                continue;
            for (int location : qAsConst(info.awaited)) {
                if (info.deferred.contains(location))
                    continue;  // never asked: not ready yet
                ++m_locations[size_t(location)].staleInfoAnswers;
                if (!late.contains(location))
                    late.append(location);
            }
            info.awaited.clear();
            info.deferred.clear();
        }
        const QString why = QStringLiteral("did not answer within %1 ms").arg(m_answerTimeoutUs / 1000);
        for (int location : qAsConst(late))
            failLocation(location, why, now);
        dropFailed(now, &out);
        finishInfo(&out);
        if (m_subs.isEmpty() && m_infos.isEmpty())
            m_timer.stop();
    }
    flush(out);
}
