#include "SignalTones.h"
#include "LogCategories.h"

#include "ChannelRegistry.h"
#include "Configuration.h"
#include "SoundFileChannel.h"

#include <QFileInfo>
#include <exception>

SignalTones::SignalTones(KavexPiRecursiveMutex& mixerLock, ChannelRegistry& registry)
    : m_mixerLock(mixerLock)
    , m_registry(registry)
    , m_settings(
          Configuration::makeDirectory(Configuration::getConfigurationDirectory(), Configuration::settingsFileName()),
          QSettings::IniFormat)
{
}

QStringList SignalTones::getAvailableSignalTones()
{
    KavexLocker lock(&m_mixerLock);
    m_settings.beginGroup(QStringLiteral("Sounds"));
    const QStringList keys = m_settings.childKeys();
    m_settings.endGroup();
    return keys;
}

quint64 SignalTones::startChannel(const QString& path, bool loop, double volume)
{
    auto* channel = new SoundFileChannel(path, 48000, loop, volume);
    channel->unmute(CHANNEL_BOTH);
    KavexLocker lock(&m_mixerLock);
    const quint64 id = m_registry.addChannel(ChannelRegistry::kLive, channel);
    if (id != 0)
        m_tones.insert(id, channel);
    return id;
}

quint64 SignalTones::setSignalTone(const QString& name, bool loop, bool exclusive, double volume)
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
        return startChannel(Configuration::makeDirectory(Configuration::getDataDirectory(), file), loop, volume);
    } catch (const std::exception&) {
        qCWarning(lcKavexMixer, "MixerImpl::setSignalToneFromFile(): error while activating sound '%s'",
                  file.toLocal8Bit().constData());
        return 0;
    }
}

quint64 SignalTones::setSignalToneFromFile(const QString& path, bool loop, bool exclusive, double volume)
{
    if (exclusive)
        stopAllSignalTones();
    if (!QFileInfo::exists(path)) {
        qCWarning(lcKavexMixer, "MixerImpl::setSignalToneFromFile(): file '%s' not found",
                  path.toLocal8Bit().constData());
        return 0;
    }
    try {
        return startChannel(path, loop, volume);
    } catch (const std::exception& e) {
        qCWarning(lcKavexMixer, "MixerImpl::setSignalToneFromFile(): '%s'", e.what());
        qCWarning(lcKavexMixer, "MixerImpl::setSignalToneFromFile(): error while activating sound file '%s'.",
                  path.toLocal8Bit().constData());
        return 0;
    }
}

void SignalTones::stopSignalTone(quint64 id)
{
    KavexLocker lock(&m_mixerLock);
    if (!m_tones.contains(id)) {
        qCWarning(lcKavexMixer, "MixerImpl::stopSignalTone(): unknown channel id 0x%llx",
                  static_cast<unsigned long long>(id));
        return;
    }
    // A tone removed by other means is unknown to the registry, which says so.
    m_registry.removeChannel(id);
    m_tones.remove(id);
}

void SignalTones::stopAllSignalTones()
{
    KavexLocker lock(&m_mixerLock);
    for (auto it = m_tones.cbegin(); it != m_tones.cend(); ++it)
        m_registry.removeChannel(it.key());
    m_tones.clear();
}
