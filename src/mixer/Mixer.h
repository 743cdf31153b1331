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

// The one object through which a host uses the library. Obtain it with
// getInstance(); it lives while the host holds a strong reference. Every call
// may come from any thread; signals are delivered through Qt connections from
// this object, which lives in the thread that created it (that thread must
// run a Qt event loop for group signals to arrive).
class OSTKAVEXMIXER_EXPORT Mixer : public QObject
{
    Q_OBJECT
public:
    // The current instance, or a new one when none is alive; the flags apply
    // only when a new instance is made.
    static QSharedPointer<Mixer> getInstance(bool disableOutput = false, bool disableInput = false);
    ~Mixer() override;
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    // Hosts cannot insert channels of their own: does nothing, returns 0.
    quint64 addChannel(const QString& presentationGroup, Channel* channel);
    // Removes a channel of any kind by id, tones included.
    void removeRtpChannel(quint64 id);

    void ctrlStartPlayback(const QString& presentationGroup, int speed);
    void ctrlStop(const QString& presentationGroup);
    void ctrlPause(const QString& presentationGroup);
    // speed 0 stops the group.
    void ctrlSetSpeed(const QString& presentationGroup, int speed);
    void ctrlInterpretPause(const QString& presentationGroup, bool interpret);
    void ctrlRequestPositionUpdate(const QString& presentationGroup, int intervalMs);
    void ctrlSetAbsolutePlaybackPosition(const QString& presentationGroup, NTPTimestamp position);
    void ctrlSetPlaybackRange(const QString& presentationGroup, const NTPRange& range);
    // Null for an unknown group.
    NTPTimestamp getPlaybackStreamPosition(const QString& presentationGroup);
    // "begin-end" of the group's recordings; "" for an unknown group.
    QString getStreamInfo(const QString& presentationGroup);
    // SAMPLE_RATE_NONE for an unknown id.
    eSampleRate getSampleRateForChannel(quint64 id);
    void mute(const QString& presentationGroup, channel_t side);
    void unmute(const QString& presentationGroup, channel_t side);
    void mute(quint64 id, channel_t side);
    void unmute(quint64 id, channel_t side);
    void setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys);
    // Creates an empty playback group of that name, replacing any group of that name.
    void addPlaybackPresentationGroup(const QString& name);

    // Recorded playback. Each call makes a playback channel on a recording
    // session and adds it to the named playback group (made when missing);
    // the host then drives the group with the ctrl... calls. Returns the
    // channel's id. The strings go to the session:
    //  - addInprocPlayChannel: a = the recording store ("" = recordings.db in
    //    the data directory), b unused, c = stream name, d = stream detail
    //    (the prefix of the channel's warnings).
    //  - addPlaybackChannel (a unit server at a:port, b = stream name) and
    //    addMulPlayChannel (several locations): not served by this build yet;
    //    the channel reports its session as failed.
    // A session that cannot reach its recordings shows as playbackSessionState
    // false and the stream information "0-0"; the channel stays until removed.
    quint64 addPlaybackChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                               const QString& d, unsigned short port, double volume);
    quint64 addInprocPlayChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                                 const QString& d, double volume);
    quint64 addMulPlayChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                              const QString& d, double volume);

    // Output stage: master volume 0..255 (100 = unity; only the low 8 bits
    // count, so 356 acts as 100), balance -100 (right silent) .. 100 (left
    // silent), filters 0 low-pass, 1 high-pass, 2 notch (all off at start).
    void setMasterVolume(int volume);
    void setBalance(int balance);
    void enableFilter(int index, bool enable);
    void setLowpassFilterFreq(short frequency, short stages);
    void setHighpassFilterFreq(short frequency, short stages);
    void setNotchFilter(short frequency, short bandwidth, short depth);

    // Signal tones, played in "LIVE" over everything else. A start returns the
    // tone's id, or 0 when nothing was started; the name "none" stops all tones.
    QStringList getAvailableSignalTones();
    quint64 setSignalTone(const QString& name, bool loop, bool exclusive, double volume);
    quint64 setSignalToneFromFile(const QString& path, bool loop, bool exclusive, double volume);
    void stopSignalTone(quint64 id);
    void stopAllSignalTones();

    // Live input. Every live input joins "LIVE" (the group name is not used).
    // addRtpChannel makes a channel fed by inject...Packet; the unicast and
    // multicast forms make a receiver that creates one channel per sender
    // and SSRC by itself. Ports 0 choose free ones (RTCP = RTP + 1 when
    // free) and are written back; 0 is returned when the receiver cannot
    // start. A non-null tcpServer receives over the TCP relay instead (see
    // setUpstreamAddress, sendTcpUpstreamRtpData).
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
    // The streams the receivers have made, with their counters and levels.
    QList<LiveStreamStatus> getLiveStreams();

    // Talk-back. enableRtpSink adds a destination (port 0: in process, through
    // inprocRtpPacket) at 8 or 16 kHz and starts capturing unless it runs;
    // the file form sends a WAV file instead of the microphone. The local
    // port is not used. disableRtpSink stops and forgets all destinations.
    void enableRtpSink(const QHostAddress& destination, unsigned short port, eSampleRate rate,
                       const QHostAddress& local = QHostAddress(), unsigned short localPort = 0);
    void enableRtpSink(const QString& file, const QHostAddress& destination, unsigned short port, eSampleRate rate,
                       const QHostAddress& local = QHostAddress(), unsigned short localPort = 0);
    void disableRtpSink();
    // Gain in dB-like steps: 3 doubles the amplitude, -3 halves it; reset by
    // the next start of the capture.
    void setDigitalMicGain(float gain);
    // Has no effect: the analogue gain belongs to the sound card's mixer.
    void setAnalogMicGain(float gain);

    // Peak level of the last mixed tick per side, in dB relative to full
    // scale (-96 for silence); for level meters.
    void getOutputLevel(double* leftDb, double* rightDb) const;
    // How well the mixer thread has kept time: ticks mixed, late and missed
    // ticks, worst lateness (see MixerTickStatistics).
    MixerTickStatistics getTickStatistics() const;

    // Names of the presentation groups that exist now ("LIVE" always).
    QStringList presentationGroups() const;

signals:
    void inprocRtpPacket(const SharedPoolBuffer& spb);
    void onTimeLine(const QStringList& timeline, const QStringList& timelineMergedPart);
    void positionUpdate(const QString& presentationGroup, NTPTimestamp ts, const QString& detail = QString());
    void stateChanged(const QString& presentationGroup, int state, const QString& detail = QString());
    void playbackSessionState(const QString& presentationGroup, bool bState, const QString& streamInfo,
                              const QString& streamName);
    void endOfRangeReached(const QString& presentationGroup);

private:
    friend class MixerAccess;
    explicit Mixer(bool disableOutput = false, bool disableInput = false);

    MixerImpl* m_impl;
    static QWeakPointer<Mixer> s_instance;
};
