#pragma once

#include "Channel.h"
#include "NTPTimestamp.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <vector>

class PresentationGroup;
class RtpChannel;
class RtpReceiver;

// The mixer's registry: channels by id, presentation groups by name (with
// "LIVE" from the start), and which channels the mixer disposes of. It relays
// the signals of every group but "LIVE" as its own. It has no lock: its owner
// serialises every call, and the mixer thread reads the channels and groups
// under the same lock. Lives in the thread that made the mixer.
class ChannelRegistry : public QObject
{
    Q_OBJECT
public:
    static const QString kLive;

    ChannelRegistry();
    // Deletes the groups still registered or replaced; channels left are not
    // disposed of (removeAll() does that).
    ~ChannelRegistry() override;

    // Puts the channel in the named group, making the group (relayed queued)
    // when there is none; returns the channel's id.
    quint64 addChannel(const QString& presentationGroup, Channel* channel);
    // Registers a channel that is already in a group (a receiver's stream).
    quint64 registerChannel(Channel* channel);
    // What a removal leaves to be done outside the mixer lock: a receiver's
    // thread to end and the channels to dispose of. The mixer thread no longer
    // sees them.
    struct Removal {
        Channel* channel = nullptr;
        bool own = false;  // disposed of by the registry
        RtpReceiver* receiver = nullptr;
        QList<RtpChannel*> made;  // the receiver's channels, once it has stopped
    };
    // Unregisters the channel: a receiver's thread is stopped and the channels
    // it made go too; a group other than "LIVE" goes with its last channel;
    // the library's own channel classes are disposed of. Warns of unknown ids.
    void removeChannel(quint64 id);
    // The same in steps, so that the caller can let go of the mixer lock
    // while a receiver's thread ends: detachChannel takes the channel out of
    // the registry and its group (false for an unknown id, with the warning);
    // stopReceiver ends a receiver's thread (without the lock);
    // detachMadeChannels then takes out the channels the receiver made; and
    // dispose deletes what the registry owns (without the lock).
    bool detachChannel(quint64 id, Removal* removal);
    static void stopReceiver(const Removal& removal);
    void detachMadeChannels(Removal* removal);
    static void dispose(const Removal& removal);
    void removeAll();
    // A fresh playback group under that name (relayed directly), replacing
    // any group of that name.
    void addPlaybackGroup(const QString& name);

    Channel* channel(quint64 id) const { return m_channels.value(id); }
    PresentationGroup* group(const QString& name) const { return m_groups.value(name); }
    const QMap<quint64, Channel*>& channels() const { return m_channels; }
    const QMap<QString, PresentationGroup*>& groups() const { return m_groups; }
    // The registered channels in ascending id order, copied into a buffer
    // that registration sizes, so that the mixer thread does not allocate.
    const std::vector<Channel*>& snapshot();

    // The id under which `channel` is (or would be) registered: the address
    // of its Channel part, sign-extended where pointers have 32 bits.
    static quint64 channelId(const Channel* channel);
    // Channels of the library's own classes belong to the registry; a channel
    // of any other class stays its creator's.
    static bool isOwnChannel(Channel* channel);

signals:
    void positionUpdate(QString presentationGroup, NTPTimestamp ts, QString detail);
    void playbackSessionState(QString presentationGroup, bool bState, QString streamInfo, QString streamName);
    void stateChanged(QString presentationGroup, int state, QString detail);
    void endOfRangeReached(QString presentationGroup);

private:
    void relay(PresentationGroup* group, Qt::ConnectionType type);
    void dropGroup(PresentationGroup* group);

    QMap<quint64, Channel*> m_channels;
    QMap<QString, PresentationGroup*> m_groups;
    // Groups replaced in the map while they still had channels.
    QList<PresentationGroup*> m_replacedGroups;
    std::vector<Channel*> m_snapshot;
};
