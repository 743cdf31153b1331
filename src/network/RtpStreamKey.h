#pragma once

#include "OstKavexMixerGlobal.h"

#include <QHash>
#include <QHostAddress>
#include <QString>

struct Datagram;

// Identifies one live RTP stream: its sender's address and its SSRC, so that
// the same SSRC from two senders makes two streams. The text form is
// "address:0::ssrc" for IPv4 senders (the address as one decimal number) and
// "high:low::ssrc" for IPv6 senders (the address as two 64-bit numbers).
class RtpStreamKey
{
public:
    RtpStreamKey() = default;
    RtpStreamKey(const Datagram& sender, quint32 ssrc);

    QString toString() const;
    quint32 ssrc() const { return m_ssrc; }
    QHostAddress sender() const;
    // The same sender with another SSRC; with 0, the key of the sender alone,
    // which all its streams share.
    RtpStreamKey withSsrc(quint32 ssrc) const
    {
        RtpStreamKey k(*this);
        k.m_ssrc = ssrc;
        return k;
    }
    RtpStreamKey senderKey() const { return withSsrc(0); }

    bool operator<(const RtpStreamKey& o) const
    {
        if (m_first != o.m_first)
            return m_first < o.m_first;
        if (m_second != o.m_second)
            return m_second < o.m_second;
        return m_ssrc < o.m_ssrc;
    }
    bool operator==(const RtpStreamKey& o) const
    {
        return m_first == o.m_first && m_second == o.m_second && m_ssrc == o.m_ssrc;
    }

    friend uint qHash(const RtpStreamKey& k, uint seed = 0)
    {
        return ::qHash(k.m_first, seed) ^ ::qHash(k.m_second, seed) ^ ::qHash(k.m_ssrc, seed);
    }

private:
    quint64 m_first = 0;
    quint64 m_second = 0;
    quint32 m_ssrc = 0;
};
