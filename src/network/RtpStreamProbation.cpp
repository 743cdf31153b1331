#include "RtpStreamProbation.h"

#include "RTPPacket.h"

namespace {
// A table full of streams is swept for expired ones at most this often, so
// that a flood of new streams does not pay for a sweep per packet.
const qint64 kSweepIntervalMs = 100;
}  // namespace

RtpStreamProbation::Candidate* RtpStreamProbation::findOrMake(const RtpStreamKey& key, qint64 nowMs)
{
    const auto it = m_candidates.find(key);
    if (it != m_candidates.end())
        return &it.value();
    if (m_candidates.size() >= MAX_STREAMS)
        dropExpired(nowMs);
    const RtpStreamKey sender = key.senderKey();
    QVector<quint32>& order = m_senders[sender];
    if (order.size() >= MAX_PER_SENDER) {
        m_candidates.remove(sender.withSsrc(order.takeFirst()));
    } else if (m_candidates.size() >= MAX_STREAMS) {
        if (order.isEmpty())
            m_senders.remove(sender);
        return nullptr;
    }
    order.append(key.ssrc());
    Candidate& c = m_candidates[key];
    c.firstSeenMs = nowMs;
    return &c;
}

void RtpStreamProbation::remove(const RtpStreamKey& key)
{
    m_candidates.remove(key);
    const auto it = m_senders.find(key.senderKey());
    if (it == m_senders.end())
        return;
    it->removeOne(key.ssrc());
    if (it->isEmpty())
        m_senders.erase(it);
}

void RtpStreamProbation::dropExpired(qint64 nowMs)
{
    if (nowMs - m_lastSweepMs < kSweepIntervalMs)
        return;
    m_lastSweepMs = nowMs;
    for (auto it = m_senders.begin(); it != m_senders.end();) {
        QVector<quint32>& order = *it;
        // Oldest first: the expired ones are a prefix.
        int expired = 0;
        for (; expired < order.size(); ++expired) {
            const RtpStreamKey key = it.key().withSsrc(order.at(expired));
            if (nowMs - m_candidates.value(key).firstSeenMs < PROBATION_TIMEOUT_MS)
                break;
            m_candidates.remove(key);
        }
        order.remove(0, expired);
        it = order.isEmpty() ? m_senders.erase(it) : std::next(it);
    }
}

RtpStreamProbation::ProbationVerdict RtpStreamProbation::offer(const RtpStreamKey& key, const RTPPacket& packet,
                                                               qint64 nowMs, QList<QByteArray>* packets,
                                                               QByteArray* senderReport)
{
    if (m_payloadType >= 0 && int(packet.getPayloadType()) != m_payloadType)
        return PROBATION_REFUSED;
    Candidate* c = findOrMake(key, nowMs);
    if (!c)
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
    if (Candidate* c = findOrMake(key, nowMs))
        c->senderReport = report;
}
