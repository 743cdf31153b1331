#pragma once

#include "NTPTimestamp.h"
#include "PacedThread.h"

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <vector>

// MPEG-1 layer II streams over loopback UDP (RTP payload type 14, 90 kHz
// clock, one 24 ms frame per packet after the 4-byte fragment header), all to
// one receiver, with a sender report at the start and every 5 s. The frames
// are a tone encoded once in memory at start-up and looped. Runs a thread of
// its own.
class MpaLoopSender
{
public:
    MpaLoopSender(int count, quint32 firstSsrc, quint16 rtpPort, quint16 rtcpPort);
    ~MpaLoopSender();
    MpaLoopSender(const MpaLoopSender&) = delete;
    MpaLoopSender& operator=(const MpaLoopSender&) = delete;

    // False when the encoder or the socket is missing.
    bool start();
    void stop();
    quint64 packetsSent() const { return m_packets.load(std::memory_order_relaxed); }

private:
    void step(quint64 k);

    int m_count;
    quint32 m_firstSsrc;
    quint16 m_rtpPort, m_rtcpPort;
    std::vector<QByteArray> m_frames;  // each with its fragment header
    NTPTimestamp m_startNtp;
    int m_socket = -1;
    std::atomic<quint64> m_packets{0};
    PacedThread m_thread;
};

// One encrypted A-law stream over the TCP relay: listens on a loopback port
// for the receiver's connection (it connects after setUpstreamAddress) and
// sends it an RTP packet every 20 ms, each wrapped in an encryption layer for
// `publicKey` and framed as a relay message. A connection that breaks is
// replaced by the next one accepted. Runs a thread of its own.
class EncryptedRelaySender
{
public:
    EncryptedRelaySender(quint32 ssrc, const QByteArray& publicKey);
    ~EncryptedRelaySender();
    EncryptedRelaySender(const EncryptedRelaySender&) = delete;
    EncryptedRelaySender& operator=(const EncryptedRelaySender&) = delete;

    // False when it cannot listen; then port() is 0.
    bool start();
    void stop();
    quint16 port() const { return m_port; }
    quint64 packetsSent() const { return m_packets.load(std::memory_order_relaxed); }

private:
    void step(quint64 k);
    void sendMessage(bool isRtcp, const QByteArray& packet);

    quint32 m_ssrc;
    QByteArray m_publicKey;
    std::vector<unsigned char> m_payload;  // one second of A-law, looped
    NTPTimestamp m_startNtp;
    int m_listener = -1;
    int m_connection = -1;  // the sender thread's only
    quint16 m_port = 0;
    std::atomic<quint64> m_packets{0};
    PacedThread m_thread;
};
