#include "DeviceSelection.h"

#include "Configuration.h"

#include <QSettings>

DeviceSelection DeviceSelection::configured(SoundBackend::Direction direction)
{
    const bool playback = direction == SoundBackend::DIRECTION_PLAYBACK;
    const char* variable = playback ? "OSTKAVEX_OUTPUT_DEVICE" : "OSTKAVEX_INPUT_DEVICE";
    if (qEnvironmentVariableIsSet(variable))
        return parse(qEnvironmentVariable(variable));
    QSettings settings(Configuration::settingsFilePath(), QSettings::IniFormat);
    const QString key = playback ? QStringLiteral("Mixer/OutputDevice") : QStringLiteral("Mixer/InputDevice");
    return parse(settings.value(key, QStringLiteral("auto")).toString());
}

DeviceSelection DeviceSelection::parse(const QString& text)
{
    DeviceSelection selection;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0) {
        selection.kind = KIND_AUTO;
    } else if (trimmed.compare(QLatin1String("virtual"), Qt::CaseInsensitive) == 0) {
        selection.kind = KIND_VIRTUAL;
    } else if (trimmed.startsWith(QLatin1String("virtual:"), Qt::CaseInsensitive)) {
        selection.kind = KIND_VIRTUAL;
        selection.argument = trimmed.mid(8);
    } else if (trimmed.startsWith(QLatin1String("wav:"), Qt::CaseInsensitive)) {
        selection.kind = KIND_WAV;
        selection.argument = trimmed.mid(4);
    } else {
        selection.kind = KIND_NAMED;
        selection.argument = trimmed;
    }
    return selection;
}
