#pragma once

#include "KavexMutex.h"

#include <QMap>
#include <QSettings>
#include <QString>
#include <QStringList>

class Channel;
class ChannelRegistry;

// Signal tones: WAV files played in "LIVE" over everything else, started by
// name (section "Sounds" of the settings names the files, relative to the
// data directory) or by path, and stopped by id or all at once. Called on the
// host's threads; the tone map, the settings and the registry are used under
// the mixer lock given at construction.
class SignalTones
{
public:
    SignalTones(KavexPiRecursiveMutex& mixerLock, ChannelRegistry& registry);

    QStringList getAvailableSignalTones();
    // A start returns the tone's id, or 0 when nothing was started; the name
    // "none" (any case) stops all tones.
    quint64 setSignalTone(const QString& name, bool loop, bool exclusive, double volume);
    quint64 setSignalToneFromFile(const QString& path, bool loop, bool exclusive, double volume);
    void stopSignalTone(quint64 id);
    void stopAllSignalTones();

private:
    // Steps shared by both starts: build, unmute, register. Throws when the
    // file cannot be played; nothing is registered then.
    quint64 startChannel(const QString& path, bool loop, double volume);

    KavexPiRecursiveMutex& m_mixerLock;
    ChannelRegistry& m_registry;
    QSettings m_settings;             // guarded by m_mixerLock
    QMap<quint64, Channel*> m_tones;  // guarded by m_mixerLock
};
