#include "PlaybackChannel.h"
#include "LogCategories.h"

#include "Decoder.h"
#include "FeatureList.h"
#include "KavexAssert.h"
#include "MarkerTone.h"
#include "StreamUnitDecrypter.h"
#include "ThreadEnd.h"
#include "ThreadWakeup.h"

#include <QDebug>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {
// Audio further outside a requested range than this is not taken for it.
const NTPTimestamp kQueueTolerance = NTPTimestamp::fromMilliseconds(20);
// A unit this long or longer is the session's way of saying "no such unit".
const quint64 kMaxUnitUs = 60000000;
// Decoded audio may come out longer than the unit's span says.
const double kDecodeHeadroom = 2.1;
const quint64 kRequestIdMask = PlaybackChannel::RETRY_ID_BIT - 1;

// What the marker tone that replaces an undecryptable unit is.
const QString kMarkerToneSdp = QStringLiteral(
    "v=0\r\no=PlaybackSession\r\ns=Encrypted Audio Stream\r\nm=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n");
const int kMarkerToneMaxBytes = 63999;

}  // namespace

PlaybackChannel::PlaybackChannel()
    : m_queue(kQueueTolerance)
    , m_playbackRange(NTPTimestamp(0), NTPTimestamp(~quint64(0)))
    , m_thread(new QThread)
    , m_wakeup(new ThreadWakeup(this))
{
    m_volume = 1.0;
    connect(m_wakeup, &ThreadWakeup::woken, this, &PlaybackChannel::onWoken);
    // QThread::wait synchronises through Qt's own primitives, which thread
    // checkers cannot see: the thread's last act takes a standard lock that
    // the destructor takes after the wait.
    connect(
        m_thread.get(), &QThread::finished, m_thread.get(), [this] { KavexLocker<KavexMutex> lock(&m_threadEndLock); },
        Qt::DirectConnection);
    m_thread->setObjectName(QStringLiteral("PlaybackChannel"));
    moveToThread(m_thread.get());
    m_thread->start();
}

PlaybackChannel::~PlaybackChannel()
{
    KAVEX_ASSERT(QThread::currentThread() != m_thread.get());
    m_thread->quit();
    m_thread->wait();
    KavexLocker<KavexMutex> ended(&m_threadEndLock);
    // The wake-up's notifier goes with its thread's event dispatcher.
    delete m_wakeup;
}

bool PlaybackChannel::openSession(std::unique_ptr<PlaybackSessionIf> session, const SessionInit& init,
                                  const QString& streamName, const QString& streamDetail, double volume,
                                  const std::vector<QByteArray>& keys)
{
    m_session = std::move(session);
    m_streamName = streamName;
    m_streamDetail = streamDetail;
    PlaybackSessionIf* s = m_session.get();
    connect(s, &PlaybackSessionIf::playbackSessionState, this, &PlaybackChannel::onPlaybackSessionState,
            Qt::QueuedConnection);
    connect(s, &PlaybackSessionIf::onUnit, this, &PlaybackChannel::onUnit, Qt::QueuedConnection);
    connect(s, &PlaybackSessionIf::onStreamInfo, this, &PlaybackChannel::onStreamInfo, Qt::QueuedConnection);
    connect(this, &PlaybackChannel::sigFetchNewAsync, this, &PlaybackChannel::onFetchNewAsync);
    m_muteState = channel_t(0);
    m_volume = volume;

    FeatureList* features = FeatureList::globalInstance();
    CryptoTokenProvider* primary = features->getCryptoTokenProvider(true);
    CryptoTokenProvider* secondary = features->getCryptoTokenProvider(false);
    {
        KavexLocker<KavexMutex> lock(&m_decrypterLock);
        if (!features->isLocalMode() && (!primary || !secondary))
            m_decrypter.reset(new StreamUnitDecrypter());
        else
            m_decrypter.reset(new StreamUnitDecrypter(primary, secondary));
        m_keys = keys;
        m_decrypter->setListOfPossiblePrivateKeys(m_keys);
    }
    // Started last: from here on the session may answer, on another thread,
    // and the channel is ready for it. Its answers reach the channel's thread
    // through Qt's event queue, which thread checkers cannot see.
    kavexHandOff(this);
    return init ? init() : false;
}

void PlaybackChannel::setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys)
{
    KavexLocker<KavexMutex> lock(&m_decrypterLock);
    m_keys = keys;
    if (m_decrypter)
        m_decrypter->setListOfPossiblePrivateKeys(m_keys);
}

eSampleRate PlaybackChannel::getSampleRate()
{
    return SAMPLE_RATE_NONE;
}

void PlaybackChannel::deleteThis()
{
    delete this;
}

void PlaybackChannel::getData(NTPRange range, unsigned char* buffer)
{
    const bool reverse = m_reverse.load(std::memory_order_relaxed);
    if (m_interpretPause.load(std::memory_order_relaxed))
        m_queue.popNextInRange(buffer, range, reverse, false);
    else
        m_queue.popNext(buffer, range, reverse);
    // No queued signal from here: that would allocate on the mixer thread.
    // The channel's thread picks the time up and emits sigFetchNewAsync itself.
    m_fetchTime.store((reverse ? range.start() : range.end()).getRaw(), std::memory_order_release);
    m_wakeup->wake();
}

void PlaybackChannel::getData(unsigned char*, quint64)
{
    kavexAssertPrint("false", __FILE__, __LINE__);
}

void PlaybackChannel::shutdown()
{
    // On the channel's thread, so that no emission of its signals is under way.
    auto quiet = [this] {
        disconnect(this, nullptr, nullptr, nullptr);
        blockSignals(true);
    };
    if (QThread::currentThread() == thread() || !m_thread->isRunning())
        quiet();
    else
        invokeAndWait(this, quiet);
}

NTPTimestamp PlaybackChannel::getCurrentTimestamp()
{
    return m_queue.frontTimestamp();
}

bool PlaybackChannel::isActive()
{
    return m_active.load(std::memory_order_relaxed);
}

void PlaybackChannel::setActive(bool active)
{
    m_active.store(active, std::memory_order_relaxed);
}

void PlaybackChannel::setReverse(bool reverse)
{
    m_reverse.store(reverse, std::memory_order_relaxed);
    m_queue.setReverse(reverse);
}

void PlaybackChannel::setInterpretPause(bool interpret)
{
    m_interpretPause.store(interpret, std::memory_order_relaxed);
}

bool PlaybackChannel::hasStreamInfo() const
{
    KavexLocker lock(&m_lock);
    return m_hasStreamInfo;
}

QString PlaybackChannel::streamInfo() const
{
    KavexLocker lock(&m_lock);
    return m_streamInfo;
}

QString PlaybackChannel::streamName() const
{
    return m_streamName;
}

QString PlaybackChannel::prefix() const
{
    return m_streamName + QLatin1Char('/') + m_streamDetail;
}

quint64 PlaybackChannel::nextRequestId()
{
    return (m_requestCounter.fetch_add(1) + 1) & kRequestIdMask;
}

bool PlaybackChannel::requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type)
{
    qCDebug(lcKavexChannels).noquote() << "PlaybackChannel::requestUnit: tid: " << tid << "ts: " << ts.toString(false)
                                       << ", rtype: " << int(type);
    KavexLocker lock(&m_lock);
    if (m_setPendingReq.isEmpty()) {
        const bool accepted = m_session && m_session->requestUnit(tid, ts, type);
        if (accepted)
            m_setPendingReq.append({tid, ts, type});
        return accepted;
    }
    qCDebug(lcKavexChannels, "PlaybackChannel::requestUnit(): m_setPendingReq is not empty; size = %llu",
            static_cast<unsigned long long>(m_setPendingReq.size()));
    m_setPendingReq.append({tid, ts, type});
    return true;
}

void PlaybackChannel::onWoken()
{
    emit sigFetchNewAsync(NTPTimestamp(m_fetchTime.load(std::memory_order_acquire)));
}

void PlaybackChannel::onFetchNewAsync(NTPTimestamp ts)
{
    kavexTakeOver(this);
    fetchNew(ts);
}

void PlaybackChannel::fetchNew(const NTPTimestamp& ts)
{
    {
        KavexLocker lock(&m_lock);
        if (!m_playbackRange.inRange(ts)) {
            lock.unlock();
            if (!m_streamName.isEmpty() && !m_streamDetail.isEmpty())
                emit outOfData();
            return;
        }
        if (!m_setPendingReq.isEmpty())
            return;
    }
    const int queued = m_queue.size();
    if (queued >= FILL_BYTES)
        return;
    bool accepted;
    if (queued == 0) {
        qCDebug(lcKavexChannels).noquote() << "Queue going down, requesting new data 2" << ts.toString(false);
        accepted = requestUnit(nextRequestId(), ts, PlaybackSessionIf::RequestCurrent);
    } else {
        accepted = requestUnit(nextRequestId(), m_queue.lastPushTime(),
                               m_reverse ? PlaybackSessionIf::RequestPrevious : PlaybackSessionIf::RequestNext);
    }
    if (!accepted)
        qCWarning(lcKavexChannels).noquote() << prefix() + ": Failed to request unit";
}

void PlaybackChannel::requestPosition(const NTPTimestamp& ts)
{
    if (!m_sessionReady.load()) {
        KavexLocker lock(&m_lock);
        m_timeSaved = ts;
        return;
    }
    requestUnit(nextRequestId(), ts, PlaybackSessionIf::RequestCurrent);
}

void PlaybackChannel::setPlaybackRange(const NTPRange& range)
{
    KavexLocker lock(&m_lock);
    qCDebug(lcKavexChannels).noquote() << prefix() + ": m_timeSaved after Playback range"
                                       << m_timeSaved.toString(false);
    m_playbackRange = range;
    m_queue.setBounds(range);
    requestPosition(range.limitToRangeBounds(m_timeSaved));
}

void PlaybackChannel::onPlaybackSessionState(bool state)
{
    kavexTakeOver(this);
    m_sessionReady.store(state);
    {
        KavexLocker lock(&m_lock);
        m_setPendingReq.clear();
    }
    if (state) {
        m_session->requestStreamInfo();
        return;
    }
    qCWarning(lcKavexChannels).noquote() << prefix() + ": Session interaction failed";
    rememberStreamInfo(QStringLiteral("0-0"));
    emit streamInfo(QStringLiteral("0-0"), m_streamName);
}

void PlaybackChannel::rememberStreamInfo(const QString& info)
{
    KavexLocker lock(&m_lock);
    m_streamInfo = info;
    m_hasStreamInfo = true;
}

void PlaybackChannel::onStreamInfo(const QString& info)
{
    kavexTakeOver(this);
    qCDebug(lcKavexChannels).noquote() << prefix() + ": StreamInfo:" << info;
    rememberStreamInfo(info);
    emit streamInfo(info, m_streamName);
    KavexLocker lock(&m_lock);
    if (!m_timeSaved.isNull()) {
        if (!requestUnit(nextRequestId(), m_timeSaved, PlaybackSessionIf::RequestCurrent))
            qCWarning(lcKavexChannels).noquote() << prefix() + ": Failed to request unit";
        m_timeSaved = NTPTimestamp();
    }
}

QByteArray PlaybackChannel::markerTone(int count)
{
    QByteArray tone(std::max(count, 0), Qt::Uninitialized);
    for (int i = 0; i < tone.size(); ++i)
        tone[i] = char(MarkerTone::aLawAt(quint32(i)));
    return tone;
}

SharedPoolBuffer PlaybackChannel::decrypt(const SharedPoolBuffer& data)
{
    KavexLocker<KavexMutex> lock(&m_decrypterLock);
    if (!m_decrypter)
        return data;
    // Peel layer after layer until nothing is left to remove or one fails.
    SharedPoolBuffer buffer = data;
    for (;;) {
        SharedPoolBuffer inner = m_decrypter->decrypt(buffer);
        if (inner.isEmpty())
            return SharedPoolBuffer();
        if (inner.getBuffer() == buffer.getBuffer())
            return buffer;
        buffer = inner;
    }
}

void PlaybackChannel::onUnit(const quint64& id, const QString& sdp_, const NTPTimestamp& absNtpTimeBegin,
                             const NTPTimestamp& absNtpTimeEnd, const SharedPoolBuffer& data_)
{
    kavexTakeOver(this);
    SharedPoolBuffer buffer = decrypt(data_);
    QString sdp = sdp_;
    if (buffer.isEmpty() && !data_.isEmpty()) {
        const quint64 ms = (absNtpTimeEnd - absNtpTimeBegin).toMicroSeconds() / 1000;
        const quint64 n = 8 * ms;
        if (n >= 1 && n <= quint64(kMarkerToneMaxBytes))
            buffer = SharedPoolBuffer::fromByteArray(markerTone(int(n)));
        sdp = kMarkerToneSdp;
    }

    {
        KavexLocker lock(&m_lock);
        if (!settleRequest(id))
            return;
    }

    const bool usable =
        absNtpTimeBegin < absNtpTimeEnd && (absNtpTimeEnd - absNtpTimeBegin).toMicroSeconds() < kMaxUnitUs;
    if (usable) {
        decodeAndQueue(sdp, NTPRange(absNtpTimeBegin, absNtpTimeEnd), buffer);
        return;
    }
    const bool reverse = m_reverse.load();
    if (!(id & RETRY_ID_BIT)) {
        qCDebug(lcKavexChannels).noquote()
            << prefix() + ": Unit did not exist, try to request next resp. previous unit";
        requestUnit(nextRequestId() | RETRY_ID_BIT, absNtpTimeBegin,
                    reverse ? PlaybackSessionIf::RequestPrevious : PlaybackSessionIf::RequestNext);
        return;
    }
    qCDebug(lcKavexChannels).noquote()
        << prefix() + ": Next unit did not exist, so we have to belive that the end was reached :-(";
    m_active.store(false);
    emit outOfData();
}

bool PlaybackChannel::settleRequest(quint64 id)
{
    if (m_setPendingReq.isEmpty())
        return true;
    bool cleared = false;
    if (m_setPendingReq.front().id == id) {
        const PendingRequest answered = m_setPendingReq.takeFirst();
        if (answered.type == PlaybackSessionIf::RequestCurrent) {
            // A seek's answer replaces all queued audio.
            m_queue.clear();
            cleared = true;
        }
        m_timeSaved = answered.time;
    }
    if (m_setPendingReq.isEmpty())
        return true;

    // More requests wait: this answer is superseded, its audio not used.
    int newestCurrent = -1;
    for (int i = 0; i < m_setPendingReq.size(); ++i)
        if (m_setPendingReq[i].type == PlaybackSessionIf::RequestCurrent)
            newestCurrent = i;
    if (newestCurrent >= 0) {
        const PendingRequest keep = m_setPendingReq[newestCurrent];
        m_setPendingReq = {keep};
        qCDebug(lcKavexChannels) << "PlaybackChannel::onUnit(): just keeping last requested current-request; tid ="
                                 << keep.id;
    } else if (cleared) {
        m_setPendingReq.clear();
        qCDebug(lcKavexChannels) << "PlaybackChannel::onUnit(): clearing entire request queue";
    }
    if (!m_setPendingReq.isEmpty()) {
        const PendingRequest& next = m_setPendingReq.front();
        qCDebug(lcKavexChannels) << "PlaybackChannel::onUnit: m_session->requestUnit tid =" << next.id;
        if (!m_session->requestUnit(next.id, next.time, next.type)) {
            // Nothing is outstanding then: the next fetch asks again.
            qCWarning(lcKavexChannels).noquote() << prefix() + ": Failed to request unit";
            m_setPendingReq.clear();
        }
    }
    return false;
}

void PlaybackChannel::decodeAndQueue(const QString& sdp, const NTPRange& range, const SharedPoolBuffer& data)
{
    if (!m_decoder || !m_decoder->matchesSdp(sdp))
        m_decoder = Decoder::getDecoderBySdp(sdp, true, m_volume);
    const int capacity = int(kDecodeHeadroom * double(bytesForRange(range)));
    std::vector<unsigned char> out(size_t(std::max(capacity, 0)));
    int produced = capacity;
    if (!m_decoder) {
        // A damaged unit: its span is queued as silence, so that playback
        // goes on with the next unit.
        qCWarning(lcKavexChannels).noquote() << prefix() + ": No decoder for the unit's SDP; its span stays silent";
        produced = int(std::min<quint64>(bytesForRange(range), quint64(capacity)));
    } else if (data.isEmpty()) {
        produced = 0;
    } else {
        m_decoder->decode(data.getBuffer(), data.getBufferSize(), out.data(), produced);
    }
    if (m_reverse.load())
        m_queue.pushFront(out.data(), produced, range);
    else
        m_queue.pushBack(out.data(), produced, range);
}
