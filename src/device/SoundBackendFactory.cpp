#include "SoundBackendFactory.h"
#include "LogCategories.h"

#include "DeviceSelection.h"
#include "backends/PortAudioLibrary.h"
#include "backends/PortAudioSoundBackend.h"
#include "backends/VirtualSoundBackend.h"
#include "backends/VirtualSoundFaults.h"
#include "backends/WavFileCaptureBackend.h"
#include "backends/WavFileSoundBackend.h"

#include <QDebug>

namespace {
thread_local int t_quietDepth = 0;

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

// The card a DeviceSelection names, once it is known to exist. `kind` is
// never KIND_AUTO: auto resolves to a PortAudio device (KIND_NAMED) or to
// KIND_VIRTUAL. Used by the thread that starts the output or capture.
class ConfiguredSoundCard : public SoundCard
{
public:
    ConfiguredSoundCard(SoundBackend::Direction direction, Clock& clock, DeviceSelection::Kind kind,
                        const QString& path = QString(), std::shared_ptr<PortAudioLibrary> library = nullptr,
                        int device = -1)
        : m_direction(direction)
        , m_clock(clock)
        , m_kind(kind)
        , m_path(path)
        , m_library(std::move(library))
        , m_device(device)
    {
    }

    bool supports(const SoundBackend::Format& format, bool* supported) override
    {
        if (m_kind != DeviceSelection::KIND_NAMED) {
            *supported = true;
            return true;
        }
        return m_library->supports(m_device, m_direction, format, supported);
    }

protected:
    std::unique_ptr<SoundBackend> makeBackend(const SoundBackend::Format& format, quint32 ringBytes) override
    {
        const bool playback = m_direction == SoundBackend::DIRECTION_PLAYBACK;
        // Virtual cards, WAV ones included, act out a failopen fault.
        if (m_kind != DeviceSelection::KIND_NAMED && VirtualSoundFaults::of(m_direction).takeOpenFailure()) {
            if (!SoundBackendFactory::isQuiet())
                qCWarning(lcKavexDevice).nospace() << "SoundBackendFactory: the virtual " << directionName(m_direction)
                                                   << " device cannot be opened (failopen)";
            return nullptr;
        }
        switch (m_kind) {
        case DeviceSelection::KIND_WAV:
            if (playback)
                return keepIfOpen(std::make_unique<WavFileSoundBackend>(format, ringBytes, m_path, m_clock));
            return keepIfOpen(std::make_unique<WavFileCaptureBackend>(format, ringBytes, m_path, m_clock));
        case DeviceSelection::KIND_NAMED:
            return keepIfOpen(
                std::make_unique<PortAudioSoundBackend>(m_direction, format, ringBytes, m_library, m_device));
        case DeviceSelection::KIND_AUTO:
        case DeviceSelection::KIND_VIRTUAL:
            break;
        }
        return std::make_unique<VirtualSoundBackend>(m_direction, format, ringBytes, m_clock);
    }

private:
    const SoundBackend::Direction m_direction;
    Clock& m_clock;
    const DeviceSelection::Kind m_kind;
    const QString m_path;
    const std::shared_ptr<PortAudioLibrary> m_library;
    const int m_device;
};
}  // namespace

SoundBackendFactory::QuietScope::QuietScope()
{
    ++t_quietDepth;
}

SoundBackendFactory::QuietScope::~QuietScope()
{
    --t_quietDepth;
}

bool SoundBackendFactory::isQuiet()
{
    return t_quietDepth > 0;
}

std::unique_ptr<SoundCard> SoundBackendFactory::resolve(SoundBackend::Direction direction, Clock& clock)
{
    const DeviceSelection selection = DeviceSelection::configured(direction);
    switch (selection.kind) {
    case DeviceSelection::KIND_VIRTUAL:
        if (!selection.argument.isEmpty())
            VirtualSoundFaults::of(direction).applyOnce(selection.argument);
        return std::make_unique<ConfiguredSoundCard>(direction, clock, DeviceSelection::KIND_VIRTUAL);
    case DeviceSelection::KIND_WAV:
        return std::make_unique<ConfiguredSoundCard>(direction, clock, DeviceSelection::KIND_WAV, selection.argument);
    case DeviceSelection::KIND_AUTO:
    case DeviceSelection::KIND_NAMED:
        break;
    }

    QString error;
    std::shared_ptr<PortAudioLibrary> library = PortAudioLibrary::acquire(&error);
    int device = -1;
    if (selection.kind == DeviceSelection::KIND_AUTO) {
        device = library ? library->defaultDevice(direction) : -1;
        if (device < 0) {
            if (!isQuiet())
                qCWarning(lcKavexDevice).nospace() << "SoundBackendFactory::resolve: no " << directionName(direction)
                                                   << " device found, using the virtual device (no sound)";
            return std::make_unique<ConfiguredSoundCard>(direction, clock, DeviceSelection::KIND_VIRTUAL);
        }
    } else if (!library) {
        if (!isQuiet())
            qCWarning(lcKavexDevice).nospace()
                << "SoundBackendFactory::resolve: cannot open the " << directionName(direction) << " device \""
                << selection.argument << "\": PortAudio failed: " << error;
        return nullptr;
    } else {
        device = library->findDevice(selection.argument, direction);
        if (device < 0) {
            if (!isQuiet())
                qCWarning(lcKavexDevice).nospace().noquote()
                    << "SoundBackendFactory::resolve: there is no " << directionName(direction) << " device \""
                    << selection.argument << "\"; the devices there are: " << listed(library->deviceNames(direction));
            return nullptr;
        }
    }
    return std::make_unique<ConfiguredSoundCard>(direction, clock, DeviceSelection::KIND_NAMED, QString(),
                                                 std::move(library), device);
}
