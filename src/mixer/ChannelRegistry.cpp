#include "ChannelRegistry.h"
#include "LogCategories.h"

#include "PlaybackChannel.h"
#include "PlaybackPresentationGroup.h"
#include "PresentationGroup.h"
#include "PresentationNotifier.h"
#include "RtpChannel.h"
#include "RtpReceiver.h"
#include "SoundFileChannel.h"
#include "ThreadEnd.h"

#include <QDebug>

const QString ChannelRegistry::kLive = QStringLiteral("LIVE");

namespace {
const size_t kInitialSnapshotCapacity = 1024;
}

ChannelRegistry::ChannelRegistry()
{
    m_snapshot.reserve(kInitialSnapshotCapacity);
    // "LIVE" is never relayed: the host hears nothing of the live time line.
    m_groups.insert(kLive, new PresentationGroup(kLive));
}

ChannelRegistry::~ChannelRegistry()
{
    qDeleteAll(m_groups);
    qDeleteAll(m_replacedGroups);
}

quint64 ChannelRegistry::channelId(const Channel* channel)
{
    return quint64(qint64(reinterpret_cast<qintptr>(channel)));
}

bool ChannelRegistry::isOwnChannel(Channel* channel)
{
    return dynamic_cast<SoundFileChannel*>(channel) || dynamic_cast<RtpChannel*>(channel) ||
           dynamic_cast<RtpReceiver*>(channel) || dynamic_cast<PlaybackChannel*>(channel);
}

void ChannelRegistry::relay(PresentationGroup* group, Qt::ConnectionType type)
{
    connect(group, &PresentationGroup::positionUpdate, this, &ChannelRegistry::positionUpdate, type);
    connect(group, &PresentationGroup::playbackSessionState, this, &ChannelRegistry::playbackSessionState, type);
    connect(group, &PresentationGroup::stateChanged, this, &ChannelRegistry::stateChanged, type);
    connect(group, &PresentationGroup::endOfRangeReached, this, &ChannelRegistry::endOfRangeReached, type);
}

void ChannelRegistry::dropGroup(PresentationGroup* group)
{
    disconnect(group, nullptr, this, nullptr);
    group->deleteLater();
}

quint64 ChannelRegistry::registerChannel(Channel* channel)
{
    const quint64 id = channelId(channel);
    m_channels.insert(id, channel);
    if (m_snapshot.capacity() < size_t(m_channels.size()))
        m_snapshot.reserve(size_t(m_channels.size()) * 2);
    return id;
}

quint64 ChannelRegistry::addChannel(const QString& presentationGroup, Channel* channel)
{
    qCDebug(lcKavexMixer).noquote() << "MixerImpl::addChannel: Trying to add channel to presentation group"
                                    << presentationGroup;
    PresentationGroup* group = m_groups.value(presentationGroup);
    if (!group) {
        qCDebug(lcKavexMixer).noquote() << "MixerImpl::addChannel: Creating new presentation group"
                                        << presentationGroup;
        group = new PresentationGroup(presentationGroup);
        relay(group, Qt::QueuedConnection);
        m_groups.insert(presentationGroup, group);
    }
    channel->setPresentationGroup(presentationGroup);
    group->addChannel(channel);
    return registerChannel(channel);
}

void ChannelRegistry::addPlaybackGroup(const QString& name)
{
    auto* group = new PlaybackPresentationGroup(name);
    relay(group, Qt::AutoConnection);
    // An empty replaced group goes at once; one with channels is kept until
    // the registry dies, as its channels may still be in the middle of being used.
    if (PresentationGroup* old = m_groups.value(name)) {
        if (old->isEmpty() && name != kLive)
            dropGroup(old);
        else
            m_replacedGroups.append(old);
    }
    m_groups.insert(name, group);
}

void ChannelRegistry::removeChannel(quint64 id)
{
    Removal removal;
    if (!detachChannel(id, &removal))
        return;
    stopReceiver(removal);
    detachMadeChannels(&removal);
    dispose(removal);
}

bool ChannelRegistry::detachChannel(quint64 id, Removal* removal)
{
    if (!m_channels.contains(id)) {
        qCWarning(lcKavexMixer).noquote() << "MixerImpl::removeChannel: Unknown id" << id;
        return false;
    }
    Channel* channel = m_channels.take(id);
    *removal = Removal();
    removal->channel = channel;
    removal->own = isOwnChannel(channel);
    removal->receiver = dynamic_cast<RtpReceiver*>(channel);
    // A receiver's stream removed on its own must leave its receiver too, or
    // the receiver would hand it over (and it would be deleted) a second time.
    if (auto* stream = dynamic_cast<RtpChannel*>(channel)) {
        for (Channel* other : qAsConst(m_channels)) {
            auto* receiver = dynamic_cast<RtpReceiver*>(other);
            if (receiver && receiver->forgetChannel(stream))
                break;
        }
    }

    const QString name = channel->getPresentationGroup();
    if (PresentationGroup* group = m_groups.value(name)) {
        group->removeChannel(channel);
        if (group->isEmpty() && name != kLive) {
            m_groups.remove(name);
            donePresentationGroup(name);
            dropGroup(group);
        }
    }
    return true;
}

void ChannelRegistry::stopReceiver(const Removal& removal)
{
    RtpReceiver* receiver = removal.receiver;
    if (receiver && receiver->isRunning()) {
        receiver->quit();
        receiver->wait();
        joinedThread(receiver);
    }
}

void ChannelRegistry::detachMadeChannels(Removal* removal)
{
    if (!removal->receiver)
        return;
    removal->receiver->takeChannels(removal->made);
    for (RtpChannel* made : qAsConst(removal->made))
        m_channels.remove(channelId(made));
}

void ChannelRegistry::dispose(const Removal& removal)
{
    for (int i = removal.made.size() - 1; i >= 0; --i)
        removal.made[i]->deleteThis();
    if (removal.own)
        removal.channel->deleteThis();
}

void ChannelRegistry::removeAll()
{
    // Receivers first: each takes its streams with it, so that no stream is
    // looked up in every receiver on its own.
    for (const quint64 id : m_channels.keys())
        if (m_channels.contains(id) && dynamic_cast<RtpReceiver*>(m_channels.value(id)))
            removeChannel(id);
    while (!m_channels.isEmpty())
        removeChannel(m_channels.firstKey());
}

const std::vector<Channel*>& ChannelRegistry::snapshot()
{
    m_snapshot.clear();
    for (auto it = m_channels.cbegin(); it != m_channels.cend(); ++it)
        m_snapshot.push_back(it.value());
    return m_snapshot;
}
