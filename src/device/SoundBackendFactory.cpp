#include "SoundBackendFactory.h"

#include "PortAudioLibrary.h"
#include "PortAudioSoundBackend.h"
#include "VirtualSoundBackend.h"
#include "WavFileCaptureBackend.h"
#include "WavFileSoundBackend.h"

#include <QDebug>
#include "KavexMutex.h"

namespace {
KavexMutex s_makerLock;
SoundBackendFactory::Maker s_maker;

SoundBackendFactory::Maker currentMaker()
{
    KavexLocker lock(&s_makerLock);
    return s_maker;
}

const char* directionName(SoundBackend::Direction direction)
{
    return direction == SoundBackend::DIRECTION_PLAYBACK ? "output" : "input";
}

// Lists names for a log line: "a", "b" or (none).
QString listed(const QStringList& names)
{
    if (names.isEmpty())
        return QStringLiteral("(none)");
    QStringList quoted;
    for (const QString& name : names)
        quoted.append(QLatin1Char('"') + name + QLatin1Char('"'));
    return quoted.join(QStringLiteral(", "));
}

template <typename Backend>
std::unique_ptr<SoundBackend> keepIfOpen(std::unique_ptr<Backend> backend)
{
    if (!backend->isOpen())
        return nullptr;
    return backend;
}
}  // namespace

void SoundBackendFactory::setMaker(Maker maker)
{
    KavexLocker lock(&s_makerLock);
    s_maker = std::move(maker);
}

bool SoundBackendFactory::resolve(SoundBackend::Direction direction, Endpoint* endpoint)
{
    *endpoint = Endpoint();
    if (currentMaker())
        return true;
    const DeviceSelection selection = DeviceSelection::configured(direction);
    switch (selection.kind) {
    case DeviceSelection::KIND_VIRTUAL:
        return true;
    case DeviceSelection::KIND_WAV:
        endpoint->kind = DeviceSelection::KIND_WAV;
        endpoint->path = selection.argument;
        return true;
    case DeviceSelection::KIND_AUTO:
    case DeviceSelection::KIND_NAMED:
        break;
    }

    QString error;
    std::shared_ptr<PortAudioLibrary> library = PortAudioLibrary::acquire(&error);
    if (selection.kind == DeviceSelection::KIND_AUTO) {
        const int device = library ? library->defaultDevice(direction) : -1;
        if (device < 0) {
            qWarning().nospace() << "SoundBackendFactory::resolve: no " << directionName(direction)
                                 << " device found, using the virtual device (no sound)";
            return true;
        }
        endpoint->kind = DeviceSelection::KIND_NAMED;
        endpoint->library = library;
        endpoint->device = device;
        return true;
    }
    if (!library) {
        qWarning().nospace() << "SoundBackendFactory::resolve: cannot open the " << directionName(direction)
                             << " device \"" << selection.argument << "\": PortAudio failed: " << error;
        return false;
    }
    const int device = library->findDevice(selection.argument, direction);
    if (device < 0) {
        qWarning().nospace().noquote() << "SoundBackendFactory::resolve: there is no " << directionName(direction)
                                       << " device \"" << selection.argument
                                       << "\"; the devices there are: " << listed(library->deviceNames(direction));
        return false;
    }
    endpoint->kind = DeviceSelection::KIND_NAMED;
    endpoint->library = library;
    endpoint->device = device;
    return true;
}

bool SoundBackendFactory::supports(const Endpoint& endpoint, SoundBackend::Direction direction,
                                   const SoundBackend::Format& format)
{
    if (endpoint.kind != DeviceSelection::KIND_NAMED || !endpoint.library)
        return true;
    return endpoint.library->supports(endpoint.device, direction, format);
}

std::unique_ptr<SoundBackend> SoundBackendFactory::create(const Endpoint& endpoint,
                                                          SoundBackend::Direction direction,
                                                          const SoundBackend::Format& format, quint32 ringBytes)
{
    if (Maker maker = currentMaker())
        return maker(direction, format, ringBytes);
    switch (endpoint.kind) {
    case DeviceSelection::KIND_WAV:
        if (direction == SoundBackend::DIRECTION_PLAYBACK)
            return keepIfOpen(std::make_unique<WavFileSoundBackend>(format, ringBytes, endpoint.path));
        return keepIfOpen(std::make_unique<WavFileCaptureBackend>(format, ringBytes, endpoint.path));
    case DeviceSelection::KIND_NAMED:
        if (endpoint.library) {
            return keepIfOpen(std::make_unique<PortAudioSoundBackend>(direction, format, ringBytes,
                                                                      endpoint.library, endpoint.device));
        }
        break;
    case DeviceSelection::KIND_AUTO:
    case DeviceSelection::KIND_VIRTUAL:
        break;
    }
    return std::make_unique<VirtualSoundBackend>(direction, format, ringBytes);
}
