#pragma once

#include "Channel.h"
#include "ChannelRegistry.h"
#include "Clock.h"
#include "LiveStreamStatus.h"
#include "MixingStep.h"
#include "NTPRange.h"
#include "OutputPacer.h"
#include "RtpSink.h"
#include "SharedPoolBuffer.h"
#include "SignalTones.h"

#include "KavexMutex.h"
#include <QByteArray>
#include <QHostAddress>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <memory>
#include <vector>

class RTCPPacket;
class RTPPacket;
class PlaybackChannel;
class RtpReceiver;
class PresentationGroup;

// The implementation behind the Mixer facade. It owns the channel registry
// (channels by id, groups by name), the signal tones, the capture sink and the
// mixer thread, which runs one MixingStep per tick and hands the block to the
// OutputPacer. One recursive mixer lock guards the registry, the tones, the
// output stage and the key list; the mixer thread takes it three times per
// tick, so an operation holding it delays the thread by at most part of a
// tick. Lives in the thread that created it (its slots and queued relays run
// there); run() is the mixer thread.
class MixerImpl : public QThread
{
    Q_OBJECT
public:
    // `clock` paces the ticks without output, waits between attempts to open
    // the output and anchors the live time line; `openOutput` (default: the
    // sound card) opens the output.
    MixerImpl(bool disableOutput, bool disableInput, Clock& clock = Clock::system(),
              OutputPacer::Opener openOutput = OutputPacer::Opener());
    ~MixerImpl() override;
    quint64 addChannel(const QString& presentationGroup, Channel* channel);
    void removeChannel(quint64 id);
    void removeRtpChannel(quint64 id);
    void setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys);
    void addPlaybackPresentationGroup(const QString& name);

    // Playback entry: a playback channel on a session of the named kind, in
    // the named playback group (made when missing). The strings and the port
    // go to the session unchanged; the channel is added even when its
    // session cannot be opened.
    quint64 addPlaybackChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                               const QString& d, unsigned short port, double volume);
    quint64 addInprocPlayChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                                 const QString& d, double volume);
    quint64 addMulPlayChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                              const QString& d, double volume);

    // Group operations: unknown group names do nothing.
    void ctrlStop(const QString& presentationGroup);
    void ctrlPause(const QString& presentationGroup);
    void ctrlSetSpeed(const QString& presentationGroup, int speed);
    void ctrlPlay(const QString& presentationGroup);
    void ctrlInterpretPause(const QString& presentationGroup, bool interpret);
    void ctrlRequestPositionUpdate(const QString& presentationGroup, int intervalMs);
    void ctrlSetAbsolutePlaybackPosition(const QString& presentationGroup, NTPTimestamp position);
    void ctrlSetPlaybackRange(const QString& presentationGroup, const NTPRange& range);
    NTPTimestamp getPlaybackStreamPosition(const QString& presentationGroup);
    QString getStreamInfo(const QString& presentationGroup);
    void mute(const QString& presentationGroup, channel_t side);
    void unmute(const QString& presentationGroup, channel_t side);

    // Per-id operations: unregistered ids do nothing.
    eSampleRate getSampleRateForChannel(quint64 id);
    void mute(quint64 id, channel_t side);
    void unmute(quint64 id, channel_t side);

    void shutdown();

    // Live input: every live channel joins "LIVE", whatever group is named.
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
    QList<LiveStreamStatus> getLiveStreams();

    // Talk-back: the capture sink sends the microphone (or a file) to its
    // destinations; port 0 is an in-process destination (inprocRtpPacket).
    void enableRtpSink(const QHostAddress& destination, unsigned short port, eSampleRate rate,
                       const QHostAddress& local, unsigned short localPort);
    void enableRtpSink(const QString& file, const QHostAddress& destination, unsigned short port, eSampleRate rate,
                       const QHostAddress& local, unsigned short localPort);
    void disableRtpSink();
    void setDigitalMicGain(float gain);
    bool isRtpSinkRunning() const { return m_captureSink.isRunning(); }

    // Output stage: volume 0..255 (only the low 8 bits count), balance
    // -100..100, filters 0 low-pass, 1 high-pass, 2 notch.
    void setMasterVolume(int volume);
    void setBalance(int balance);
    void enableFilter(int index, bool enable);
    void setLowpassFilterFreq(short frequency, short stages);
    void setHighpassFilterFreq(short frequency, short stages);
    void setNotchFilter(short frequency, short bandwidth, short depth);

    // Signal tones: WAV files played in "LIVE" over everything else.
    QStringList getAvailableSignalTones();
    quint64 setSignalTone(const QString& name, bool loop, bool exclusive, double volume);
    quint64 setSignalToneFromFile(const QString& path, bool loop, bool exclusive, double volume);
    void stopSignalTone(quint64 id);
    void stopAllSignalTones();

    // Peak levels since the previous call, 0..32767 per side.
    void outputPeak(int* left, int* right);

    // Inspection for hosts and tests.
    quint64 tick() const { return m_tick.load(std::memory_order_acquire); }
    // Late and missed ticks so far; any thread.
    MixerTickStatistics tickStatistics() const { return m_pacer.statistics(); }
    QStringList presentationGroupNames();
    QList<quint64> channelIds();
    bool isOutputEnabled() const { return m_outputEnabled; }
    bool isInputEnabled() const { return m_inputEnabled; }

    // The id under which `channel` is (or would be) registered.
    static quint64 channelId(const Channel* channel) { return ChannelRegistry::channelId(channel); }

signals:
    void inprocRtpPacket(SharedPoolBuffer spb);
    void onTimeLine(QStringList timeLine, QStringList timelineMergedPart);
    void positionUpdate(QString presentationGroup, NTPTimestamp ts, QString detail = QString());
    void playbackSessionState(QString presentationGroup, bool bState, QString streamInfo, QString streamName);
    void stateChanged(QString presentationGroup, int state, QString detail = QString());
    void endOfRangeReached(QString presentationGroup);

private slots:
    void onNewChannel(Channel* c);
    void onRemoveChannel(Channel* c);

protected:
    void run() override;

private:
    // One tick short of playing it: mix, output stage, group reports; returns the new tick.
    quint64 renderTick();
    void anchorLiveTimeLine(quint64 tick);
    // Runs `op` on the named group under the mixer lock, if it is registered.
    template <typename Op>
    void groupOp(const QString& name, Op op);
    quint64 addReceiver(RtpReceiver* receiver);
    // The group step shared by the three playback kinds.
    quint64 addPlayback(const QString& presentationGroup, PlaybackChannel* channel);
    std::vector<QByteArray> privateKeys();
    RtpReceiver* receiverById(quint64 id);

    Clock& m_clock;
    const bool m_inputEnabled;
    const bool m_outputEnabled;
    // Written by shutdown(), read by the mixer thread once per tick and while it waits.
    std::atomic<bool> m_stopRequested{false};
    KavexPiRecursiveMutex m_mixerLock;
    // Held while receivers are queried outside m_mixerLock (getLiveStreams)
    // and while channels are removed, so no receiver is deleted while it is
    // asked for its streams. Taken before m_mixerLock; never by the mixer
    // thread.
    KavexMutex m_receiverLifetimeLock;
    ChannelRegistry m_registry;             // guarded by m_mixerLock
    SignalTones m_signalTones;              // uses m_mixerLock itself
    MixingStep m_step;                      // output stage guarded by m_mixerLock; buffers: mixer thread
    OutputPacer m_pacer;                    // mixer thread only
    RtpSink m_captureSink;                  // thread-safe itself
    std::atomic<quint64> m_tick{0};         // written by the mixer thread only
    std::vector<QByteArray> m_privateKeys;  // guarded by m_mixerLock
};
