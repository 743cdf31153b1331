#pragma once

#include "Channel.h"
#include "Filter.h"
#include "LiveStreamStatus.h"
#include "NTPRange.h"
#include "RtpSink.h"
#include "SharedPoolBuffer.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include "KavexMutex.h"
#include <QSettings>
#include <QStringList>
#include <QThread>
#include <condition_variable>
#include <atomic>
#include <memory>
#include <vector>

class PcmDevice;
class RTCPPacket;
class RTPPacket;
class RtpReceiver;
class PresentationGroup;

// The implementation behind the Mixer facade: the channel registry, the
// presentation groups by name, and the mixer thread that mixes every tick.
// One recursive mixer lock guards the registry, the groups and the key list;
// an operation holding it delays the mixer thread by at most one tick.
class MixerImpl : public QThread
{
    Q_OBJECT
public:
    MixerImpl(bool disableOutput, bool disableInput);
    ~MixerImpl() override;

    quint64 addChannel(const QString& presentationGroup, Channel* channel);
    void removeChannel(quint64 id);
    void removeRtpChannel(quint64 id);
    void setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys);
    void addPlaybackPresentationGroup(const QString& name);

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
                                 const QString& sdp, QHostAddress* iface, const QHostAddress& tcpServer,
                                 double volume);
    quint64 addMulticastRtpChannel(const QString& presentationGroup, const QHostAddress& group,
                                   unsigned short& rtpPort, unsigned short& rtcpPort, const QString& sdp,
                                   QHostAddress* iface, double volume);
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
    // One tick of the mixer thread's work short of playing it: mix, output
    // stage, group reports. Returns the new tick. Only for the mixer thread,
    // or for measurements after shutdown().
    quint64 renderTick();
    const qint16* outputBlock() const { return m_outputBlock.get(); }

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

    // Peak levels of the last mixed tick, 0..32767 per side.
    void outputPeak(int* left, int* right) const;

    // Inspection for hosts and tests.
    quint64 tick() const { return m_tick.load(std::memory_order_acquire); }
    QStringList presentationGroupNames();
    QList<quint64> channelIds();
    bool isOutputEnabled() const { return m_outputEnabled; }
    bool isInputEnabled() const { return m_inputEnabled; }

    // The id under which `channel` is (or would be) registered.
    static quint64 channelId(const Channel* channel);

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
    static const int kFramesPerTick = 1024;
    static const int kBufferSamples = 1 << 20;

    quint64 registerChannel(Channel* channel);
    // Relays the group's four signals as our own.
    void connectGroup(PresentationGroup* group, Qt::ConnectionType type);
    // Runs `op` on the named group under the mixer lock, if it is registered.
    template <typename Op>
    void groupOp(const QString& name, Op op);
    void mix(int frames);
    void reportIntervals(quint64 tick);
    void anchorLiveTimeLine(quint64 tick);
    void paceTick(quint64 tick);
    void playBlock();
    void measurePeaks();
    // Sleeps up to `ms`; returns early when shutdown is requested.
    void pauseUnlessStopping(unsigned long ms);
    static bool isOwnChannel(Channel* channel);
    quint64 addReceiver(RtpReceiver* receiver);
    std::vector<QByteArray> privateKeys();
    RtpReceiver* receiverById(quint64 id);
    // Steps shared by both tone starts: build, unmute, register.
    quint64 startTone(const QString& path, bool loop, double volume);

    QMap<quint64, Channel*> m_channels;
    QMap<quint64, Channel*> m_signalTones;
    PcmDevice* m_device = nullptr;
    bool m_stopRequested = false;
    // Lets shutdown cut short the pause between attempts to open the output.
    KavexMutex m_stopLock;
    std::condition_variable_any m_stopCondition;
    KavexRecursiveMutex m_mixerLock;
    RtpSink m_captureSink;
    QSettings m_settings;
    bool m_inputEnabled;
    bool m_outputEnabled;
    std::unique_ptr<qint16[]> m_channelBuffer;
    std::unique_ptr<qint32[]> m_mixBuffer;  // left, right, left, right ...
    std::unique_ptr<qint16[]> m_outputBlock;
    std::atomic<quint64> m_tick{0};
    std::atomic<int> m_peakLeft{0};
    std::atomic<int> m_peakRight{0};
    QMap<QString, PresentationGroup*> m_groups;
    // Groups replaced in the map while they still had channels.
    QList<PresentationGroup*> m_replacedGroups;
    Filter m_outputStage;
    std::vector<QByteArray> m_privateKeys;
    std::vector<Channel*> m_snapshot;
};
