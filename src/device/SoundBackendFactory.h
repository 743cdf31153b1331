#pragma once

#include "DeviceSelection.h"
#include "SoundBackend.h"

#include <QString>

#include <functional>
#include <memory>

class PortAudioLibrary;

// Makes the SoundBackend behind each sound buffer, for the device that the
// DeviceSelection of its direction names. Choosing the device (when the
// sound device object is created) and making a backend (when a buffer of a
// known format is created) are separate steps, as on the platform.
class SoundBackendFactory
{
public:
    // The device chosen for one direction. `kind` is never KIND_AUTO: auto
    // resolves to a PortAudio device (KIND_NAMED) or to KIND_VIRTUAL.
    struct Endpoint {
        DeviceSelection::Kind kind = DeviceSelection::KIND_VIRTUAL;
        QString path;
        std::shared_ptr<PortAudioLibrary> library;
        int device = -1;
    };

    using Maker = std::function<std::unique_ptr<SoundBackend>(SoundBackend::Direction direction,
                                                             const SoundBackend::Format& format,
                                                             quint32 ringBytes)>;

    // Chooses the configured device. False, with a warning, when a named
    // device does not exist; "auto" without a device falls back to the
    // virtual one with a warning.
    static bool resolve(SoundBackend::Direction direction, Endpoint* endpoint);
    // Whether the endpoint takes 16-bit samples in that layout.
    static bool supports(const Endpoint& endpoint, SoundBackend::Direction direction,
                         const SoundBackend::Format& format);
    // A backend for a ring of `ringBytes`; null (with a warning) when the
    // device cannot provide it.
    static std::unique_ptr<SoundBackend> create(const Endpoint& endpoint, SoundBackend::Direction direction,
                                                const SoundBackend::Format& format, quint32 ringBytes);

    // Replaces device choice and backend making by `maker` for every new
    // buffer (tests drive the cursors by hand this way); an empty maker
    // restores the configured devices. A maker that returns null makes the
    // buffer creation fail.
    static void setMaker(Maker maker);
};
