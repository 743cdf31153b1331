#include "MixerImpl.h"
#include "LogCategories.h"

#include "FFmpegLog.h"
#include "G711.h"
#include "InprocPlaybackSession.h"
#include "MulPlaySession.h"
#include "PlaybackChannel.h"
#include "PlaybackSession.h"
#include "PresentationGroup.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "RealTimePriority.h"
#include "RtpChannel.h"
#include "RtpReceiver.h"
#include "ThreadEnd.h"

#include <QDebug>
#include <utility>

namespace {
// The live time line runs this far behind the wall clock, so that packets
// have arrived before their audio is due.
const NTPTimestamp kLiveLead = NTPTimestamp::fromMilliseconds(120);
// The live time line is put back on the wall clock this often, so that the
// sound card's clock cannot drift away from it.
const quint64 kLiveReanchorTicks = 250;
}  // namespace

MixerImpl::MixerImpl(bool disableOutput, bool disableInput, Clock& clock, OutputPacer::Opener openOutput)
    : QThread(nullptr)
    , m_clock(clock)
    , m_inputEnabled(!disableInput)
    , m_outputEnabled(!disableOutput)
    , m_signalTones(m_mixerLock, m_registry)
    , m_pacer(!disableOutput, m_stopRequested, clock, std::move(openOutput))
{
    qRegisterMetaType<Channel*>("Channel*");
    NTPTimestamp::registerMetaType();
    qRegisterMetaType<SharedPoolBuffer>("SharedPoolBuffer");
    _G711_SetALawMode(false, false, 0x55, 0x55);
    // From here on FFmpeg speaks through the Qt logger, also for the
    // converters and the host's own use of it.
    FFmpegLog::install();

    if (!m_inputEnabled)
        qCDebug(lcKavexMixer) << "MixerImpl::MixerImpl:Disabling sound input";
    if (!m_outputEnabled)
        qCDebug(lcKavexMixer) << "MixerImpl::MixerImpl:Disabling sound output";

    connect(&m_registry, &ChannelRegistry::positionUpdate, this, &MixerImpl::positionUpdate);
    connect(&m_registry, &ChannelRegistry::playbackSessionState, this, &MixerImpl::playbackSessionState);
    connect(&m_registry, &ChannelRegistry::stateChanged, this, &MixerImpl::stateChanged);
    connect(&m_registry, &ChannelRegistry::endOfRangeReached, this, &MixerImpl::endOfRangeReached);
    connect(&m_captureSink, &RtpSink::inprocRtpPacket, this, &MixerImpl::inprocRtpPacket);
    markThreadEnd(this);
    start(QThread::TimeCriticalPriority);
}

MixerImpl::~MixerImpl()
{
    {
        KavexLocker lifetime(&m_receiverLifetimeLock);
        KavexLocker lock(&m_mixerLock);
        m_registry.removeAll();
    }
    m_captureSink.stop();
    shutdown();
}

quint64 MixerImpl::addChannel(const QString& presentationGroup, Channel* channel)
{
    KavexLocker lock(&m_mixerLock);
    return m_registry.addChannel(presentationGroup, channel);
}

void MixerImpl::addPlaybackPresentationGroup(const QString& name)
{
    KavexLocker lock(&m_mixerLock);
    m_registry.addPlaybackGroup(name);
}

quint64 MixerImpl::addPlayback(const QString& presentationGroup, PlaybackChannel* channel)
{
    KavexLocker lock(&m_mixerLock);
    if (!m_registry.group(presentationGroup))
        m_registry.addPlaybackGroup(presentationGroup);
    return m_registry.addChannel(presentationGroup, channel);
}

quint64 MixerImpl::addPlaybackChannel(const QString& presentationGroup, const QString& a, const QString& b,
                                      const QString& c, const QString& d, unsigned short port, double volume)
{
    auto* channel = new PlaybackChannel;
    auto session = std::make_unique<PlaybackSession>();
    PlaybackSession* s = session.get();
    channel->openSession(
        std::move(session), [s, a, b, c, d, port] { return s->init(a, b, c, d, port, false); }, b, c, volume,
        privateKeys());
    return addPlayback(presentationGroup, channel);
}

quint64 MixerImpl::addInprocPlayChannel(const QString& presentationGroup, const QString& a, const QString& b,
                                        const QString& c, const QString& d, double volume)
{
    auto* channel = new PlaybackChannel;
    auto session = std::make_unique<InprocPlaybackSession>();
    InprocPlaybackSession* s = session.get();
    channel->openSession(
        std::move(session), [s, a, b, c, d] { return s->init(a, b, c, d, false, false); }, c, d, volume, privateKeys());
    return addPlayback(presentationGroup, channel);
}

quint64 MixerImpl::addMulPlayChannel(const QString& presentationGroup, const QString& a, const QString& b,
                                     const QString& c, const QString& d, double volume)
{
    auto* channel = new PlaybackChannel;
    auto session = std::make_unique<MulPlaySession>();
    MulPlaySession* s = session.get();
    channel->openSession(
        std::move(session), [s, a, b, c, d] { return s->init(a, b, c, d); }, c, d, volume, privateKeys());
    return addPlayback(presentationGroup, channel);
}

void MixerImpl::removeChannel(quint64 id)
{
    // A receiver's thread ends, and the channels are deleted, without the
    // mixer lock, so that the mixer thread keeps its ticks meanwhile; the
    // lifetime lock keeps other removals and the receivers' queries out.
    KavexLocker lifetime(&m_receiverLifetimeLock);
    ChannelRegistry::Removal removal;
    {
        KavexLocker lock(&m_mixerLock);
        if (!m_registry.detachChannel(id, &removal))
            return;
    }
    ChannelRegistry::stopReceiver(removal);
    {
        KavexLocker lock(&m_mixerLock);
        m_registry.detachMadeChannels(&removal);
    }
    ChannelRegistry::dispose(removal);
}

void MixerImpl::removeRtpChannel(quint64 id)
{
    removeChannel(id);
}

void MixerImpl::setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys)
{
    KavexLocker lock(&m_mixerLock);
    m_privateKeys = keys;
    for (Channel* c : m_registry.channels())
        if (auto* receiver = dynamic_cast<RtpReceiver*>(c))
            receiver->setPrivateKeys(keys);
        else if (auto* playback = dynamic_cast<PlaybackChannel*>(c))
            playback->setListOfPossiblePrivateKeys(keys);
}

std::vector<QByteArray> MixerImpl::privateKeys()
{
    KavexLocker lock(&m_mixerLock);
    return m_privateKeys;
}

quint64 MixerImpl::addRtpChannel(const QString& sdp, double volume)
{
    auto* channel = new RtpChannel(sdp, volume);
    return addChannel(ChannelRegistry::kLive, channel);
}

quint64 MixerImpl::addReceiver(RtpReceiver* receiver)
{
    connect(receiver, &RtpReceiver::newChannel, this, &MixerImpl::onNewChannel);
    connect(receiver, &RtpReceiver::removeChannel, this, &MixerImpl::onRemoveChannel);
    return addChannel(ChannelRegistry::kLive, receiver);
}

quint64 MixerImpl::addUnicastRtpChannel(const QString&, unsigned short& rtpPort, unsigned short& rtcpPort,
                                        const QString& sdp, QHostAddress* iface, const QHostAddress& tcpServer,
                                        double volume)
{
    try {
        return addReceiver(new RtpReceiver(rtpPort, rtcpPort, sdp, iface, tcpServer, volume, privateKeys()));
    } catch (const std::exception&) {
        return 0;
    }
}

quint64 MixerImpl::addMulticastRtpChannel(const QString&, const QHostAddress& group, unsigned short& rtpPort,
                                          unsigned short& rtcpPort, const QString& sdp, QHostAddress* iface,
                                          double volume)
{
    try {
        return addReceiver(new RtpReceiver(group, rtpPort, rtcpPort, sdp, iface, volume, privateKeys()));
    } catch (const std::exception&) {
        return 0;
    }
}

QList<LiveStreamStatus> MixerImpl::getLiveStreams()
{
    // A receiver holds its channel lock while it decodes, so it is asked for
    // its streams outside the mixer lock: the mixer thread keeps ticking while
    // a host polls. The lifetime lock keeps the receivers from being removed
    // meanwhile.
    KavexLocker lifetime(&m_receiverLifetimeLock);
    std::vector<std::pair<quint64, RtpReceiver*>> receivers;
    {
        KavexLocker lock(&m_mixerLock);
        for (auto it = m_registry.channels().cbegin(); it != m_registry.channels().cend(); ++it)
            if (auto* receiver = dynamic_cast<RtpReceiver*>(it.value()))
                receivers.emplace_back(it.key(), receiver);
    }
    QList<LiveStreamStatus> result;
    for (const auto& entry : receivers) {
        for (LiveStreamStatus s : entry.second->streamStatus()) {
            s.receiverId = entry.first;
            result.append(s);
        }
    }
    return result;
}

RtpReceiver* MixerImpl::receiverById(quint64 id)
{
    KavexLocker lock(&m_mixerLock);
    return dynamic_cast<RtpReceiver*>(m_registry.channel(id));
}

void MixerImpl::injectRtpChannelPacket(quint64 id, const RTPPacket& packet)
{
    KavexLocker lock(&m_mixerLock);
    // Only channels made by addRtpChannel take packets; other kinds are ignored.
    if (auto* channel = dynamic_cast<RtpChannel*>(m_registry.channel(id)))
        channel->depay(packet);
}

void MixerImpl::injectRtcpChannelPacket(quint64 id, const RTCPPacket& packet)
{
    KavexLocker lock(&m_mixerLock);
    if (auto* channel = dynamic_cast<RtpChannel*>(m_registry.channel(id)))
        channel->rtcp(packet);
}

void MixerImpl::setSdpFile(quint64 id, const QString& sdp)
{
    KavexLocker lock(&m_mixerLock);
    if (RtpReceiver* receiver = receiverById(id))
        receiver->setSdp(sdp);
}

void MixerImpl::setUpstreamAddress(quint64 id, const QString& peerAddress, unsigned short portRTP,
                                   unsigned short portRTCP)
{
    KavexLocker lock(&m_mixerLock);
    if (RtpReceiver* receiver = receiverById(id))
        emit receiver->sigUpstreamAddress(peerAddress, portRTP, portRTCP);
}

void MixerImpl::sendTcpUpstreamRtpData(quint64 id, const SharedPoolBuffer& spb)
{
    KavexLocker lock(&m_mixerLock);
    if (RtpReceiver* receiver = receiverById(id))
        emit receiver->sigUpstreamRtpData(spb);
}

template <typename Op>
void MixerImpl::groupOp(const QString& name, Op op)
{
    KavexLocker lock(&m_mixerLock);
    if (PresentationGroup* group = m_registry.group(name))
        op(group);
}

void MixerImpl::ctrlStop(const QString& presentationGroup)
{
    groupOp(presentationGroup, [](PresentationGroup* g) { g->stop(); });
}

void MixerImpl::ctrlPause(const QString& presentationGroup)
{
    groupOp(presentationGroup, [](PresentationGroup* g) { g->pause(); });
}

void MixerImpl::ctrlSetSpeed(const QString& presentationGroup, int speed)
{
    groupOp(presentationGroup, [speed](PresentationGroup* g) { g->setSpeed(speed); });
}

void MixerImpl::ctrlPlay(const QString& presentationGroup)
{
    groupOp(presentationGroup, [this](PresentationGroup* g) { g->play(tick()); });
}

void MixerImpl::ctrlInterpretPause(const QString& presentationGroup, bool interpret)
{
    groupOp(presentationGroup, [this, interpret](PresentationGroup* g) { g->interpretPause(interpret, tick()); });
}

void MixerImpl::ctrlRequestPositionUpdate(const QString& presentationGroup, int intervalMs)
{
    groupOp(presentationGroup, [intervalMs](PresentationGroup* g) { g->setPositionUpdateInterval(intervalMs); });
}

void MixerImpl::ctrlSetAbsolutePlaybackPosition(const QString& presentationGroup, NTPTimestamp position)
{
    groupOp(presentationGroup, [this, position](PresentationGroup* g) { g->setPosition(position, tick()); });
}

void MixerImpl::ctrlSetPlaybackRange(const QString& presentationGroup, const NTPRange& range)
{
    groupOp(presentationGroup, [this, range](PresentationGroup* g) { g->setPlaybackRange(range, tick()); });
}

NTPTimestamp MixerImpl::getPlaybackStreamPosition(const QString& presentationGroup)
{
    NTPTimestamp result;
    groupOp(presentationGroup, [&result](PresentationGroup* g) { result = g->position(); });
    return result;
}

QString MixerImpl::getStreamInfo(const QString& presentationGroup)
{
    QString result;
    groupOp(presentationGroup, [&result](PresentationGroup* g) {
        const QPair<quint64, quint64> interval = g->streamInterval();
        result = QStringLiteral("%1-%2").arg(interval.first).arg(interval.second);
    });
    return result;
}

void MixerImpl::mute(const QString& presentationGroup, channel_t side)
{
    groupOp(presentationGroup, [side](PresentationGroup* g) { g->mute(side); });
}

void MixerImpl::unmute(const QString& presentationGroup, channel_t side)
{
    groupOp(presentationGroup, [side](PresentationGroup* g) { g->unmute(side); });
}

eSampleRate MixerImpl::getSampleRateForChannel(quint64 id)
{
    KavexLocker lock(&m_mixerLock);
    Channel* c = m_registry.channel(id);
    return c ? c->getSampleRate() : SAMPLE_RATE_NONE;
}

void MixerImpl::mute(quint64 id, channel_t side)
{
    KavexLocker lock(&m_mixerLock);
    if (Channel* c = m_registry.channel(id))
        c->mute(side);
}

void MixerImpl::unmute(quint64 id, channel_t side)
{
    KavexLocker lock(&m_mixerLock);
    if (Channel* c = m_registry.channel(id))
        c->unmute(side);
}

void MixerImpl::setMasterVolume(int volume)
{
    KavexLocker lock(&m_mixerLock);
    m_step.outputStage().setOutputVolume(static_cast<unsigned char>(volume & 0xFF));
}

void MixerImpl::setBalance(int balance)
{
    KavexLocker lock(&m_mixerLock);
    m_step.outputStage().setBalance(balance);
    m_step.outputStage().setOutputVolume(static_cast<unsigned char>(m_step.outputStage().volume()));
}

void MixerImpl::enableFilter(int index, bool enable)
{
    KavexLocker lock(&m_mixerLock);
    m_step.outputStage().enable(index, enable);
}

void MixerImpl::setLowpassFilterFreq(short frequency, short stages)
{
    KavexLocker lock(&m_mixerLock);
    m_step.outputStage().setLowpass(frequency, stages);
}

void MixerImpl::setHighpassFilterFreq(short frequency, short stages)
{
    KavexLocker lock(&m_mixerLock);
    m_step.outputStage().setHighpass(frequency, stages);
}

void MixerImpl::setNotchFilter(short frequency, short bandwidth, short depth)
{
    KavexLocker lock(&m_mixerLock);
    m_step.outputStage().setNotch(frequency, bandwidth, depth);
}

void MixerImpl::enableRtpSink(const QHostAddress& destination, unsigned short port, eSampleRate rate,
                              const QHostAddress& local, unsigned short)
{
    m_captureSink.addDestination(destination, port, rate, local);
    if (!m_captureSink.isRunning())
        m_captureSink.start(QThread::TimeCriticalPriority);
}

void MixerImpl::enableRtpSink(const QString& file, const QHostAddress& destination, unsigned short port,
                              eSampleRate rate, const QHostAddress& local, unsigned short localPort)
{
    m_captureSink.startReadingFromFile(file);
    enableRtpSink(destination, port, rate, local, localPort);
}

void MixerImpl::disableRtpSink()
{
    m_captureSink.stop();
}

void MixerImpl::setDigitalMicGain(float gain)
{
    m_captureSink.setDigitalMicGain(gain);
}

QStringList MixerImpl::presentationGroupNames()
{
    KavexLocker lock(&m_mixerLock);
    return m_registry.groups().keys();
}

QList<quint64> MixerImpl::channelIds()
{
    KavexLocker lock(&m_mixerLock);
    return m_registry.channels().keys();
}

void MixerImpl::onNewChannel(Channel* c)
{
    KavexLocker lock(&m_mixerLock);
    qCDebug(lcKavexMixer) << "MixerImpl::onNewChannel: Received new channel from RTP Receiver";
    m_registry.registerChannel(c);
}

void MixerImpl::onRemoveChannel(Channel* c)
{
    KavexLocker lock(&m_mixerLock);
    qCDebug(lcKavexMixer) << "MixerImpl::onRemoveChannel: Received request to remove channel from RTP receiver";
    m_registry.removeChannel(channelId(c));
}

void MixerImpl::shutdown()
{
    m_stopRequested.store(true, std::memory_order_release);
    qCDebug(lcKavexMixer) << "MixerImpl::shutdown: Waiting for mixer thread to finish";
    wait();
    joinedThread(this);
    qCDebug(lcKavexMixer) << "MixerImpl::shutdown: Mixer done";
}

void MixerImpl::outputPeak(int* left, int* right)
{
    m_step.takeHeldPeaks(left, right);
}

void MixerImpl::anchorLiveTimeLine(quint64 tick)
{
    const NTPTimestamp anchor = m_clock.wallClock() - kLiveLead;
    groupOp(ChannelRegistry::kLive, [&](PresentationGroup* g) { g->setPosition(anchor, tick); });
}

quint64 MixerImpl::renderTick()
{
    const quint64 tick = m_tick.fetch_add(1, std::memory_order_acq_rel) + 1;
    {
        KavexLocker lock(&m_mixerLock);
        m_step.mix(tick, m_registry.snapshot(), m_registry.groups());
    }
    {
        KavexLocker lock(&m_mixerLock);
        m_step.applyOutputStage();
    }
    {
        KavexLocker lock(&m_mixerLock);
        m_step.reportGroups(tick, m_registry.groups());
    }
    return tick;
}

void MixerImpl::run()
{
    RealTimePriority::raiseCurrentThread(QStringLiteral("MixerImpl::run"));
    m_pacer.open();
    anchorLiveTimeLine(tick());
    groupOp(ChannelRegistry::kLive, [this](PresentationGroup* g) { g->play(tick()); });

    while (!m_stopRequested.load(std::memory_order_acquire)) {
        const quint64 tick = renderTick();
        if (tick % kLiveReanchorTicks == 0)
            anchorLiveTimeLine(tick);
        m_pacer.finishTick(tick, m_step.outputBlock());
    }
    m_pacer.close();
}

QStringList MixerImpl::getAvailableSignalTones()
{
    return m_signalTones.getAvailableSignalTones();
}

quint64 MixerImpl::setSignalTone(const QString& name, bool loop, bool exclusive, double volume)
{
    return m_signalTones.setSignalTone(name, loop, exclusive, volume);
}

quint64 MixerImpl::setSignalToneFromFile(const QString& path, bool loop, bool exclusive, double volume)
{
    return m_signalTones.setSignalToneFromFile(path, loop, exclusive, volume);
}

void MixerImpl::stopSignalTone(quint64 id)
{
    m_signalTones.stopSignalTone(id);
}

void MixerImpl::stopAllSignalTones()
{
    m_signalTones.stopAllSignalTones();
}
