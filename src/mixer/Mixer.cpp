#include "Mixer.h"

#include "MixerImpl.h"

#include <cmath>

QWeakPointer<Mixer> Mixer::s_instance;

QSharedPointer<Mixer> Mixer::getInstance(bool disableOutput, bool disableInput)
{
    QSharedPointer<Mixer> current = s_instance.toStrongRef();
    if (current)
        return current;
    current = QSharedPointer<Mixer>(new Mixer(disableOutput, disableInput), [](Mixer* m) { delete m; });
    s_instance = current;
    return current;
}

Mixer::Mixer(bool disableOutput, bool disableInput)
    : QObject(nullptr)
    , m_impl(new MixerImpl(disableOutput, disableInput))
{
    NTPTimestamp::registerMetaType();
    m_impl->setHighpassFilterFreq(5600, 1);
    m_impl->setLowpassFilterFreq(2000, 1);
    m_impl->setNotchFilter(500, 100, 0);
    connect(m_impl, &MixerImpl::inprocRtpPacket, this, &Mixer::inprocRtpPacket);
    connect(m_impl, qOverload<QString, NTPTimestamp, QString>(&MixerImpl::positionUpdate), this,
            qOverload<const QString&, NTPTimestamp, const QString&>(&Mixer::positionUpdate));
    connect(m_impl, &MixerImpl::playbackSessionState, this, &Mixer::playbackSessionState);
    connect(m_impl, qOverload<QString, int, QString>(&MixerImpl::stateChanged), this,
            qOverload<const QString&, int, const QString&>(&Mixer::stateChanged));
    connect(m_impl, &MixerImpl::endOfRangeReached, this, &Mixer::endOfRangeReached);
}

Mixer::~Mixer()
{
    delete m_impl;
}

quint64 Mixer::addChannel(const QString&, Channel*)
{
    return 0;
}

void Mixer::removeRtpChannel(quint64 id)
{
    m_impl->removeRtpChannel(id);
}

void Mixer::ctrlStartPlayback(const QString& presentationGroup, int speed)
{
    m_impl->ctrlStop(presentationGroup);
    m_impl->ctrlSetSpeed(presentationGroup, speed);
    m_impl->ctrlPlay(presentationGroup);
}

void Mixer::ctrlStop(const QString& presentationGroup)
{
    m_impl->ctrlStop(presentationGroup);
}

void Mixer::ctrlPause(const QString& presentationGroup)
{
    m_impl->ctrlPause(presentationGroup);
}

void Mixer::ctrlSetSpeed(const QString& presentationGroup, int speed)
{
    if (speed == 0)
        m_impl->ctrlStop(presentationGroup);
    else
        m_impl->ctrlSetSpeed(presentationGroup, speed);
}

void Mixer::ctrlInterpretPause(const QString& presentationGroup, bool interpret)
{
    m_impl->ctrlInterpretPause(presentationGroup, interpret);
}

void Mixer::ctrlRequestPositionUpdate(const QString& presentationGroup, int intervalMs)
{
    m_impl->ctrlRequestPositionUpdate(presentationGroup, intervalMs);
}

void Mixer::ctrlSetAbsolutePlaybackPosition(const QString& presentationGroup, NTPTimestamp position)
{
    m_impl->ctrlSetAbsolutePlaybackPosition(presentationGroup, position);
}

void Mixer::ctrlSetPlaybackRange(const QString& presentationGroup, const NTPRange& range)
{
    m_impl->ctrlSetPlaybackRange(presentationGroup, range);
}

NTPTimestamp Mixer::getPlaybackStreamPosition(const QString& presentationGroup)
{
    return m_impl->getPlaybackStreamPosition(presentationGroup);
}

QString Mixer::getStreamInfo(const QString& presentationGroup)
{
    return m_impl->getStreamInfo(presentationGroup);
}

eSampleRate Mixer::getSampleRateForChannel(quint64 id)
{
    return m_impl->getSampleRateForChannel(id);
}

void Mixer::mute(const QString& presentationGroup, channel_t side)
{
    m_impl->mute(presentationGroup, side);
}

void Mixer::unmute(const QString& presentationGroup, channel_t side)
{
    m_impl->unmute(presentationGroup, side);
}

void Mixer::mute(quint64 id, channel_t side)
{
    m_impl->mute(id, side);
}

void Mixer::unmute(quint64 id, channel_t side)
{
    m_impl->unmute(id, side);
}

void Mixer::setListOfPossiblePrivateKeys(const std::vector<QByteArray>& keys)
{
    m_impl->setListOfPossiblePrivateKeys(keys);
}

QStringList Mixer::presentationGroups() const
{
    return m_impl->presentationGroupNames();
}

void Mixer::addPlaybackPresentationGroup(const QString& name)
{
    m_impl->addPlaybackPresentationGroup(name);
}

quint64 Mixer::addPlaybackChannel(const QString& presentationGroup, const QString& a, const QString& b,
                                  const QString& c, const QString& d, unsigned short port, double volume)
{
    return m_impl->addPlaybackChannel(presentationGroup, a, b, c, d, port, volume);
}

quint64 Mixer::addInprocPlayChannel(const QString& presentationGroup, const QString& a, const QString& b,
                                    const QString& c, const QString& d, double volume)
{
    return m_impl->addInprocPlayChannel(presentationGroup, a, b, c, d, volume);
}

quint64 Mixer::addMulPlayChannel(const QString& presentationGroup, const QString& a, const QString& b, const QString& c,
                                 const QString& d, double volume)
{
    return m_impl->addMulPlayChannel(presentationGroup, a, b, c, d, volume);
}

QStringList Mixer::getAvailableSignalTones()
{
    return m_impl->getAvailableSignalTones();
}

quint64 Mixer::setSignalTone(const QString& name, bool loop, bool exclusive, double volume)
{
    return m_impl->setSignalTone(name, loop, exclusive, volume);
}

quint64 Mixer::setSignalToneFromFile(const QString& path, bool loop, bool exclusive, double volume)
{
    return m_impl->setSignalToneFromFile(path, loop, exclusive, volume);
}

void Mixer::stopSignalTone(quint64 id)
{
    m_impl->stopSignalTone(id);
}

void Mixer::stopAllSignalTones()
{
    m_impl->stopAllSignalTones();
}

void Mixer::setMasterVolume(int volume)
{
    m_impl->setMasterVolume(volume);
}

void Mixer::setBalance(int balance)
{
    m_impl->setBalance(balance);
}

void Mixer::enableFilter(int index, bool enable)
{
    m_impl->enableFilter(index, enable);
}

void Mixer::setLowpassFilterFreq(short frequency, short stages)
{
    m_impl->setLowpassFilterFreq(frequency, stages);
}

void Mixer::setHighpassFilterFreq(short frequency, short stages)
{
    m_impl->setHighpassFilterFreq(frequency, stages);
}

void Mixer::setNotchFilter(short frequency, short bandwidth, short depth)
{
    m_impl->setNotchFilter(frequency, bandwidth, depth);
}

void Mixer::getOutputLevel(double* leftDb, double* rightDb) const
{
    int left = 0, right = 0;
    m_impl->outputPeak(&left, &right);
    const auto db = [](int peak) { return peak > 0 ? std::max(-96.0, 20.0 * std::log10(peak / 32767.0)) : -96.0; };
    *leftDb = db(left);
    *rightDb = db(right);
}

MixerTickStatistics Mixer::getTickStatistics() const
{
    return m_impl->tickStatistics();
}

void Mixer::enableRtpSink(const QHostAddress& destination, unsigned short port, eSampleRate rate,
                          const QHostAddress& local, unsigned short localPort)
{
    m_impl->enableRtpSink(destination, port, rate, local, localPort);
}

void Mixer::enableRtpSink(const QString& file, const QHostAddress& destination, unsigned short port, eSampleRate rate,
                          const QHostAddress& local, unsigned short localPort)
{
    m_impl->enableRtpSink(file, destination, port, rate, local, localPort);
}

void Mixer::disableRtpSink()
{
    m_impl->disableRtpSink();
}

void Mixer::setDigitalMicGain(float gain)
{
    m_impl->setDigitalMicGain(gain);
}

void Mixer::setAnalogMicGain(float) {}

quint64 Mixer::addRtpChannel(const QString& sdp, double volume)
{
    return m_impl->addRtpChannel(sdp, volume);
}

quint64 Mixer::addUnicastRtpChannel(const QString& presentationGroup, unsigned short& rtpPort, unsigned short& rtcpPort,
                                    const QString& sdp, QHostAddress* iface, const QHostAddress& tcpServer,
                                    double volume)
{
    return m_impl->addUnicastRtpChannel(presentationGroup, rtpPort, rtcpPort, sdp, iface, tcpServer, volume);
}

quint64 Mixer::addMulticastRtpChannel(const QString& presentationGroup, const QHostAddress& group,
                                      unsigned short& rtpPort, unsigned short& rtcpPort, const QString& sdp,
                                      QHostAddress* iface, double volume)
{
    return m_impl->addMulticastRtpChannel(presentationGroup, group, rtpPort, rtcpPort, sdp, iface, volume);
}

void Mixer::injectRtpChannelPacket(quint64 id, const RTPPacket& packet)
{
    m_impl->injectRtpChannelPacket(id, packet);
}

void Mixer::injectRtcpChannelPacket(quint64 id, const RTCPPacket& packet)
{
    m_impl->injectRtcpChannelPacket(id, packet);
}

void Mixer::setSdpFile(quint64 id, const QString& sdp)
{
    m_impl->setSdpFile(id, sdp);
}

void Mixer::setUpstreamAddress(quint64 id, const QString& peerAddress, unsigned short portRTP, unsigned short portRTCP)
{
    m_impl->setUpstreamAddress(id, peerAddress, portRTP, portRTCP);
}

void Mixer::sendTcpUpstreamRtpData(quint64 id, const SharedPoolBuffer& spb)
{
    m_impl->sendTcpUpstreamRtpData(id, spb);
}

QList<LiveStreamStatus> Mixer::getLiveStreams()
{
    return m_impl->getLiveStreams();
}
