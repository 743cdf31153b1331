#pragma once

#include "Channel.h"
#include "LiveStreamStatus.h"
#include "MixerTickStatistics.h"
#include "NTPRange.h"
#include "NTPTimestamp.h"
#include "OstKavexMixerGlobal.h"
#include "SharedPoolBuffer.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSharedPointer>
#include <QStringList>
#include <QWeakPointer>
#include <vector>

class MixerImpl;
class RTCPPacket;
class RTPPacket;

/// The one object through which a host uses the library. Obtain it with
/// getInstance(); it lives while the host holds a strong reference. Every call
/// may come from any thread; signals are delivered through Qt connections from
/// this object, which lives in the thread that created it (that thread must
/// run a Qt event loop for group signals to arrive).
///
/// Presentation groups are named time lines: "LIVE" holds every live input
/// and every signal tone, exists from the start and never signals the host;
/// the host names playback groups of its own and drives them with the ctrl...
/// calls. Calls naming a group or a channel id that does not exist do nothing.
class OSTKAVEXMIXER_EXPORT Mixer : public QObject
{
    Q_OBJECT
public:
    /// The current instance, or a new one when none is alive; the flags apply
    /// only when a new instance is made.
    /// @param disableOutput mix without a sound card: the mixer thread keeps
    ///        real time by itself and the mix is dropped.
    /// @param disableInput noted in the log only.
    static QSharedPointer<Mixer> getInstance(bool disableOutput = false, bool disableInput = false);
    /// Removes every channel, stops the capture and the mixer thread and
    /// closes the sound output.
    ~Mixer() override;
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    /// Hosts cannot insert channels of their own: does nothing, returns 0.
    quint64 addChannel(const QString& presentationGroup, Channel* channel);
    /// Removes a channel of any kind by id, tones included.
    void removeRtpChannel(quint64 id);

    /// @name Playback control of a presentation group
    //@{
    /// Stops the group, then plays it at `speed` percent (100 is real time,
    /// negative plays backwards).
    void ctrlStartPlayback(const QString& presentationGroup, int speed);
    /// Stops the group; its state becomes 0 (stopped).
    void ctrlStop(const QString& presentationGroup);
    /// Pauses the group; its state becomes 1 (paused).
    void ctrlPause(const QString& presentationGroup);
    /// speed 0 stops the group.
    void ctrlSetSpeed(const QString& presentationGroup, int speed);
    /// Whether the group keeps its own play clock (true, the default: a pause
    /// holds the position) or follows the time stamps of its first channel's
    /// audio (false).
    void ctrlInterpretPause(const QString& presentationGroup, bool interpret);
    /// Asks for positionUpdate every `intervalMs` milliseconds of played
    /// time while the group plays; below 1 none are sent.
    void ctrlRequestPositionUpdate(const QString& presentationGroup, int intervalMs);
    /// Moves the group's play position to the NTP time `position`.
    void ctrlSetAbsolutePlaybackPosition(const QString& presentationGroup, NTPTimestamp position);
    /// Limits play to `range`; reaching its end sends endOfRangeReached.
    void ctrlSetPlaybackRange(const QString& presentationGroup, const NTPRange& range);
    /// Null for an unknown group.
    NTPTimestamp getPlaybackStreamPosition(const QString& presentationGroup);
    /// "begin-end" of the group's recordings; "" for an unknown group.
    QString getStreamInfo(const QString& presentationGroup);
    //@}
    /// SAMPLE_RATE_NONE for an unknown id.
    eSampleRate getSampleRateForChannel(quint64 id);
    /// Mutes `side` (CHANNEL_LEFT, CHANNEL_RIGHT or CHANNEL_BOTH) of every
    /// channel of the group.
    void mute(const QString& presentationGroup, channel_t side);
    /// Unmutes `side` of every channel of the group.
    void unmute(const QString& presentationGroup, channel_t side);
    /// Mutes `side` of one channel. Live receivers start muted on both sides
    /// and hand their mute state on to the streams they make; tones and
    /// playback channels start heard.
    void mute(quint64 id, channel_t side);
    /// Unmutes `side` of one channel.
    void unmute(quint64 id, channel_t side);
    /// The private keys that open encrypted live streams and recordings; they
    /// apply to existing channels and to those made later.
    void setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys);
    /// Creates an empty playback group of that name, replacing any group of that name.
    void addPlaybackPresentationGroup(const QString& name);

    /// @name Recorded playback
    //@{
    /// Recorded playback. Each call makes a playback channel on a recording
    /// session and adds it to the named playback group (made when missing);
    /// the host then drives the group with the ctrl... calls. Returns the
    /// channel's id. The strings go to the session:
    ///  - addInprocPlayChannel: a = the recording store (a file path or postgresql://USER\@HOST:PORT/DB;
    ///    "" = recordings.db in the data directory), b unused, c = stream name, d = stream detail
    ///    (the prefix of the channel's warnings).
    ///  - addPlaybackChannel: a = the unit server's host (kavexmix serve), b =
    ///    stream name, c = stream detail, d = the server's access token or
    ///    "@FILE" to read it from FILE, port = the server's port. A lost
    ///    connection fails the session; the next unit request (the host
    ///    playing or seeking again) connects anew.
    ///  - addMulPlayChannel: one stream kept by several locations at once:
    ///    a = the locations separated by ';' (stores as for
    ///    addInprocPlayChannel, or HOST:PORT of unit servers), b = the
    ///    servers' access token (or "@FILE"), c = stream name, d = stream detail. Each unit
    ///    comes from the first location that has it, so a stretch one store
    ///    lacks plays from another; a location that fails is left out for 10 s.
    /// A session that cannot reach its recordings shows as playbackSessionState
    /// false and the stream information "0-0"; the channel stays until removed.
    quint64 addPlaybackChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                               const QString& d, unsigned short port, double volume);
    quint64 addInprocPlayChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                                 const QString& d, double volume);
    quint64 addMulPlayChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                              const QString& d, double volume);
    //@}

    /// @name Output stage
    //@{
    /// Output stage: master volume 0..255 (100 = unity; only the low 8 bits
    /// count, so 356 acts as 100), balance -100 (right silent) .. 100 (left
    /// silent), filters 0 low-pass, 1 high-pass, 2 notch (all off at start).
    void setMasterVolume(int volume);
    void setBalance(int balance);
    void enableFilter(int index, bool enable);
    void setLowpassFilterFreq(short frequency, short stages);
    void setHighpassFilterFreq(short frequency, short stages);
    void setNotchFilter(short frequency, short bandwidth, short depth);
    //@}

    /// @name Signal tones
    //@{
    /// Signal tones, played in "LIVE" over everything else. A start returns the
    /// tone's id, or 0 when nothing was started; the name "none" stops all tones.
    QStringList getAvailableSignalTones();
    quint64 setSignalTone(const QString& name, bool loop, bool exclusive, double volume);
    quint64 setSignalToneFromFile(const QString& path, bool loop, bool exclusive, double volume);
    void stopSignalTone(quint64 id);
    void stopAllSignalTones();
    //@}

    /// @name Live input
    //@{
    /// Live input. Every live input joins "LIVE" (the group name is not used).
    /// addRtpChannel makes a channel fed by inject...Packet; the unicast and
    /// multicast forms make a receiver that creates one channel per sender
    /// and SSRC by itself. Ports 0 choose free ones (RTCP = RTP + 1 when
    /// free) and are written back; 0 is returned when the receiver cannot
    /// start. A non-null tcpServer receives over the TCP relay instead (see
    /// setUpstreamAddress, sendTcpUpstreamRtpData).
    quint64 addRtpChannel(const QString& sdp, double volume);
    quint64 addUnicastRtpChannel(const QString& presentationGroup, unsigned short& rtpPort, unsigned short& rtcpPort,
                                 const QString& sdp, QHostAddress* iface, const QHostAddress& tcpServer, double volume);
    quint64 addMulticastRtpChannel(const QString& presentationGroup, const QHostAddress& group, unsigned short& rtpPort,
                                   unsigned short& rtcpPort, const QString& sdp, QHostAddress* iface, double volume);
    void injectRtpChannelPacket(quint64 id, const RTPPacket& packet);
    void injectRtcpChannelPacket(quint64 id, const RTCPPacket& packet);
    void setSdpFile(quint64 id, const QString& sdp);
    void setUpstreamAddress(quint64 id, const QString& peerAddress, unsigned short portRTP, unsigned short portRTCP);
    void sendTcpUpstreamRtpData(quint64 id, const SharedPoolBuffer& spb);
    //@}
    /// The streams the receivers have made, with their counters and levels.
    QList<LiveStreamStatus> getLiveStreams();

    /// @name Talk-back
    //@{
    /// Talk-back. enableRtpSink adds a destination (port 0: in process, through
    /// inprocRtpPacket) at 8 or 16 kHz and starts capturing unless it runs;
    /// the file form sends a WAV file instead of the microphone. The local
    /// port is not used. disableRtpSink stops and forgets all destinations.
    void enableRtpSink(const QHostAddress& destination, unsigned short port, eSampleRate rate,
                       const QHostAddress& local = QHostAddress(), unsigned short localPort = 0);
    void enableRtpSink(const QString& file, const QHostAddress& destination, unsigned short port, eSampleRate rate,
                       const QHostAddress& local = QHostAddress(), unsigned short localPort = 0);
    void disableRtpSink();
    //@}
    /// Gain in dB-like steps: 3 doubles the amplitude, -3 halves it; reset by
    /// the next start of the capture.
    void setDigitalMicGain(float gain);
    /// Has no effect: the analogue gain belongs to the sound card's mixer.
    void setAnalogMicGain(float gain);

    /// Peak level per side of everything mixed since the previous call, in
    /// dB relative to full scale: 0 means a sample reached full scale (the
    /// output clipped or nearly did), -96 silence or nothing mixed since. A
    /// meter that calls this at its own pace misses no burst between calls;
    /// two readers take the peaks from each other. Lock-free, any thread.
    void getOutputLevel(double* leftDb, double* rightDb) const;
    // How well the mixer thread has kept time: ticks mixed, late and missed
    // ticks, worst lateness (see MixerTickStatistics).
    MixerTickStatistics getTickStatistics() const;

    /// Names of the presentation groups that exist now ("LIVE" always).
    QStringList presentationGroups() const;

signals:
    /// One RTP packet of talk-back audio per capture cycle for the in-process
    /// destination (enableRtpSink with port 0).
    void inprocRtpPacket(const SharedPoolBuffer& spb);
    /// Not sent by this build; kept for hosts that connect to it.
    void onTimeLine(const QStringList& timeline, const QStringList& timelineMergedPart);
    /// The play position of a host's group, at the interval asked for with
    /// ctrlRequestPositionUpdate.
    void positionUpdate(const QString& presentationGroup, NTPTimestamp ts, const QString& detail = QString());
    /// A host's group changed its play state: 0 stopped, 1 paused, 2 playing.
    void stateChanged(const QString& presentationGroup, int state, const QString& detail = QString());
    /// Whether the recording session of a playback channel works, with the
    /// stream information ("begin-end", "0-0" when it failed) and stream name.
    void playbackSessionState(const QString& presentationGroup, bool bState, const QString& streamInfo,
                              const QString& streamName);
    /// A host's group played to the end of its range (ctrlSetPlaybackRange).
    void endOfRangeReached(const QString& presentationGroup);

private:
    friend class MixerAccess;
    explicit Mixer(bool disableOutput = false, bool disableInput = false);

    MixerImpl* m_impl;
    static QWeakPointer<Mixer> s_instance;
};
