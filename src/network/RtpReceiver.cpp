#include "RtpReceiver.h"
#include "LogCategories.h"

#include "BufferSocketQueued.h"
#include "Configuration.h"
#include "DataStreamBuffer.h"
#include "Datagram.h"
#include "FeatureList.h"
#include "KavexUdpReceiver.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "RealTimePriority.h"
#include "RelayMessage.h"
#include "RtpChannel.h"
#include "RtpReceiverSlotProxy.h"
#include "SharedBufferPool.h"
#include "StreamUnitDecrypter.h"
#include "ThreadEnd.h"

#include <QDataStream>
#include <QDebug>
#include <QMetaObject>
#include <QRegExp>
#include <QSettings>

#include <stdexcept>

namespace {
// What the channels are told while the source's audio cannot be decrypted:
// the marker tone that replaces it is A-law at 8 kHz.
const char kEncryptedSdp[] =
    "v=0\r\no=PlaybackSession\r\ns=Encrypted Audio Stream\r\nm=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";

// Live channels of all receivers: each costs its queue's memory and the
// mixer thread's time every tick.
std::atomic<int> s_liveChannels{0};

// Senders remembered for the rate of refusal warnings; beyond this many
// (spoofed addresses) the table starts afresh.
const int kMaxRefusalWarnings = 1024;

// The payload type of the SDP's audio line; -1 without one.
int sdpPayloadType(const QString& sdp)
{
    QRegExp media(QStringLiteral("m=audio\\s+\\d+\\s+\\S+\\s+(\\d+)"));
    return media.indexIn(sdp) < 0 ? -1 : media.cap(1).toInt();
}

int positiveSetting(const QSettings& settings, const QString& key, int fallback)
{
    bool ok = false;
    const int value = settings.value(key, fallback).toInt(&ok);
    if (ok && value > 0)
        return value;
    qCWarning(lcKavexNetwork).noquote() << "RtpReceiver::RtpReceiver: Ignoring setting" << key << "="
                                        << settings.value(key).toString() << "; using" << fallback;
    return fallback;
}
}  // namespace

RtpReceiver::RtpReceiver(unsigned short& rtpPort, unsigned short& rtcpPort, const QString& sdp, QHostAddress* iface,
                         const QHostAddress& tcpServer, double volume, std::vector<QByteArray> keys, Clock& clock)
    : m_clock(clock)
    , m_sdp(sdp)
    , m_rtpPort(rtpPort)
    , m_rtcpPort(rtcpPort)
    , m_group(QHostAddress::Any)
    , m_pool(new SharedBufferPool)
    , m_privateKeys(std::move(keys))
    , m_tcpServer(tcpServer)
{
    m_volume = volume;
    readSettings();
    readLimits();
    m_probation.setPayloadType(sdpPayloadType(m_sdp));
    startThread(rtpPort, rtcpPort, iface);
}

RtpReceiver::RtpReceiver(const QHostAddress& group, unsigned short& rtpPort, unsigned short& rtcpPort,
                         const QString& sdp, QHostAddress* iface, double volume, std::vector<QByteArray> keys,
                         Clock& clock)
    : m_clock(clock)
    , m_sdp(sdp)
    , m_rtpPort(rtpPort)
    , m_rtcpPort(rtcpPort)
    , m_interface(QStringLiteral("0.0.0.0"))
    , m_group(group)
    , m_multicast(true)
    , m_pool(new SharedBufferPool)
    , m_privateKeys(std::move(keys))
{
    m_volume = volume;
    readLimits();
    m_probation.setPayloadType(sdpPayloadType(m_sdp));
    startThread(rtpPort, rtcpPort, iface);
}

RtpReceiver::~RtpReceiver()
{
    quit();
    wait();
    joinedThread(this);
    QList<RtpChannel*> remaining;
    {
        KavexLocker lock(&m_channelLock);
        remaining = m_channels.values();
        m_channels.clear();
    }
    releaseChannels(remaining.size());
    for (RtpChannel* channel : remaining)
        emit removeChannel(channel);
}

void RtpReceiver::readSettings()
{
    const QString file =
        Configuration::makeDirectory(Configuration::getConfigurationDirectory(), Configuration::settingsFileName());
    qCDebug(lcKavexNetwork).noquote() << "RtpReceiver::RtpReceiver: Using settings file" << file;
    QSettings settings(file, QSettings::IniFormat);
    m_interface =
        QHostAddress(settings.value(QStringLiteral("Mixer/UnicastInterface"), QStringLiteral("0.0.0.0")).toString());
}

void RtpReceiver::readLimits()
{
    const QSettings settings(Configuration::settingsFilePath(), QSettings::IniFormat);
    m_maxChannels = positiveSetting(settings, QStringLiteral("RtpReceiver/MaxChannelsPerReceiver"),
                                    DEFAULT_MAX_CHANNELS_PER_RECEIVER);
    m_maxChannelsTotal =
        positiveSetting(settings, QStringLiteral("RtpReceiver/MaxChannelsTotal"), DEFAULT_MAX_CHANNELS_TOTAL);
    m_realTimePriority = qBound(0, settings.value(QStringLiteral("RtpReceiver/RealTimePriority"), 0).toInt(), 99);
}

void RtpReceiver::startThread(unsigned short& rtpPort, unsigned short& rtcpPort, QHostAddress* iface)
{
    // Channels and talk-back buffers cross threads in queued signals.
    qRegisterMetaType<Channel*>("Channel*");
    qRegisterMetaType<SharedPoolBuffer>("SharedPoolBuffer");
    if (iface) {
        if (iface->isNull())
            *iface = m_interface;
        else
            m_interface = *iface;
    }
    {
        KavexLocker lock(&m_startLock);
        markThreadEnd(this);
        start(QThread::InheritPriority);
        while (!m_startDone)
            m_startCondition.wait(lock);
    }
    rtpPort = m_rtpPort;
    rtcpPort = m_rtcpPort;
    if (m_startFailed) {
        wait();
        joinedThread(this);
        throw std::runtime_error("RtpReceiver: cannot open the sockets");
    }
}

void RtpReceiver::run()
{
    if (m_realTimePriority > 0)
        RealTimePriority::raiseCurrentThread(QStringLiteral("RtpReceiver::run"), m_realTimePriority);
    m_proxy = std::make_unique<RtpReceiverSlotProxy>(this);
    connect(this, &RtpReceiver::sigUpstreamAddress, m_proxy.get(), &RtpReceiverSlotProxy::slotSetUpstreamAddress);
    connect(this, &RtpReceiver::sigUpstreamRtpData, m_proxy.get(), &RtpReceiverSlotProxy::slotUpStreamRtpData);
    bool failed = false;
    if (m_tcpServer.isNull())
        failed = !openUdpSockets();
    else
        openTcpSocket();
    {
        KavexLocker lock(&m_startLock);
        m_startFailed = failed;
        m_startDone = true;
        m_startCondition.notify_all();
    }
    if (!failed)
        exec();
    // Gone on the thread they belong to.
    m_rtpSocket.reset();
    m_rtcpSocket.reset();
    m_tcpSocket.reset();
    m_proxy.reset();
}

bool RtpReceiver::openUdpSockets()
{
    m_rtpSocket = std::make_unique<KavexUdpReceiver>();
    m_rtcpSocket = std::make_unique<KavexUdpReceiver>();
    m_rtpSocket->registerCallback(&RtpReceiver::rtpCallback, this);
    m_rtcpSocket->registerCallback(&RtpReceiver::rtcpCallback, this);
    qCDebug(lcKavexNetwork).noquote() << "RtpReceiver::run: Using interface" << m_interface.toString();

    quint16 port = m_rtpPort;
    const bool rtpOpen = m_multicast ? m_rtpSocket->createMulticast(port, m_group, m_interface)
                                     : m_rtpSocket->createUnicast(port, m_interface);
    if (!rtpOpen)
        return false;
    m_rtpPort = m_rtpSocket->localPort();

    auto openRtcp = [this](quint16 candidate) {
        return m_multicast ? m_rtcpSocket->createMulticast(candidate, m_group, m_interface)
                           : m_rtcpSocket->createUnicast(candidate, m_interface);
    };
    const bool requested = m_rtcpPort != 0;
    // RFC 3550: RTCP on the next port up, unless the caller chose one.
    bool rtcpOpen = openRtcp(requested ? m_rtcpPort : quint16(m_rtpPort + 1));
    if (!rtcpOpen && !requested)
        rtcpOpen = openRtcp(0);
    if (!rtcpOpen)
        return false;
    m_rtcpPort = m_rtcpSocket->localPort();

    if (m_multicast)
        qCDebug(lcKavexNetwork).noquote()
            << "RtpReceiver::run: RTP receiver for mcast group" << m_group.toString() << "listening on"
            << m_interface.toString() << "RTP-Port:" << m_rtpPort << "RTCP port" << m_rtcpPort;
    else
        qCDebug(lcKavexNetwork).noquote() << "RtpReceiver::run: RTP receiver listening on" << m_interface.toString()
                                          << "RTP-Port:" << m_rtpPort << "RTCP port" << m_rtcpPort;
    return true;
}

void RtpReceiver::openTcpSocket()
{
    {
        KavexLocker lock(&m_keyLock);
        FeatureList* features = FeatureList::globalInstance();
        CryptoTokenProvider* primary = features->getCryptoTokenProvider(true);
        CryptoTokenProvider* secondary = features->getCryptoTokenProvider(false);
        if (!features->isLocalMode() && (!primary || !secondary))
            m_decrypter = std::make_unique<StreamUnitDecrypter>();
        else
            m_decrypter = std::make_unique<StreamUnitDecrypter>(primary, secondary);
        m_decrypter->setListOfPossiblePrivateKeys(m_privateKeys);
    }
    // Connected later, by slotSetUpstreamAddress.
    m_tcpSocket = std::make_unique<BufferSocketQueued>(false);
    connect(m_tcpSocket.get(), &BufferSocketBase::incomingBuffer, m_proxy.get(),
            &RtpReceiverSlotProxy::onIncomingRtpRtcpData, Qt::DirectConnection);
    connect(m_tcpSocket.get(), &BufferSocketBase::connected, m_proxy.get(),
            &RtpReceiverSlotProxy::onRtpRtcpDataConnected);
}

void RtpReceiver::rtpCallback(void* context, const Datagram& datagram)
{
    static_cast<RtpReceiver*>(context)->onRtpStreamData(datagram);
}

void RtpReceiver::rtcpCallback(void* context, const Datagram& datagram)
{
    static_cast<RtpReceiver*>(context)->onRtcpStreamData(datagram);
}

bool RtpReceiver::reserveChannel(const RtpStreamKey& key)
{
    int limit = 0;
    const char* scope = "";
    if (m_channels.size() >= m_maxChannels) {
        limit = m_maxChannels;
        scope = "on this receiver";
    } else {
        int live = s_liveChannels.load();
        while (live < m_maxChannelsTotal && !s_liveChannels.compare_exchange_weak(live, live + 1)) {
        }
        if (live < m_maxChannelsTotal)
            return true;
        limit = m_maxChannelsTotal;
        scope = "in all receivers";
    }
    const qint64 now = m_clock.monotonicMs();
    const RtpStreamKey sender = key.senderKey();
    const auto last = m_refusalWarnings.constFind(sender);
    if (last == m_refusalWarnings.constEnd() || now - last.value() >= REFUSAL_WARNING_INTERVAL_MS) {
        // Spoofed sender addresses must not grow the table without end.
        if (m_refusalWarnings.size() >= kMaxRefusalWarnings)
            m_refusalWarnings.clear();
        m_refusalWarnings.insert(sender, now);
        qCWarning(lcKavexNetwork).noquote()
            << QStringLiteral("RtpReceiver::onReadyRead: Refusing stream from %1 SSRC %2, the limit "
                              "of %3 live channels %4 is reached")
                   .arg(key.sender().toString())
                   .arg(key.ssrc())
                   .arg(limit)
                   .arg(QLatin1String(scope));
    }
    return false;
}

void RtpReceiver::releaseChannels(int count)
{
    s_liveChannels.fetch_sub(count);
}

int RtpReceiver::liveChannelsTotal()
{
    return s_liveChannels.load();
}

void RtpReceiver::startStream(const RtpStreamKey& key, const QList<QByteArray>& packets, const QByteArray& senderReport)
{
    if (!reserveChannel(key)) {
        m_dropped.fetch_add(quint64(packets.size()), std::memory_order_relaxed);
        return;
    }
    RtpChannel* channel = nullptr;
    try {
        channel = new RtpChannel(m_sdp, m_volume, m_clock);
    } catch (const std::exception&) {
        releaseChannels(1);
        qCWarning(lcKavexNetwork) << "RtpReceiver::onReadyRead: Failed to create RTP channel";
        return;
    }
    channel->setPresentationGroup(m_presentationGroup);
    connect(channel, &RtpChannel::stale, this, &RtpReceiver::onStaleChannel);
    // The new stream is muted exactly where the source is.
    channel->unmute(channel_t(~quint32(m_muteState)));
    m_channels.insert(key, channel);
    // No other thread knows the channel yet: its decoder is made here, so
    // that the packets of the probation are decoded, not dropped.
    channel->applyPendingSdp();
    if (!senderReport.isEmpty())
        channel->rtcp(
            RTCPPacket(reinterpret_cast<const unsigned char*>(senderReport.constData()), senderReport.size()));
    for (const QByteArray& p : packets)
        channel->depay(RTPPacket(reinterpret_cast<const unsigned char*>(p.constData()), p.size()));
    // Announced from the owner's thread: a receiver deleted before then
    // takes the announcement with it, so the mixer never gets a channel that
    // was disposed of already.
    QMetaObject::invokeMethod(
        this, [this, channel] { announce(channel); }, Qt::QueuedConnection);
}

bool RtpReceiver::dropAndMayLog(LogRateLimit& limit)
{
    m_dropped.fetch_add(1, std::memory_order_relaxed);
    if (!limit.allow(m_clock.monotonicMs()))
        return false;
    if (const int heldBack = limit.takeHeldBack())
        qCWarning(lcKavexNetwork) << "RtpReceiver: Left out" << heldBack << "log lines about dropped packets";
    return true;
}

void RtpReceiver::announce(RtpChannel* channel)
{
    {
        KavexLocker lock(&m_channelLock);
        if (!m_channels.values().contains(channel))
            return;
    }
    emit newChannel(channel);
}

void RtpReceiver::onRtpStreamData(const Datagram& datagram)
{
    if (!m_rtpSocket && !m_tcpSocket)
        return;
    const RTPPacket packet(datagram.data, datagram.size);
    KavexLocker lock(&m_channelLock);
    m_received.fetch_add(1, std::memory_order_relaxed);
    if (!packet.isHeaderValid()) {
        if (dropAndMayLog(m_rtpLog))
            qCWarning(lcKavexNetwork, "RtpReceiver::onReadyRead: Invalid RTP header received");
        return;
    }
    const RtpStreamKey key(datagram, packet.getSSRC());
    if (RtpChannel* channel = m_channels.value(key)) {
        channel->depay(packet);
        return;
    }
    QList<QByteArray> packets;
    QByteArray senderReport;
    switch (m_probation.offer(key, packet, m_clock.monotonicMs(), &packets, &senderReport)) {
    case RtpStreamProbation::PROBATION_WAITING:
        return;
    case RtpStreamProbation::PROBATION_REFUSED:
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    case RtpStreamProbation::PROBATION_PASSED:
        startStream(key, packets, senderReport);
        return;
    }
}

void RtpReceiver::onRtcpStreamData(const Datagram& datagram)
{
    if (!m_rtcpSocket && !m_tcpSocket)
        return;
    const RTCPPacket packet(datagram.data, datagram.size);
    KavexLocker lock(&m_channelLock);
    m_received.fetch_add(1, std::memory_order_relaxed);
    if (!packet.isHeaderValid()) {
        if (dropAndMayLog(m_rtcpLog))
            qCWarning(lcKavexNetwork, "RtpReceiver::onRtcpReadyRead: Invalid RTCP header received");
        return;
    }
    const RtpStreamKey key(datagram, packet.getSSRC());
    if (RtpChannel* channel = m_channels.value(key)) {
        channel->rtcp(packet);
        return;
    }
    // Reports make no channel: a sender report waits for its stream's RTP;
    // anything else (other listeners' receiver reports) is dropped.
    if (packet.getType() == RTCP_TYPE_SR) {
        m_probation.offerSenderReport(key, QByteArray(reinterpret_cast<const char*>(datagram.data), datagram.size),
                                      m_clock.monotonicMs());
        return;
    }
    if (dropAndMayLog(m_rtcpLog))
        qCDebug(lcKavexNetwork, "RtpReceiver::onRtcpReadyRead: Received RTCP packet for unknown SSRC %u",
                unsigned(packet.getSSRC()));
}

void RtpReceiver::onStaleChannel()
{
    qCDebug(lcKavexNetwork) << "RtpReceiver::onStaleChannel()";
    // The sender may be gone already (taken and disposed of): it is only
    // compared with the channels we still hold, never used before it is found.
    const QObject* source = sender();
    RtpChannel* channel = nullptr;
    {
        KavexLocker lock(&m_channelLock);
        for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
            if (static_cast<QObject*>(it.value()) == source) {
                channel = it.value();
                m_channels.erase(it);
                releaseChannels(1);
                break;
            }
        }
    }
    if (channel)
        emit removeChannel(channel);
}

void RtpReceiver::setSdp(const QString& sdp)
{
    KavexLocker lock(&m_channelLock);
    if (sdp == m_sdp)
        return;
    m_sdp = sdp;
    m_probation.setPayloadType(sdpPayloadType(sdp));
    for (RtpChannel* channel : qAsConst(m_channels))
        channel->setSdp(sdp);
}

QString RtpReceiver::sdp() const
{
    KavexLocker lock(&m_channelLock);
    return m_sdp;
}

void RtpReceiver::setPrivateKeys(const std::vector<QByteArray>& keys)
{
    KavexLocker lock(&m_keyLock);
    m_privateKeys = keys;
    if (m_decrypter)
        m_decrypter->setListOfPossiblePrivateKeys(m_privateKeys);
}

void RtpReceiver::takeChannels(QList<RtpChannel*>& channels)
{
    KavexLocker lock(&m_channelLock);
    channels.append(m_channels.values());
    releaseChannels(m_channels.size());
    m_channels.clear();
}

bool RtpReceiver::forgetChannel(const RtpChannel* channel)
{
    KavexLocker lock(&m_channelLock);
    for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
        if (it.value() == channel) {
            m_channels.erase(it);
            releaseChannels(1);
            return true;
        }
    }
    return false;
}

int RtpReceiver::channelCount() const
{
    KavexLocker lock(&m_channelLock);
    return m_channels.size();
}

QStringList RtpReceiver::streamKeys() const
{
    KavexLocker lock(&m_channelLock);
    QStringList keys;
    for (const RtpStreamKey& key : m_channels.keys())
        keys.append(key.toString());
    return keys;
}

QList<LiveStreamStatus> RtpReceiver::streamStatus() const
{
    KavexLocker lock(&m_channelLock);
    QList<LiveStreamStatus> result;
    for (auto it = m_channels.cbegin(); it != m_channels.cend(); ++it) {
        LiveStreamStatus s;
        s.sender = it.key().sender();
        s.ssrc = it.key().ssrc();
        s.codec = it.value()->codec();
        it.value()->statistics(&s.packets, &s.lost, &s.duplicates, &s.peak);
        result.append(s);
    }
    return result;
}

bool RtpReceiver::isEncryptedMode() const
{
    return m_encryptedMode.load();
}

void RtpReceiver::mute(channel_t side)
{
    KavexLocker lock(&m_channelLock);
    Channel::mute(side);
    for (RtpChannel* channel : qAsConst(m_channels))
        channel->mute(side);
}

void RtpReceiver::unmute(channel_t side)
{
    KavexLocker lock(&m_channelLock);
    Channel::unmute(side);
    for (RtpChannel* channel : qAsConst(m_channels))
        channel->unmute(side);
}

void RtpReceiver::setPresentationGroup(const QString& name)
{
    // Streams that arrived before the mixer registered us follow along.
    KavexLocker lock(&m_channelLock);
    Channel::setPresentationGroup(name);
    for (RtpChannel* channel : qAsConst(m_channels))
        channel->setPresentationGroup(name);
}

eSampleRate RtpReceiver::getSampleRate()
{
    const QString text = sdp();
    if (text.isEmpty())
        return SAMPLE_RATE_16000;
    QRegExp rtpmap(QStringLiteral("a=rtpmap:([0-9]+)\\s+([\\w\\-]+)/([0-9]+)"));
    if (rtpmap.indexIn(text) < 0)
        return SAMPLE_RATE_NONE;
    const QString rate = rtpmap.cap(3);
    if (rate == QLatin1String("16000"))
        return SAMPLE_RATE_16000;
    if (rate == QLatin1String("8000"))
        return SAMPLE_RATE_8000;
    return SAMPLE_RATE_NONE;
}

void RtpReceiver::deleteThis()
{
    delete this;
}

void RtpReceiver::getData(unsigned char*, quint64) {}

NTPTimestamp RtpReceiver::getCurrentTimestamp()
{
    return NTPTimestamp();
}

void RtpReceiver::slotSetUpstreamAddress(QString peerAddress, quint16 portRTP, quint16 portRTCP)
{
    Q_UNUSED(portRTCP)
    if (m_tcpServer.isNull() || !m_tcpSocket)
        return;
    m_upstreamPeer = QHostAddress(peerAddress).toIPv4Address();
    m_tcpSocket->connectToHost(m_tcpServer, portRTP);
}

void RtpReceiver::sendMessage(const QByteArray& message)
{
    if (m_tcpSocket)
        m_tcpSocket->sendBuffer(message.constData(), message.size());
}

void RtpReceiver::onRtpRtcpDataConnected()
{
    // The relay server learns whose stream we want: the IPv4 address, network order.
    DataStreamBuffer device;
    QDataStream out(&device);
    out << quint32(m_upstreamPeer);
    sendMessage(device.getBuffer());
}

void RtpReceiver::slotUpStreamRtpData(SharedPoolBuffer spb)
{
    DataStreamBuffer device;
    QDataStream out(&device);
    out << false;  // RTP, not RTCP
    out.writeBytes(reinterpret_cast<const char*>(spb.getBuffer()), uint(spb.getBufferSize()));
    sendMessage(device.getBuffer());
}

Datagram RtpReceiver::fromTcpPeer(const unsigned char* data, int size) const
{
    return Datagram::fromSender(data, size, m_tcpSocket->peerAddress(), m_tcpSocket->peerPort());
}

void RtpReceiver::onIncomingRtpRtcpData(const char* pData, int size)
{
    if (!m_tcpSocket)
        return;
    bool isRtcp = false;
    SharedPoolBuffer packet = m_pool->getBuffer();
    if (!RelayMessage::read(pData, size, &isRtcp, packet.getVariableBuffer())) {
        qCWarning(lcKavexNetwork) << "RtpReceiver::onIncomingRtpRtcpData: Discarding malformed message of" << size
                                  << "bytes";
        return;
    }

    SharedPoolBuffer plain = packet;
    if (m_decrypter) {
        KavexLocker lock(&m_keyLock);
        plain = m_decrypter->decrypt(packet);
    }
    if (m_decrypter && plain.isEmpty() && !packet.isEmpty()) {
        onUndecryptable(isRtcp);
        return;
    }
    if (m_encryptedMode.load()) {
        // The first audio we can read again ends the tone; it is not played
        // itself, as its channels have yet to take the restored SDP.
        if (!isRtcp) {
            m_encryptedMode.store(false);
            setSdp(m_savedSdp);
        }
        return;
    }
    const Datagram datagram = fromTcpPeer(plain.getBuffer(), plain.getBufferSize());
    if (isRtcp)
        onRtcpStreamData(datagram);
    else
        onRtpStreamData(datagram);
}

void RtpReceiver::onUndecryptable(bool isRtcp)
{
    if (!m_encryptedMode.load()) {
        m_encryptedMode.store(true);
        m_savedSdp = sdp();
        setSdp(QString::fromLatin1(kEncryptedSdp));
    }
    if (!isRtcp)
        sendTonePacket();
}

void RtpReceiver::sendTonePacket()
{
    SharedPoolBuffer buffer = m_pool->getBuffer();
    const int size = m_tone.nextPacket(m_clock.monotonicMs(), *buffer.getVariableBuffer());
    if (size > 0)
        onRtpStreamData(fromTcpPeer(buffer.getBuffer(), size));
}
