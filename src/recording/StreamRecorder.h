#pragma once

#include "ClockToNtpMapper32.h"
#include "CutUnit.h"
#include "UnitPayloadFormat.h"

#include <QByteArray>
#include <QString>
#include <QVector>

class RTPPacket;

// Cuts one live RTP stream (one sender and SSRC) into units. Packets are
// placed on the NTP time line like the live channel does: RTCP sender
// reports map RTP time stamps to NTP; until the first one, the packet's
// arrival time is taken as its NTP time. A unit closes when it has reached
// the unit length, and early at a gap or a jump back in time (lost packets,
// silence, a new time base), so that a unit's payload always plays for
// exactly [begin, end). Used on one thread at a time (the recorder's lock).
class StreamRecorder
{
public:
    // An empty or unreadable SDP is taken from the first packet's static
    // payload type, when it has one.
    StreamRecorder(const QString& name, const QString& detail, const QString& sdp, const NTPTimestamp& unitLength);

    QString name() const { return m_name; }
    // Monotonic time (µs) of the last packet, for idleness.
    quint64 lastPacketUs() const { return m_lastPacketUs; }
    bool hasOpenUnit() const { return m_open; }

    // One RTP packet that arrived at wall-clock time `arrival` and monotonic
    // time `nowUs`; units it completes are appended to `done`.
    void onRtp(const RTPPacket& packet, const NTPTimestamp& arrival, quint64 nowUs, QVector<CutUnit>& done);
    void onSenderReport(const NTPTimestamp& ntp, quint32 rtpTimestamp);
    // Closes the open unit at the end of its last packet.
    void closeUnit(QVector<CutUnit>& done);

private:
    bool acceptSequence(quint16 seq);
    bool setUpFormat(int payloadType);
    void close(const NTPTimestamp& end, QVector<CutUnit>& done);
    NTPTimestamp ticksToNtp(quint32 ticks) const;

    QString m_name;
    QString m_detail;
    NTPTimestamp m_unitLength;
    UnitPayloadFormat m_format;
    bool m_formatTried = false;
    bool m_warnedType = false;
    ClockToNtpMapper32 m_clock;

    bool m_sequenceSeen = false;
    quint16 m_lastSequence = 0;
    bool m_haveLast = false;
    quint32 m_lastRtp = 0;
    quint32 m_lastDeltaTicks = 0;
    quint64 m_lastPacketUs = 0;

    bool m_open = false;
    NTPTimestamp m_begin;
    NTPTimestamp m_lastTime;
    NTPTimestamp m_expectedEnd;  // null: the last packet's length is not known
    QByteArray m_payload;
};
