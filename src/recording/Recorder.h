#pragma once

#include "OstKavexMixerGlobal.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

class BufferSocketQueued;
class Clock;
class KavexUdpReceiver;
class QObject;
class QThread;
class QTimer;
class StreamRecorder;
class StreamUnitDecrypter;
class UnitWriter;
struct CutUnit;
struct Datagram;

/// Records live RTP into a recording store: one recorded stream per sender
/// and SSRC, cut into units of a fixed length on the NTP time line, each unit
/// holding what the player's decoder takes, optionally sealed to public keys.
///
/// Input is received like the live receiver does, on a network thread of the
/// recorder's own: UDP unicast or multicast (RTP port and RTCP port), or RTP
/// and RTCP messages over a TCP connection to a relay server. Units are
/// written by a second thread, in transactions, so the network thread never
/// waits for the disk. Packets may also be fed in directly (feedRtp,
/// feedRtcp) on any one thread while no network input runs.
///
/// The constructors throw std::exception with the reason when the store
/// cannot be opened or created, or a public key is not 32 bytes long.
class OSTKAVEXMIXER_EXPORT Recorder
{
public:
    /// @name Unit length limits
    //@{
    /// The shortest and longest unit length.
    static constexpr double MIN_UNIT_SECONDS = 0.2;
    static constexpr double MAX_UNIT_SECONDS = 10.0;
    //@}

    struct Options {
        /// The store: a file path or postgresql://USER@HOST:PORT/DATABASE;
        /// empty: "recordings.db" in the data directory.
        QString store;
        /// The streams' SDP; empty: taken from the static payload types 0
        /// (PCMU), 8 (PCMA) and 14 (MPA) of the packets.
        QString sdp;
        /// Stream names: %a the sender's address, %s the SSRC in decimal, %% a %.
        QString namePattern = QStringLiteral("%a-%s");
        /// Stored with every new stream.
        QString detail;
        /// Unit length; outside 0.2 to 10 s it is clamped, with a warning.
        double unitSeconds = 1.0;
        /// Every unit is sealed in one layer per key (32-byte public keys).
        std::vector<QByteArray> publicKeys;
        /// Relay messages that come encrypted are opened with these.
        std::vector<QByteArray> privateKeys;
    };

    /// Opens or creates the store; receives nothing until a listen... or
    /// connectRelay call, or packets fed in.
    explicit Recorder(const Options& options);
    /// The same, with the time source of the library's own tests.
    Recorder(const Options& options, Clock& clock);
    /// Stops the input and writes every open unit.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    /// Receive on `rtpPort` and `rtcpPort` (0: any; RTCP then on the RTP port
    /// + 1 when free); the ports in use are written back. False (with a
    /// warning) when the sockets cannot be opened or an input runs already.
    bool listenUnicast(quint16& rtpPort, quint16& rtcpPort,
                       const QHostAddress& iface = QHostAddress(QHostAddress::Any));
    /// Receive the multicast `group` on `rtpPort` and `rtcpPort`; false (with a
    /// warning) when the sockets cannot be opened or an input runs already.
    bool listenMulticast(const QHostAddress& group, quint16 rtpPort, quint16 rtcpPort,
                         const QHostAddress& iface = QHostAddress());
    /// Connects to the relay server at server:port and asks it for the
    /// streams of `peer` (IPv4).
    bool connectRelay(const QHostAddress& server, quint16 port, const QHostAddress& peer);
    /// Ends the input, closes every open unit and waits until all are written.
    void stop();

    /// @name Packets fed in directly
    //@{
    /// One RTP or RTCP packet from `sender`, as if it had been received.
    void feedRtp(const unsigned char* data, int size, const QHostAddress& sender);
    void feedRtcp(const unsigned char* data, int size, const QHostAddress& sender);
    //@}
    /// Closes the units of streams that have been silent for a unit length
    /// (the network thread does this four times a second).
    void closeIdleUnits();
    /// Closes every open unit and waits until all units so far are written.
    void flush();

    /// The unit length in use (after clamping).
    double unitSeconds() const { return m_unitSeconds; }
    /// The path of the store in use.
    QString storePath() const { return m_path; }
    /// The names of the streams recorded so far.
    QStringList streamNames() const;
    /// How many units have been written so far.
    quint64 unitsWritten() const;

private:
    using StreamKey = std::tuple<quint64, quint64, quint32>;

    void init(const Options& options);
    bool startInput(const char* caller, const std::function<bool()>& open);
    void stopInput();
    bool openUdp(quint16& rtpPort, quint16& rtcpPort, const QHostAddress& group, const QHostAddress& iface);
    static void rtpCallback(void* context, const Datagram& datagram);
    static void rtcpCallback(void* context, const Datagram& datagram);
    void onRtp(const Datagram& datagram);
    void onRtcp(const Datagram& datagram);
    void onRelayMessage(const char* data, int size);
    // Called with m_streamLock held.
    StreamRecorder* streamFor(const Datagram& datagram, quint32 ssrc);
    void submit(QVector<CutUnit>& done);

    Clock& m_clock;
    Options m_options;
    double m_unitSeconds = 1.0;
    QString m_path;
    std::unique_ptr<UnitWriter> m_writer;

    // The network thread and what lives on it.
    std::unique_ptr<QThread> m_thread;
    QObject* m_context = nullptr;
    KavexUdpReceiver* m_rtpSocket = nullptr;
    KavexUdpReceiver* m_rtcpSocket = nullptr;
    BufferSocketQueued* m_relay = nullptr;
    QTimer* m_idleTimer = nullptr;
    quint32 m_relayPeer = 0;
    std::unique_ptr<StreamUnitDecrypter> m_decrypter;
    bool m_warnedEncrypted = false;

    // Guards the streams between the network thread and callers of
    // flush, closeIdleUnits and streamNames.
    mutable std::mutex m_streamLock;
    std::map<StreamKey, std::unique_ptr<StreamRecorder>> m_streams;
};
