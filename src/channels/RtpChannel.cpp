#include "RtpChannel.h"
#include "LogCategories.h"

#include <algorithm>
#include <cstdlib>

#include "Decoder.h"
#include "KavexAssert.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "Util.h"

#include <QDebug>
#include <QThread>
#include <QTimer>

namespace {
// Audio further outside a requested range than this is not taken for it.
const NTPTimestamp kQueueTolerance = NTPTimestamp::fromMilliseconds(60);
// G.711 senders put little buffering of their own behind their packets.
const NTPTimestamp kG711Delay = NTPTimestamp::fromMilliseconds(120);
// RFC 2250: four bytes (MBZ, fragment offset) precede the MPEG audio frames.
const int kMpegAudioHeaderBytes = 4;
// RTP timestamps up to this many seconds behind the time base count as earlier.
const quint32 kMaxBackSeconds = 100;
// Sequence distances above this count as old packets (RFC 3550 A.1 allows
// 100 packets of misordering).
const quint16 kMaxMisorder = 65436;
}  // namespace

qint64 RtpChannel::nowMs() const
{
    return qint64(m_clock.monotonicUs() / 1000);
}

RtpChannel::RtpChannel(const QString& sdp, double volume, Clock& clock)
    : m_clock(clock)
    , m_staleTimer(new QTimer)
    , m_queue(kQueueTolerance)
    , m_timeBase(8000)
    , m_lastPacketMs(nowMs())
{
    m_volume = volume;
    setSdp(sdp);
    m_staleTimer->setSingleShot(true);
    m_staleTimer->setTimerType(Qt::PreciseTimer);
    connect(m_staleTimer, &QTimer::timeout, this, &RtpChannel::checkStale);
    // A timer left registered when its thread ends cannot be stopped from
    // anywhere else: stop it on that thread as it finishes.
    connect(QThread::currentThread(), &QThread::finished, m_staleTimer, &QTimer::stop, Qt::DirectConnection);
    m_staleTimer->start(std::min(STALE_TIMEOUT_MS, STALE_CHECK_MS));
}

RtpChannel::~RtpChannel()
{
    kavexTakeOver(this);
    QThread* owner = m_staleTimer->thread();
    if (!owner || owner == QThread::currentThread() || !owner->isRunning())
        delete m_staleTimer;
    else
        m_staleTimer->deleteLater();
}

void RtpChannel::deleteThis()
{
    QThread* owner = thread();
    if (owner && owner != QThread::currentThread() && owner->isRunning()) {
        // Deleted on the channel's thread; Qt's event queue that carries the
        // deletion there is invisible to thread checkers.
        kavexHandOff(this);
        deleteLater();
    } else {
        delete this;
    }
}

void RtpChannel::setSdp(const QString& sdp)
{
    KavexLocker lock(&m_lock);
    if (sdp == m_sdp)
        return;
    m_sdp = sdp;
    m_sdpPending.store(true, std::memory_order_release);
}

QString RtpChannel::sdp() const
{
    KavexLocker lock(&m_lock);
    return m_sdp;
}

bool RtpChannel::acceptSequence(quint16 seq)
{
    if (!m_sequenceSeen) {
        m_sequenceSeen = true;
        m_lastSequence = seq;
        return true;
    }
    const quint16 distance = quint16(seq - m_lastSequence);
    if (distance == 0 || distance > kMaxMisorder) {
        qCWarning(lcKavexChannels) << "RtpChannel::depay(): rejecting detected duplicate rtp packet";
        m_duplicates.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (distance > 1) {
        qCDebug(lcKavexChannels) << "RtpChannel::depay(): rtp packet(s) lost";
        m_lost.fetch_add(distance - 1, std::memory_order_relaxed);
    }
    m_lastSequence = seq;
    return true;
}

void RtpChannel::depay(const RTPPacket& packet)
{
    if (!packet.isHeaderValid()) {
        qCWarning(lcKavexChannels) << "RtpChannel::depay: Discarding. Invalid RTP header";
        return;
    }
    m_lastPacketMs.store(nowMs(), std::memory_order_relaxed);
    if (!m_staleArmed.exchange(true)) {
        // Gone stale before: the timer has stopped and must run again.
        if (m_staleTimer->thread() == QThread::currentThread())
            m_staleTimer->start(STALE_CHECK_MS);
        else
            QMetaObject::invokeMethod(
                m_staleTimer, [timer = m_staleTimer] { timer->start(STALE_CHECK_MS); }, Qt::QueuedConnection);
    }

    if (m_sdpPending.load(std::memory_order_acquire))
        return;
    if (!acceptSequence(packet.getSeqNum()))
        return;
    m_packets.fetch_add(1, std::memory_order_relaxed);

    KavexLocker lock(&m_lock);
    const int payloadType = packet.getPayloadType();
    if (payloadType != m_payloadType) {
        qCWarning(lcKavexChannels).nospace() << "RtpChannel::depay: Unsupported Payload type: " << payloadType;
        return;
    }
    if (!m_timeBase.hasTimeBase()) {
        // No sender report yet: take the packet as sent just now.
        const NTPTimestamp now = m_clock.wallClock();
        qCDebug(lcKavexChannels).noquote() << "RtpChannel::depay: Trying to guess timebase:" << now.toString(false)
                                           << "->" << packet.getRawTimestamp();
        m_timeBase.setTimeBase(now, packet.getRawTimestamp());
    }
    if (!m_decoder) {
        qCWarning(lcKavexChannels) << "RtpChannel::depay: No decoder available";
        return;
    }
    const int payloadSize = packet.getPayloadSize() - m_payloadSkip;
    if (payloadSize <= 0)
        return;
    const NTPTimestamp start = m_timeBase.clockToNtp(packet.getRawTimestamp(), kMaxBackSeconds);
    // Audio the mixer has already gone past is not decoded: after a stall the
    // socket holds seconds of such packets, and decoding them all would keep
    // this thread too busy ever to reach the fresh ones.
    if (m_bytePerSample && m_clockRate > 0 &&
        m_queue.isTooLate(start + NTPTimestamp::fromDivision(quint64(payloadSize), quint64(m_clockRate))))
        return;
    int produced = DECODE_BUFFER_SIZE;
    m_decoder->decode(packet.getPayload() + m_payloadSkip, payloadSize, m_decodeBuffer, produced);
    if (produced > 0)
        m_queue.pushBack(m_decodeBuffer, produced, start);
}

void RtpChannel::rtcp(const RTCPPacket& packet)
{
    if (!packet.isHeaderValid()) {
        qCWarning(lcKavexChannels) << "RtpChannel::rtcp: Discarding. Invalid RTCP header";
        return;
    }
    if (packet.getType() != RTCP_TYPE_SR) {
        qCWarning(lcKavexChannels)
            << "RtpChannel::rtcp: Discarding. RTCP packet does not start with sender report, but with"
            << int(packet.getType());
        return;
    }
    KavexLocker lock(&m_lock);
    m_timeBase.setTimeBase(packet.getNtpTimestamp(), packet.getRtpTimestamp());
}

void RtpChannel::applySdp()
{
    m_decoder.reset();
    m_delay = NTPTimestamp();
    m_bytePerSample = false;
    m_payloadSkip = 0;
    // A media line without its rtpmap still sets the payload type: its
    // packets then fail for want of a decoder, not for their type.
    if (MixerUtil::parseSdp(m_sdp, m_codec, m_payloadType, m_clockRate)) {
        m_timeBase.setClockFrequency(quint32(m_clockRate));
        m_decoder = Decoder::getDecoderBySdp(m_sdp, false, m_volume);
        if (!m_decoder) {
            qCWarning(lcKavexChannels).noquote() << "RtpChannel::getData: Unsupported codec:" << m_codec;
        } else {
            // Asked once here rather than per packet and per tick.
            if (m_decoder->isCodec(QStringLiteral("PCMA")) || m_decoder->isCodec(QStringLiteral("PCMU"))) {
                m_delay = kG711Delay;
                m_bytePerSample = true;
            }
            if (m_decoder->isCodec(QStringLiteral("MPA")))
                m_payloadSkip = kMpegAudioHeaderBytes;
        }
    }
    m_sdpPending.store(false, std::memory_order_release);
}

void RtpChannel::applyPendingSdp()
{
    if (m_sdpPending.load(std::memory_order_acquire)) {
        KavexLocker lock(&m_lock);
        applySdp();
    }
}

void RtpChannel::getData(NTPRange range, unsigned char* out)
{
    applyPendingSdp();
    m_queue.popNextInRange(out, NTPRange(range.start() - m_delay, range.end() - m_delay), false, true);
    const auto* samples = reinterpret_cast<const qint16*>(out);
    const int count = int(bytesForRange(range) / 2);
    // Smallest and largest sample separately: a loop the compiler vectorises.
    qint16 lo = 0, hi = 0;
    for (int i = 0; i < count; ++i) {
        lo = std::min(lo, samples[i]);
        hi = std::max(hi, samples[i]);
    }
    m_peak.store(std::min(std::max(int(hi), -int(lo)), 32767), std::memory_order_relaxed);
}

void RtpChannel::statistics(quint64* packets, quint64* lost, quint64* duplicates, int* peak) const
{
    *packets = m_packets.load(std::memory_order_relaxed);
    *lost = m_lost.load(std::memory_order_relaxed);
    *duplicates = m_duplicates.load(std::memory_order_relaxed);
    *peak = m_peak.load(std::memory_order_relaxed);
}

QString RtpChannel::codec() const
{
    KavexLocker lock(&m_lock);
    return m_codec;
}

void RtpChannel::getData(unsigned char*, quint64)
{
    kavexAssertPrint("false", __FILE__, __LINE__);
}

eSampleRate RtpChannel::getSampleRate()
{
    if (m_sdpPending.load(std::memory_order_acquire))
        return SAMPLE_RATE_NONE;
    KavexLocker lock(&m_lock);
    if (!m_decoder)
        return SAMPLE_RATE_NONE;
    const QString name = m_decoder->codecName();
    if (name == QLatin1String("PCMA") || name == QLatin1String("PCMU"))
        return SAMPLE_RATE_8000;
    if (name == QLatin1String("PCMA16"))
        return SAMPLE_RATE_16000;
    return SAMPLE_RATE_NONE;
}

NTPTimestamp RtpChannel::getCurrentTimestamp()
{
    return m_queue.frontTimestamp();
}

void RtpChannel::checkStale()
{
    if (!m_staleArmed.load())
        return;
    const qint64 idle = nowMs() - m_lastPacketMs.load(std::memory_order_relaxed);
    if (idle < STALE_TIMEOUT_MS) {
        m_staleTimer->start(int(std::min<qint64>(STALE_TIMEOUT_MS - idle, STALE_CHECK_MS)));
        return;
    }
    m_staleTimer->stop();
    m_staleArmed.store(false);
    emit stale();
}
