#include "InprocPlaybackSession.h"
#include "LogCategories.h"

#include "Clock.h"
#include "RecordingStore.h"
#include "SharedBufferPool.h"
#include "StoreLocation.h"
#include "StreamInfoText.h"

#include <QDebug>

#include <cstring>

InprocPlaybackSession::InprocPlaybackSession(QObject* parent) : PlaybackSessionIf(parent), m_pool(new SharedBufferPool)
{
    NTPTimestamp::registerMetaType();
    qRegisterMetaType<SharedPoolBuffer>("SharedPoolBuffer");
}

InprocPlaybackSession::~InprocPlaybackSession()
{
    {
        KavexLocker lock(&m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    m_pool->release();
}

QString InprocPlaybackSession::prefix() const
{
    return m_streamDetail.isEmpty() ? QString() : m_streamDetail + QStringLiteral(": ");
}

bool InprocPlaybackSession::init(const QString& store, const QString&, const QString& streamName,
                                 const QString& streamDetail, bool, bool)
{
    int expected = STATE_IDLE;
    if (!m_state.compare_exchange_strong(expected, STATE_OPENING)) {
        qCWarning(lcKavexRecording).noquote() << prefix() + "InprocPlaybackSession::init: Already initialised";
        return false;
    }
    m_streamName = streamName;
    m_streamDetail = streamDetail;
    m_worker = std::thread([this, path = StoreLocation::resolve(store)] { run(path); });
    return true;
}

void InprocPlaybackSession::enqueue(const Request& request)
{
    {
        KavexLocker lock(&m_lock);
        m_requests.push_back(request);
    }
    m_wake.notify_one();
}

void InprocPlaybackSession::requestStreamInfo()
{
    if (m_state.load() != STATE_IDLE)
        enqueue({true, 0, NTPTimestamp(), RequestCurrent});
}

bool InprocPlaybackSession::requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type)
{
    const int state = m_state.load();
    if (state == STATE_IDLE || state == STATE_FAILED)
        return false;
    enqueue({false, tid, ts, type});
    return true;
}

void InprocPlaybackSession::run(const QString& path)
{
    RecordingStore store(Clock::system());
    qint64 streamId = 0;
    if (!store.open(path, RecordingStore::OPEN_EXISTING)) {
        qCWarning(lcKavexRecording).noquote()
            << prefix() + "InprocPlaybackSession::init: Cannot play" << m_streamName << "from" << store.errorText();
        m_state.store(STATE_FAILED);
        emit playbackSessionState(false);
    } else {
        streamId = store.findStream(m_streamName);
        if (streamId == 0)
            qCWarning(lcKavexRecording).noquote()
                << prefix() + "InprocPlaybackSession::init: No stream" << m_streamName << "in" << path;
        m_state.store(STATE_READY);
        emit playbackSessionState(true);
    }
    for (;;) {
        Request request;
        {
            KavexLocker lock(&m_lock);
            while (!m_stop && m_requests.empty())
                m_wake.wait(lock);
            if (m_stop)
                return;
            request = m_requests.front();
            m_requests.pop_front();
        }
        answer(store.isOpen() && streamId > 0 ? &store : nullptr, streamId, request);
    }
}

void InprocPlaybackSession::answer(RecordingStore* store, qint64 streamId, const Request& request)
{
    if (request.streamInfo) {
        const NTPRange span = store ? store->streamSpan(streamId) : NTPRange();
        emit onStreamInfo(streamInfoText(span));
        return;
    }
    RecordedUnit unit;
    if (!store || !store->findUnit(streamId, request.ts, request.type, &unit)) {
        emit onUnit(request.tid, QString(), request.ts, request.ts, SharedPoolBuffer());
        return;
    }
    SharedPoolBuffer data = m_pool->getBuffer();
    const int size = unit.payload.size();
    std::memcpy(data.getVariableBuffer()->getBuffer(size), unit.payload.constData(), size_t(size));
    emit onUnit(request.tid, unit.sdp, unit.begin, unit.end, data);
}
