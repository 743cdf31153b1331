#pragma once

#include "OstKavexMixerGlobal.h"
#include "RtpStreamKey.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QVector>

class RTPPacket;

// Holds the RTP streams that a receiver has seen but not yet made channels
// of, until each looks like a real stream (RFC 3550, A.1): packets of the
// payload type the SDP names, MIN_SEQUENTIAL of them in sequence. Their
// packets and their last sender report are kept, so the stream's first audio
// and time base reach the channel made for it.
//
// A stream costs only its held packets while it waits here, and the table is
// bounded: MAX_PER_SENDER streams per sender address (a sender with more
// loses its oldest, so a flood from one address crowds out only its own new
// streams), MAX_STREAMS in all (more are refused until the oldest have waited
// PROBATION_TIMEOUT_MS and are dropped). Random bytes and spoofed SSRCs of
// single packets never leave it.
//
// Used on the receiver's thread only (under its channel lock).
class RtpStreamProbation
{
public:
    static constexpr int MIN_SEQUENTIAL = 2;
    static constexpr int MAX_PER_SENDER = 256;
    static constexpr int MAX_STREAMS = 1024;
    static constexpr qint64 PROBATION_TIMEOUT_MS = 2000;

    enum ProbationVerdict {
        PROBATION_WAITING,  // held; the stream has yet to prove itself
        PROBATION_PASSED,   // the stream is real: make its channel
        PROBATION_REFUSED   // dropped: wrong payload type, or no room
    };

    // The only payload type let through; negative: any (no usable SDP).
    void setPayloadType(int payloadType) { m_payloadType = payloadType; }

    // Takes an RTP packet of a stream that has no channel. On
    // PROBATION_PASSED the stream is forgotten here and `packets` receives
    // its packets in arrival order (this one last) and `senderReport` its last
    // sender report (empty when none came).
    ProbationVerdict offer(const RtpStreamKey& key, const RTPPacket& packet, qint64 nowMs, QList<QByteArray>* packets,
                           QByteArray* senderReport);
    // Keeps a sender report of a stream without channel for when it passes.
    void offerSenderReport(const RtpStreamKey& key, const QByteArray& report, qint64 nowMs);
    int size() const { return m_candidates.size(); }

private:
    struct Candidate {
        qint64 firstSeenMs = 0;
        int inSequence = 0;
        quint16 lastSequence = 0;
        QList<QByteArray> packets;
        QByteArray senderReport;
    };

    // The stream's entry, made when there is room; null when there is none.
    Candidate* findOrMake(const RtpStreamKey& key, qint64 nowMs);
    void remove(const RtpStreamKey& key);
    void dropExpired(qint64 nowMs);

    int m_payloadType = -1;
    QHash<RtpStreamKey, Candidate> m_candidates;
    // Sender key -> its streams' SSRCs, oldest first.
    QMap<RtpStreamKey, QVector<quint32>> m_senders;
    qint64 m_lastSweepMs = 0;
};
