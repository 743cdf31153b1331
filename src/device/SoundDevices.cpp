#include "SoundDevices.h"

#include "backends/PortAudioLibrary.h"

namespace {
std::shared_ptr<PortAudioLibrary> library()
{
    QString error;
    return PortAudioLibrary::acquire(&error);
}

QStringList names(SoundBackend::Direction direction)
{
    const std::shared_ptr<PortAudioLibrary> lib = library();
    return lib ? lib->deviceNames(direction) : QStringList();
}

bool hasDefault(SoundBackend::Direction direction)
{
    const std::shared_ptr<PortAudioLibrary> lib = library();
    return lib && lib->defaultDevice(direction) >= 0;
}
}  // namespace

QStringList SoundDevices::outputs()
{
    return names(SoundBackend::DIRECTION_PLAYBACK);
}

QStringList SoundDevices::inputs()
{
    return names(SoundBackend::DIRECTION_CAPTURE);
}

bool SoundDevices::hasDefaultOutput()
{
    return hasDefault(SoundBackend::DIRECTION_PLAYBACK);
}

bool SoundDevices::hasDefaultInput()
{
    return hasDefault(SoundBackend::DIRECTION_CAPTURE);
}
