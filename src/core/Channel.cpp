#include "Channel.h"

quint64 bytesForRange(const NTPRange& range)
{
    if (range.start() > range.end())
        return 0;
    const double us = double((range.end() - range.start()).toMicroSeconds());
    quint64 bytes = quint64(us * 48.0 * 2.0 / 1000.0);
    if (bytes & 1)
        ++bytes;
    return bytes;
}

Channel::Channel() : m_muteState(CHANNEL_BOTH), m_volume(1.0) {}

Channel::Channel(const Channel& other)
    : m_muteState(other.m_muteState.load())
    , m_presentationGroup(other.m_presentationGroup)
    , m_volume(other.m_volume)
{
}

Channel& Channel::operator=(const Channel& other)
{
    m_muteState = other.m_muteState.load();
    m_presentationGroup = other.m_presentationGroup;
    m_volume = other.m_volume;
    return *this;
}

Channel::~Channel() = default;

channel_t Channel::getMuteState()
{
    return channel_t(m_muteState.load());
}

void Channel::mute(channel_t side)
{
    m_muteState.fetch_or(side);
}

void Channel::unmute(channel_t side)
{
    m_muteState.fetch_and(~quint32(side));
}

void Channel::getData(NTPRange range, unsigned char* buffer)
{
    getData(buffer, bytesForRange(range));
}

void Channel::shutdown() {}

QString Channel::getPresentationGroup()
{
    return m_presentationGroup;
}

void Channel::setPresentationGroup(const QString& name)
{
    m_presentationGroup = name;
}

bool Channel::isActive()
{
    return true;
}

void Channel::setActive(bool) {}
