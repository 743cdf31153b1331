#include "MixerImpl.h"

#include "Configuration.h"
#include "G711.h"
#include "PcmDevice.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "RtpChannel.h"
#include "RtpReceiver.h"
#include "SoundFileChannel.h"
#include "PlaybackPresentationGroup.h"
#include "PresentationGroup.h"
#include "PresentationNotifier.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {
const QString kLive = QStringLiteral("LIVE");
// The live time line runs this far behind the wall clock, so that packets
// have arrived before their audio is due.
const quint64 kLiveLeadMs = 120;
const quint64 kLiveReanchorTicks = 250;
const NTPTimestamp kIntervalOffset = NTPTimestamp::fromMilliseconds(20);
// 1024 frames at 48 kHz.
const std::chrono::nanoseconds kTickPeriod(21333333);
const unsigned long kReopenPauseMs = 5000;

PcmDevice* openOutput()
{
    return PcmDevice::open(PcmDevice::DirectionOutput, 48000, PcmDevice::SampleWidth16, 2, true);
}

NTPTimestamp liveAnchor()
{
    return NTPTimestamp::fromDateTime(QDateTime::currentDateTime()) - NTPTimestamp::fromMilliseconds(kLiveLeadMs);
}
}  // namespace

MixerImpl::MixerImpl(bool disableOutput, bool disableInput)
    : QThread(nullptr)
    , m_settings(Configuration::makeDirectory(Configuration::getConfigurationDirectory(),
                                              Configuration::settingsFileName()),
                 QSettings::IniFormat)
    , m_inputEnabled(!disableInput)
    , m_outputEnabled(!disableOutput)
    , m_channelBuffer(new qint16[kBufferSamples]())
    , m_mixBuffer(new qint32[2 * kBufferSamples]())
    , m_outputBlock(new qint16[2 * kFramesPerTick]())
{
    qRegisterMetaType<Channel*>("Channel*");
    NTPTimestamp::registerMetaType();
    qRegisterMetaType<SharedPoolBuffer>("SharedPoolBuffer");
    m_snapshot.reserve(1024);
    _G711_SetALawMode(false, false, 0x55, 0x55);

    if (!m_inputEnabled)
        qDebug() << "MixerImpl::MixerImpl:Disabling sound input";
    if (!m_outputEnabled)
        qDebug() << "MixerImpl::MixerImpl:Disabling sound output";

    auto* live = new PresentationGroup(kLive);
    {
        KavexLocker lock(&m_mixerLock);
        m_groups.insert(kLive, live);
    }
    connect(&m_captureSink, &RtpSink::inprocRtpPacket, this, &MixerImpl::inprocRtpPacket);
    start(QThread::TimeCriticalPriority);
}

MixerImpl::~MixerImpl()
{
    {
        KavexLocker lock(&m_mixerLock);
        while (!m_channels.isEmpty())
            removeChannel(m_channels.firstKey());
    }
    m_captureSink.stop();
    shutdown();
    // Groups left over ("LIVE" and groups that never had a channel) die with us.
    KavexLocker lock(&m_mixerLock);
    qDeleteAll(m_groups);
    m_groups.clear();
    qDeleteAll(m_replacedGroups);
}

quint64 MixerImpl::channelId(const Channel* channel)
{
    // The address of the Channel part; sign-extended where pointers have 32 bits.
    return quint64(qint64(reinterpret_cast<qintptr>(channel)));
}

quint64 MixerImpl::registerChannel(Channel* channel)
{
    KavexLocker lock(&m_mixerLock);
    const quint64 id = channelId(channel);
    m_channels.insert(id, channel);
    if (m_snapshot.capacity() < size_t(m_channels.size()))
        m_snapshot.reserve(size_t(m_channels.size()) * 2);
    return id;
}

quint64 MixerImpl::addChannel(const QString& presentationGroup, Channel* channel)
{
    KavexLocker lock(&m_mixerLock);
    qDebug().noquote() << "MixerImpl::addChannel: Trying to add channel to presentation group" << presentationGroup;
    PresentationGroup* group = m_groups.value(presentationGroup);
    if (!group) {
        qDebug().noquote() << "MixerImpl::addChannel: Creating new presentation group" << presentationGroup;
        group = new PresentationGroup(presentationGroup);
        connectGroup(group, Qt::QueuedConnection);
        m_groups.insert(presentationGroup, group);
    }
    channel->setPresentationGroup(presentationGroup);
    group->addChannel(channel);
    return registerChannel(channel);
}

void MixerImpl::connectGroup(PresentationGroup* group, Qt::ConnectionType type)
{
    connect(group, &PresentationGroup::positionUpdate, this, &MixerImpl::positionUpdate, type);
    connect(group, &PresentationGroup::playbackSessionState, this, &MixerImpl::playbackSessionState, type);
    connect(group, &PresentationGroup::stateChanged, this, &MixerImpl::stateChanged, type);
    connect(group, &PresentationGroup::endOfRangeReached, this, &MixerImpl::endOfRangeReached, type);
}

void MixerImpl::addPlaybackPresentationGroup(const QString& name)
{
    auto* group = new PlaybackPresentationGroup(name);
    connectGroup(group, Qt::AutoConnection);
    KavexLocker lock(&m_mixerLock);
    // An empty replaced group goes at once; one with channels is kept until
    // we die, as its channels may still be in the middle of being used.
    if (PresentationGroup* old = m_groups.value(name)) {
        if (old->isEmpty() && name != kLive) {
            disconnect(old, nullptr, this, nullptr);
            old->deleteLater();
        } else {
            m_replacedGroups.append(old);
        }
    }
    m_groups.insert(name, group);
}

bool MixerImpl::isOwnChannel(Channel* channel)
{
    // The library's own channel classes are disposed of by the registry; a
    // channel of any other class stays its creator's.
    return dynamic_cast<SoundFileChannel*>(channel) || dynamic_cast<RtpChannel*>(channel) ||
           dynamic_cast<RtpReceiver*>(channel);
}

void MixerImpl::removeChannel(quint64 id)
{
    KavexLocker lock(&m_mixerLock);
    if (!m_channels.contains(id)) {
        qWarning().noquote() << "MixerImpl::removeChannel: Unknown id" << id;
        return;
    }
    Channel* channel = m_channels.take(id);

    if (auto* receiver = dynamic_cast<RtpReceiver*>(channel)) {
        if (receiver->isRunning()) {
            receiver->quit();
            receiver->wait();
        }
        QList<RtpChannel*> made;
        receiver->takeChannels(made);
        for (int i = made.size() - 1; i >= 0; --i) {
            m_channels.remove(channelId(made[i]));
            made[i]->deleteThis();
        }
    }

    const QString name = channel->getPresentationGroup();
    if (PresentationGroup* group = m_groups.value(name)) {
        group->removeChannel(channel);
        if (group->isEmpty() && name != kLive) {
            m_groups.remove(name);
            donePresentationGroup(name);
            disconnect(group, nullptr, this, nullptr);
            group->deleteLater();
        }
    }
    if (isOwnChannel(channel))
        channel->deleteThis();
}

void MixerImpl::removeRtpChannel(quint64 id)
{
    KavexLocker lock(&m_mixerLock);
    removeChannel(id);
}

void MixerImpl::setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys)
{
    KavexLocker lock(&m_mixerLock);
    m_privateKeys = keys;
    for (Channel* c : qAsConst(m_channels))
        if (auto* receiver = dynamic_cast<RtpReceiver*>(c))
            receiver->setPrivateKeys(keys);
}

std::vector<QByteArray> MixerImpl::privateKeys()
{
    KavexLocker lock(&m_mixerLock);
    return m_privateKeys;
}

quint64 MixerImpl::addRtpChannel(const QString& sdp, double volume)
{
    auto* channel = new RtpChannel(sdp, volume);
    return addChannel(kLive, channel);
}

quint64 MixerImpl::addReceiver(RtpReceiver* receiver)
{
    connect(receiver, &RtpReceiver::newChannel, this, &MixerImpl::onNewChannel);
    connect(receiver, &RtpReceiver::removeChannel, this, &MixerImpl::onRemoveChannel);
    return addChannel(kLive, receiver);
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
    KavexLocker lock(&m_mixerLock);
    QList<LiveStreamStatus> result;
    for (auto it = m_channels.cbegin(); it != m_channels.cend(); ++it) {
        if (auto* receiver = dynamic_cast<RtpReceiver*>(it.value())) {
            for (LiveStreamStatus s : receiver->streamStatus()) {
                s.receiverId = it.key();
                result.append(s);
            }
        }
    }
    return result;
}

RtpReceiver* MixerImpl::receiverById(quint64 id)
{
    KavexLocker lock(&m_mixerLock);
    return dynamic_cast<RtpReceiver*>(m_channels.value(id));
}

void MixerImpl::injectRtpChannelPacket(quint64 id, const RTPPacket& packet)
{
    KavexLocker lock(&m_mixerLock);
    // Only channels made by addRtpChannel take packets; other kinds are ignored.
    if (auto* channel = dynamic_cast<RtpChannel*>(m_channels.value(id)))
        channel->depay(packet);
}

void MixerImpl::injectRtcpChannelPacket(quint64 id, const RTCPPacket& packet)
{
    KavexLocker lock(&m_mixerLock);
    if (auto* channel = dynamic_cast<RtpChannel*>(m_channels.value(id)))
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
    if (PresentationGroup* group = m_groups.value(name))
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
    Channel* c = m_channels.value(id);
    return c ? c->getSampleRate() : SAMPLE_RATE_NONE;
}

void MixerImpl::mute(quint64 id, channel_t side)
{
    KavexLocker lock(&m_mixerLock);
    if (Channel* c = m_channels.value(id))
        c->mute(side);
}

void MixerImpl::unmute(quint64 id, channel_t side)
{
    KavexLocker lock(&m_mixerLock);
    if (Channel* c = m_channels.value(id))
        c->unmute(side);
}

void MixerImpl::setMasterVolume(int volume)
{
    KavexLocker lock(&m_mixerLock);
    m_outputStage.setOutputVolume(static_cast<unsigned char>(volume & 0xFF));
}

void MixerImpl::setBalance(int balance)
{
    KavexLocker lock(&m_mixerLock);
    m_outputStage.setBalance(balance);
    m_outputStage.setOutputVolume(static_cast<unsigned char>(m_outputStage.volume()));
}

void MixerImpl::enableFilter(int index, bool enable)
{
    KavexLocker lock(&m_mixerLock);
    m_outputStage.enable(index, enable);
}

void MixerImpl::setLowpassFilterFreq(short frequency, short stages)
{
    KavexLocker lock(&m_mixerLock);
    m_outputStage.setLowpass(frequency, stages);
}

void MixerImpl::setHighpassFilterFreq(short frequency, short stages)
{
    KavexLocker lock(&m_mixerLock);
    m_outputStage.setHighpass(frequency, stages);
}

void MixerImpl::setNotchFilter(short frequency, short bandwidth, short depth)
{
    KavexLocker lock(&m_mixerLock);
    m_outputStage.setNotch(frequency, bandwidth, depth);
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
    return m_groups.keys();
}

QList<quint64> MixerImpl::channelIds()
{
    KavexLocker lock(&m_mixerLock);
    return m_channels.keys();
}

void MixerImpl::onNewChannel(Channel* c)
{
    KavexLocker lock(&m_mixerLock);
    qDebug() << "MixerImpl::onNewChannel: Received new channel from RTP Receiver";
    registerChannel(c);
}

void MixerImpl::onRemoveChannel(Channel* c)
{
    KavexLocker lock(&m_mixerLock);
    qDebug() << "MixerImpl::onRemoveChannel: Received request to remove channel from RTP receiver";
    removeChannel(channelId(c));
}

void MixerImpl::shutdown()
{
    {
        KavexLocker lock(&m_mixerLock);
        m_stopRequested = true;
    }
    {
        KavexLocker lock(&m_stopLock);
        m_stopCondition.notify_all();
    }
    qDebug() << "MixerImpl::shutdown: Waiting for mixer thread to finish";
    wait();
    qDebug() << "MixerImpl::shutdown: Mixer done";
}

void MixerImpl::anchorLiveTimeLine(quint64 tick)
{
    KavexLocker lock(&m_mixerLock);
    if (PresentationGroup* live = m_groups.value(kLive))
        live->setPosition(liveAnchor(), tick);
}

void MixerImpl::mix(int frames)
{
    KavexLocker lock(&m_mixerLock);
    const quint64 tick = m_tick.load(std::memory_order_relaxed);
    m_snapshot.clear();
    for (auto it = m_channels.cbegin(); it != m_channels.cend(); ++it)
        m_snapshot.push_back(it.value());

    for (Channel* c : m_snapshot) {
        if (!c->isActive())
            continue;
        PresentationGroup* group = m_groups.value(c->getPresentationGroup());
        if (!group)
            continue;
        const channel_t muteState = c->getMuteState();
        std::memset(m_channelBuffer.get(), 0, size_t(frames) * 2);
        // Asked even when fully muted, so that its position advances.
        c->getData(group->getCurrentRange(tick), reinterpret_cast<unsigned char*>(m_channelBuffer.get()));
        if (muteState == CHANNEL_BOTH)
            continue;
        const quint32 state = c->getMuteState();
        const bool leftOn = (state & CHANNEL_LEFT) == 0;
        const bool rightOn = (state & CHANNEL_RIGHT) == 0;
        const qint16* in = m_channelBuffer.get();
        qint32* out = m_mixBuffer.get();
        if (leftOn && rightOn) {
            for (int i = 0; i < frames; ++i) {
                out[2 * i] += in[i];
                out[2 * i + 1] += in[i];
            }
        } else if (leftOn || rightOn) {
            const int side = leftOn ? 0 : 1;
            for (int i = 0; i < frames; ++i)
                out[2 * i + side] += in[i];
        }
    }
}

void MixerImpl::reportIntervals(quint64 tick)
{
    for (auto it = m_groups.cbegin(); it != m_groups.cend(); ++it) {
        const NTPRange r = it.value()->getCurrentRange(tick);
        emitPresentationInterval(it.key(), r.start() - kIntervalOffset, r.end() - kIntervalOffset);
    }
    for (auto it = m_groups.cbegin(); it != m_groups.cend(); ++it)
        it.value()->updatePosition(it.key(), tick);
}

void MixerImpl::paceTick(quint64 tick)
{
    // Without a sound card to block on, ticks follow the real-time grid, so
    // that the groups' time lines run at real speed and no core is lost.
    static thread_local std::chrono::steady_clock::time_point origin;
    static thread_local quint64 originTick = 0;
    const auto now = std::chrono::steady_clock::now();
    if (originTick == 0 || tick <= originTick) {
        origin = now;
        originTick = tick;
        return;
    }
    const auto due = origin + kTickPeriod * qint64(tick - originTick);
    if (now - due > std::chrono::seconds(1)) {
        // Far behind (the machine stalled): start a new grid instead of racing.
        origin = now;
        originTick = tick;
        return;
    }
    std::this_thread::sleep_until(due);
}

void MixerImpl::pauseUnlessStopping(unsigned long ms)
{
    KavexLocker lock(&m_stopLock);
    {
        KavexLocker mixerLock(&m_mixerLock);
        if (m_stopRequested)
            return;
    }
    m_stopCondition.wait_for(lock, std::chrono::milliseconds(ms));
}

void MixerImpl::measurePeaks()
{
    int left = 0, right = 0;
    const qint16* s = m_outputBlock.get();
    for (int i = 0; i < kFramesPerTick; ++i) {
        left = std::max(left, std::abs(int(s[2 * i])));
        right = std::max(right, std::abs(int(s[2 * i + 1])));
    }
    m_peakLeft.store(std::min(left, 32767), std::memory_order_relaxed);
    m_peakRight.store(std::min(right, 32767), std::memory_order_relaxed);
}

void MixerImpl::outputPeak(int* left, int* right) const
{
    *left = m_peakLeft.load(std::memory_order_relaxed);
    *right = m_peakRight.load(std::memory_order_relaxed);
}

void MixerImpl::playBlock()
{
    if (!m_device) {
        // No sound output: try again, then wait before the next attempt; this
        // tick's block is not played.
        m_device = openOutput();
        pauseUnlessStopping(kReopenPauseMs);
        return;
    }
    int remaining = kFramesPerTick;
    while (remaining > 0) {
        unsigned int status = 0;
        const int n = m_device->write(reinterpret_cast<unsigned char*>(m_outputBlock.get()), remaining, &status);
        if (n < 0) {
            qWarning() << "MixerImpl::run(): ==========> Failed to recover from error" << n;
            continue;
        }
        remaining -= n;
        if (n == 0)
            break;  // a non-blocking device takes nothing
    }
}

quint64 MixerImpl::renderTick()
{
    std::memset(m_mixBuffer.get(), 0, sizeof(qint32) * 2 * kFramesPerTick);
    std::memset(m_outputBlock.get(), 0, sizeof(qint16) * 2 * kFramesPerTick);
    const quint64 tick = m_tick.fetch_add(1, std::memory_order_acq_rel) + 1;
    mix(kFramesPerTick);
    {
        KavexLocker lock(&m_mixerLock);
        m_outputStage.process(m_mixBuffer.get(), reinterpret_cast<unsigned short*>(m_outputBlock.get()),
                              kFramesPerTick);
    }
    measurePeaks();
    {
        KavexLocker lock(&m_mixerLock);
        reportIntervals(tick);
    }
    return tick;
}

void MixerImpl::run()
{
    m_device = openOutput();
    anchorLiveTimeLine(tick());
    groupOp(kLive, [this](PresentationGroup* g) { g->play(tick()); });

    for (;;) {
        {
            KavexLocker lock(&m_mixerLock);
            if (m_stopRequested)
                break;
        }
        const quint64 tick = renderTick();
        if (tick % kLiveReanchorTicks == 0)
            anchorLiveTimeLine(tick);
        if (m_outputEnabled)
            playBlock();
        else
            paceTick(tick);
    }
    delete m_device;
    m_device = nullptr;
}

QStringList MixerImpl::getAvailableSignalTones()
{
    KavexLocker lock(&m_mixerLock);
    m_settings.beginGroup(QStringLiteral("Sounds"));
    const QStringList keys = m_settings.childKeys();
    m_settings.endGroup();
    return keys;
}

quint64 MixerImpl::startTone(const QString& path, bool loop, double volume)
{
    // Throws when the file cannot be played; nothing is registered then.
    auto* channel = new SoundFileChannel(path, 48000, loop, volume);
    channel->unmute(CHANNEL_BOTH);
    KavexLocker lock(&m_mixerLock);
    const quint64 id = addChannel(QStringLiteral("LIVE"), channel);
    if (id != 0)
        m_signalTones.insert(id, channel);
    return id;
}

quint64 MixerImpl::setSignalTone(const QString& name, bool loop, bool exclusive, double volume)
{
    if (exclusive || name.toLower() == QLatin1String("none"))
        stopAllSignalTones();
    QString file;
    {
        KavexLocker lock(&m_mixerLock);
        file = m_settings.value(QStringLiteral("Sounds/%1").arg(name), QString()).toString();
    }
    if (file.isEmpty())
        return 0;
    try {
        return startTone(Configuration::makeDirectory(Configuration::getDataDirectory(), file), loop, volume);
    } catch (const std::exception&) {
        qWarning("MixerImpl::setSignalToneFromFile(): error while activating sound '%s'", file.toLocal8Bit().constData());
        return 0;
    }
}

quint64 MixerImpl::setSignalToneFromFile(const QString& path, bool loop, bool exclusive, double volume)
{
    if (exclusive)
        stopAllSignalTones();
    if (!QFileInfo::exists(path)) {
        qWarning("MixerImpl::setSignalToneFromFile(): file '%s' not found", path.toLocal8Bit().constData());
        return 0;
    }
    try {
        return startTone(path, loop, volume);
    } catch (const std::exception& e) {
        qWarning("MixerImpl::setSignalToneFromFile(): '%s'", e.what());
        qWarning("MixerImpl::setSignalToneFromFile(): error while activating sound file '%s'.",
                 path.toLocal8Bit().constData());
        return 0;
    }
}

void MixerImpl::stopSignalTone(quint64 id)
{
    KavexLocker lock(&m_mixerLock);
    if (!m_signalTones.contains(id)) {
        qWarning("MixerImpl::stopSignalTone(): unknown channel id 0x%llx", static_cast<unsigned long long>(id));
        return;
    }
    removeChannel(id);
    m_signalTones.remove(id);
}

void MixerImpl::stopAllSignalTones()
{
    KavexLocker lock(&m_mixerLock);
    const QList<quint64> ids = m_signalTones.keys();
    for (quint64 id : ids)
        removeChannel(id);
    m_signalTones.clear();
}
