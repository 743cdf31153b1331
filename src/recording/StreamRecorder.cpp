#include "StreamRecorder.h"
#include "LogCategories.h"

#include "RTPPacket.h"

#include <QDebug>

namespace {
// RTP time stamps up to this many seconds behind the time base count as earlier.
const quint32 kMaxBackSeconds = 100;
// Sequence distances above this count as old packets (RFC 3550 A.1).
const quint16 kMaxMisorder = 65436;
// A packet this far from where the last one ended starts a new unit.
const NTPTimestamp kGapTolerance = NTPTimestamp::fromMicroseconds(5000);
// Without a length of its own, the last packet of a unit is taken to last this long.
const NTPTimestamp kDefaultPacketLength = NTPTimestamp::fromMilliseconds(20);
}  // namespace

StreamRecorder::StreamRecorder(const QString& name, const QString& detail, const QString& sdp,
                               const NTPTimestamp& unitLength)
    : m_name(name)
    , m_detail(detail)
    , m_unitLength(unitLength)
    , m_format(sdp)
{
    if (m_format.isValid())
        m_clock.setClockFrequency(quint32(m_format.clockRate()));
}

bool StreamRecorder::setUpFormat(int payloadType)
{
    if (m_format.isValid())
        return true;
    if (m_formatTried)
        return false;
    m_formatTried = true;
    m_format = UnitPayloadFormat(UnitPayloadFormat::staticSdp(payloadType));
    if (!m_format.isValid()) {
        qCWarning(lcKavexRecording).noquote()
            << "StreamRecorder::onRtp:" << m_name << "not recorded: payload type" << payloadType << "needs an SDP";
        return false;
    }
    m_clock.setClockFrequency(quint32(m_format.clockRate()));
    return true;
}

bool StreamRecorder::acceptSequence(quint16 seq)
{
    if (!m_sequenceSeen) {
        m_sequenceSeen = true;
        m_lastSequence = seq;
        return true;
    }
    const quint16 distance = quint16(seq - m_lastSequence);
    if (distance == 0 || distance > kMaxMisorder)
        return false;
    m_lastSequence = seq;
    return true;
}

NTPTimestamp StreamRecorder::ticksToNtp(quint32 ticks) const
{
    return NTPTimestamp::fromDivision(ticks, m_clock.clockFrequency());
}

void StreamRecorder::onSenderReport(const NTPTimestamp& ntp, quint32 rtpTimestamp)
{
    m_clock.setTimeBase(ntp, rtpTimestamp);
}

void StreamRecorder::onRtp(const RTPPacket& packet, const NTPTimestamp& arrival, quint64 nowUs, QVector<CutUnit>& done)
{
    m_lastPacketUs = nowUs;
    const int payloadType = packet.getPayloadType();
    if (!setUpFormat(payloadType))
        return;
    if (payloadType != m_format.payloadType()) {
        if (!m_warnedType)
            qCWarning(lcKavexRecording).noquote() << "StreamRecorder::onRtp:" << m_name << "drops payload type"
                                                  << payloadType << "; its SDP names" << m_format.payloadType();
        m_warnedType = true;
        return;
    }
    if (!acceptSequence(packet.getSeqNum()))
        return;
    const quint32 rtp = packet.getRawTimestamp();
    if (!m_clock.hasTimeBase()) {
        qCDebug(lcKavexRecording).noquote()
            << "StreamRecorder::onRtp:" << m_name << "takes arrival time as time base:" << arrival.toString(false)
            << "->" << rtp;
        m_clock.setTimeBase(arrival, rtp);
    }
    if (m_haveLast) {
        const quint32 delta = rtp - m_lastRtp;
        if (delta > 0 && delta <= m_clock.clockFrequency())
            m_lastDeltaTicks = delta;
    }
    m_haveLast = true;
    m_lastRtp = rtp;
    const NTPTimestamp t = m_clock.clockToNtp(rtp, kMaxBackSeconds);

    if (m_open) {
        const NTPTimestamp expected = m_expectedEnd.isNull() ? m_lastTime : m_expectedEnd;
        const bool back = m_expectedEnd.isNull() ? t <= m_lastTime : t + kGapTolerance < expected;
        if (back || t > expected + kGapTolerance)
            closeUnit(done);
        else if (t - m_begin >= m_unitLength)
            close(t, done);
    }
    if (!m_format.append(packet.getPayload(), packet.getPayloadSize(), m_payload))
        return;
    if (!m_open) {
        m_open = true;
        m_begin = t;
    }
    const quint32 ticks = m_format.durationTicks(packet.getPayload(), packet.getPayloadSize());
    const quint32 length = ticks ? ticks : m_lastDeltaTicks;
    m_lastTime = t;
    m_expectedEnd = length ? t + ticksToNtp(length) : NTPTimestamp();
}

void StreamRecorder::closeUnit(QVector<CutUnit>& done)
{
    if (m_open)
        close(m_expectedEnd.isNull() ? m_lastTime + kDefaultPacketLength : m_expectedEnd, done);
}

void StreamRecorder::close(const NTPTimestamp& end, QVector<CutUnit>& done)
{
    CutUnit cut;
    cut.stream = m_name;
    cut.detail = m_detail;
    cut.streamSdp = m_format.unitSdp();
    cut.unit.begin = m_begin;
    cut.unit.end = end;
    cut.unit.sdp = m_format.unitSdp();
    cut.unit.payload = m_payload;
    done.append(cut);
    m_payload.clear();
    m_open = false;
}
