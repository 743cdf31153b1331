#pragma once

#include "Channel.h"
#include "Clock.h"
#include "EncryptedAudioTone.h"
#include "KavexMutex.h"
#include "LiveStreamStatus.h"
#include "LogRateLimit.h"
#include "OstKavexMixerGlobal.h"
#include "RtpStreamKey.h"
#include "RtpStreamProbation.h"
#include "SharedBufferPoolRelease.h"
#include "SharedPoolBuffer.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <vector>

class BufferSocketQueued;
class KavexUdpReceiver;
class RtpChannel;
class RtpReceiverSlotProxy;
class StreamUnitDecrypter;
struct Datagram;

// Receives one live audio source and makes an RtpChannel of every RTP stream
// in it (every sender and SSRC), which it announces by newChannel and, once
// the stream has gone stale, withdraws by removeChannel. It runs a thread of
// its own that receives
//  - UDP, unicast or multicast, on an RTP port and an RTCP port, or
//  - RTP and RTCP as messages over one TCP connection to a relay server (TCP
//    mode), possibly encrypted; the same connection carries talk-back RTP to
//    the server. Undecryptable audio is replaced by a marker tone.
//
// A new stream gets its channel only once it has passed probation (see
// RtpStreamProbation); RTCP alone never makes one. Live channels are limited
// per receiver and over all receivers of the process (settings
// "RtpReceiver/MaxChannelsPerReceiver", default 256, and
// "RtpReceiver/MaxChannelsTotal", default 1024); a stream beyond a limit is
// refused, with one warning per sender every REFUSAL_WARNING_INTERVAL_MS.
// Warnings about bad packets are limited to BAD_PACKET_LOG_PER_SECOND a
// second, so that a flood costs the receiver's thread little. The setting
// "RtpReceiver/RealTimePriority" (default 0: normal scheduling) asks for
// real-time scheduling of the receiver's thread at that priority: on a busy
// host the thread then keeps up with a flood instead of letting the stream's
// packets wait behind it. Keep it below the mixer thread's (20), so that a
// flood never takes the mixer's time.
//
// The receiver is a channel itself, so that the mixer can mute, query and
// remove all streams of the source through one id; it plays no audio of its
// own. The constructors throw std::runtime_error when the sockets cannot be
// opened. `clock` (the system's unless given) times the channels' staleness
// and the marker tone.
class RtpReceiver : public QThread, public Channel
{
    Q_OBJECT
public:
    static constexpr int DEFAULT_MAX_CHANNELS_PER_RECEIVER = 256;
    static constexpr int DEFAULT_MAX_CHANNELS_TOTAL = 1024;
    static constexpr qint64 REFUSAL_WARNING_INTERVAL_MS = 10000;
    static constexpr int BAD_PACKET_LOG_PER_SECOND = 10;

    // A null tcpServer receives UDP unicast, any other address selects TCP
    // mode. rtpPort / rtcpPort: 0 = any (the RTCP port then is the RTP port +
    // 1 when free); they receive the ports in use. iface: a null address
    // receives the interface in use, any other overrides the setting
    // "Mixer/UnicastInterface".
    RtpReceiver(unsigned short& rtpPort, unsigned short& rtcpPort, const QString& sdp, QHostAddress* iface,
                const QHostAddress& tcpServer, double volume, std::vector<QByteArray> keys,
                Clock& clock = Clock::system());
    // Receives the multicast group on interface iface (any when null or not given).
    RtpReceiver(const QHostAddress& group, unsigned short& rtpPort, unsigned short& rtcpPort, const QString& sdp,
                QHostAddress* iface, double volume, std::vector<QByteArray> keys, Clock& clock = Clock::system());
    ~RtpReceiver() override;

    // A different SDP is handed to every channel, and to channels made later.
    void setSdp(const QString& sdp);
    void setPrivateKeys(const std::vector<QByteArray>& keys);
    // Hands every channel over to the caller (appended to `channels`) and
    // forgets them, without signals.
    virtual void takeChannels(QList<RtpChannel*>& channels);
    // Forgets one channel that is removed on its own (by the host or at the
    // mixer's end), so that it is not handed over again; false when it is
    // not one of this receiver's.
    bool forgetChannel(const RtpChannel* channel);

    void mute(channel_t side) override;
    void unmute(channel_t side) override;
    // From the SDP's first rtpmap line; 16 kHz for an empty SDP.
    eSampleRate getSampleRate() override;
    void deleteThis() override;
    using Channel::getData;
    // Contributes no audio: writes nothing.
    void getData(unsigned char* buffer, quint64 count) override;
    NTPTimestamp getCurrentTimestamp() override;
    void setPresentationGroup(const QString& name) override;

    // Inspection.
    QString sdp() const;
    int channelCount() const;
    // The streams' keys, in key order ("address:0::ssrc" for IPv4 senders).
    QStringList streamKeys() const;
    bool isEncryptedMode() const;
    // One entry per stream (receiverId left 0 for the caller to fill in).
    QList<LiveStreamStatus> streamStatus() const;
    // Datagrams taken in on the RTP and RTCP paths, and of them those that
    // reached no channel: bad headers, streams that failed
    // probation or were refused, RTCP of streams without channel.
    quint64 receivedPackets() const { return m_received.load(std::memory_order_relaxed); }
    quint64 droppedPackets() const { return m_dropped.load(std::memory_order_relaxed); }
    // Live channels of all receivers in the process.
    static int liveChannelsTotal();

signals:
    // Emitted by the mixer on behalf of the host; handled on the receiver's thread.
    void sigUpstreamAddress(QString peerAddress, quint16 portRTP, quint16 portRTCP);
    void sigUpstreamRtpData(SharedPoolBuffer spb);
    void newChannel(Channel* channel);
    void removeChannel(Channel* channel);

public slots:
    // TCP mode: connect to the relay server at portRTP and ask it for the
    // stream of peerAddress. portRTCP is not used.
    void slotSetUpstreamAddress(QString peerAddress, quint16 portRTP, quint16 portRTCP);
    // TCP mode: send one talk-back RTP packet to the relay server.
    void slotUpStreamRtpData(SharedPoolBuffer spb);
    void onRtpRtcpDataConnected();
    void onIncomingRtpRtcpData(const char* pData, int size);
    void onStaleChannel();

protected:
    void run() override;

private:
    void readSettings();
    void readLimits();
    void startThread(unsigned short& rtpPort, unsigned short& rtcpPort, QHostAddress* iface);
    bool openUdpSockets();
    void openTcpSocket();
    static void rtpCallback(void* context, const Datagram& datagram);
    static void rtcpCallback(void* context, const Datagram& datagram);
    void onRtpStreamData(const Datagram& datagram);
    void onRtcpStreamData(const Datagram& datagram);
    // Makes (and announces) the channel of a stream that has passed
    // probation, within the limits, and gives it the stream's first packets
    // and sender report. Called with m_channelLock held.
    void startStream(const RtpStreamKey& key, const QList<QByteArray>& packets, const QByteArray& senderReport);
    // Takes one place under both limits for a new channel, or warns (rate
    // limited) and refuses. Called with m_channelLock held.
    bool reserveChannel(const RtpStreamKey& key);
    // Forgets `count` channels of this receiver in the process-wide count.
    static void releaseChannels(int count);
    // Counts a bad or unwanted packet as dropped and tells whether `limit`
    // lets a line about it through. The caller formats its line only then,
    // so that a flood of such packets costs no string work.
    bool dropAndMayLog(LogRateLimit& limit);
    // On the owner's thread: emits newChannel unless the channel has gone meanwhile.
    void announce(RtpChannel* channel);
    // TCP mode: one message that no key could decrypt.
    void onUndecryptable(bool isRtcp);
    void sendTonePacket();
    Datagram fromTcpPeer(const unsigned char* data, int size) const;
    void sendMessage(const QByteArray& message);

    Clock& m_clock;
    // Made, used and dropped by the receiver's thread (run()).
    std::unique_ptr<KavexUdpReceiver> m_rtpSocket;
    std::unique_ptr<KavexUdpReceiver> m_rtcpSocket;
    std::unique_ptr<BufferSocketQueued> m_tcpSocket;
    std::unique_ptr<RtpReceiverSlotProxy> m_proxy;
    // Guarded by m_channelLock.
    QString m_sdp;
    // The start handshake between the constructor and run(): m_startDone,
    // m_startFailed and the ports in use are written by run() under
    // m_startLock before the constructor reads them.
    KavexMutex m_startLock;
    std::condition_variable_any m_startCondition;
    bool m_startDone = false;
    quint16 m_rtpPort = 0;
    quint16 m_rtcpPort = 0;
    quint32 m_upstreamPeer = 0;
    QHostAddress m_interface;
    QHostAddress m_group;
    bool m_multicast = false;
    bool m_startFailed = false;
    // Guarded by m_keyLock; made by run() in TCP mode.
    std::unique_ptr<StreamUnitDecrypter> m_decrypter;
    std::atomic<bool> m_encryptedMode{false};
    // The tone and the saved SDP: the receiver's thread only.
    EncryptedAudioTone m_tone;
    QString m_savedSdp;
    SharedBufferPoolPtr m_pool;
    // Guarded by m_keyLock.
    std::vector<QByteArray> m_privateKeys;
    QHostAddress m_tcpServer;
    // Guarded by m_channelLock.
    QMap<RtpStreamKey, RtpChannel*> m_channels;
    RtpStreamProbation m_probation;
    // Sender key -> monotonic ms of the last refusal warning for it.
    QMap<RtpStreamKey, qint64> m_refusalWarnings;
    LogRateLimit m_rtpLog{BAD_PACKET_LOG_PER_SECOND};
    LogRateLimit m_rtcpLog{BAD_PACKET_LOG_PER_SECOND};
    // Set by the constructor, before the thread starts.
    int m_maxChannels = DEFAULT_MAX_CHANNELS_PER_RECEIVER;
    int m_maxChannelsTotal = DEFAULT_MAX_CHANNELS_TOTAL;
    int m_realTimePriority = 0;
    std::atomic<quint64> m_received{0};
    std::atomic<quint64> m_dropped{0};
    // Guards the private keys and the decrypter.
    mutable KavexMutex m_keyLock;
    // Serialises the channel map, the SDP, the mute state and the group name
    // between the receiver's thread and the threads that call it.
    mutable KavexPiRecursiveMutex m_channelLock;
};
