#include "RtpStreamProbation.h"

#include "RTPPacket.h"

namespace {
// A table full of streams is swept for expired ones at most this often, so
// that a flood of new streams does not pay for a sweep per packet.
const qint64 kSweepIntervalMs = 100;
}  // namespace

RtpStreamProbation::Candidate* RtpStreamProbation::find(const RtpStreamKey& key)
{
    const auto it = m_senders.find(key.senderKey());
    if (it == m_senders.end())
        return nullptr;
    for (Candidate& c : *it)
        if (c.ssrc == key.ssrc())
            return &c;
    return nullptr;
}

RtpStreamProbation::Candidate* RtpStreamProbation::make(const RtpStreamKey& key, qint64 nowMs)
{
    if (m_count >= MAX_STREAMS)
        dropExpired(nowMs);
    Candidates& list = m_senders[key.senderKey()];
    if (list.size() >= MAX_PER_SENDER) {
        // A sender that keeps starting streams crowds out only its own.
        list.removeFirst();
        --m_count;
    } else if (m_count >= MAX_STREAMS) {
        if (list.isEmpty())
            m_senders.remove(key.senderKey());
        return nullptr;
    }
    Candidate c;
    c.ssrc = key.ssrc();
    c.firstSeenMs = nowMs;
    list.append(c);
    ++m_count;
    return &list.last();
}

void RtpStreamProbation::remove(const RtpStreamKey& key)
{
    const auto it = m_senders.find(key.senderKey());
    if (it == m_senders.end())
        return;
    for (int i = 0; i < it->size(); ++i) {
        if (it->at(i).ssrc == key.ssrc()) {
            it->remove(i);
            --m_count;
            break;
        }
    }
    if (it->isEmpty())
        m_senders.erase(it);
}

void RtpStreamProbation::dropExpired(qint64 nowMs)
{
    if (nowMs - m_lastSweepMs < kSweepIntervalMs)
        return;
    m_lastSweepMs = nowMs;
    for (auto it = m_senders.begin(); it != m_senders.end();) {
        Candidates& list = *it;
        // Oldest first: the expired ones are a prefix.
        int expired = 0;
        while (expired < list.size() && nowMs - list.at(expired).firstSeenMs >= PROBATION_TIMEOUT_MS)
            ++expired;
        list.remove(0, expired);
        m_count -= expired;
        it = list.isEmpty() ? m_senders.erase(it) : std::next(it);
    }
}

RtpStreamProbation::ProbationVerdict RtpStreamProbation::offer(const RtpStreamKey& key, const RTPPacket& packet,
                                                               qint64 nowMs, QList<QByteArray>* packets,
                                                               QByteArray* senderReport)
{
    if (m_payloadType >= 0 && int(packet.getPayloadType()) != m_payloadType)
        return PROBATION_REFUSED;
    Candidate* c = find(key);
    if (!c && !(c = make(key, nowMs)))
        return PROBATION_REFUSED;
    const quint16 seq = packet.getSeqNum();
    if (c->inSequence > 0 && seq == quint16(c->lastSequence + 1)) {
        ++c->inSequence;
    } else {
        // First packet, or out of sequence: the count starts again here.
        c->inSequence = 1;
        c->packets.clear();
    }
    c->lastSequence = seq;
    c->packets.append(QByteArray(reinterpret_cast<const char*>(packet.getRawPacket()), packet.getRawPacketSize()));
    if (c->inSequence < MIN_SEQUENTIAL)
        return PROBATION_WAITING;
    *packets = c->packets;
    *senderReport = c->senderReport;
    remove(key);
    return PROBATION_PASSED;
}

void RtpStreamProbation::offerSenderReport(const RtpStreamKey& key, const QByteArray& report, qint64 nowMs)
{
    Candidate* c = find(key);
    if (!c)
        c = make(key, nowMs);
    if (c)
        c->senderReport = report;
}
