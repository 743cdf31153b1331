#pragma once

#include "SoundBackend.h"

#include <QString>
#include <QStringList>
#include <portaudio.h>

#include <memory>

// One initialisation of PortAudio, shared by everyone who holds it, and the
// calls into it that must not run concurrently (the output and the capture
// are opened from different threads). While PortAudio probes the system,
// the diagnostics its ALSA and JACK layers print on stderr are dropped: on a
// machine without a sound card they are dozens of lines of noise per probe.
class PortAudioLibrary
{
public:
    // The current initialisation, or a new one; null with `error` set when
    // PortAudio cannot be initialised.
    static std::shared_ptr<PortAudioLibrary> acquire(QString* error);
    ~PortAudioLibrary();
    PortAudioLibrary(const PortAudioLibrary&) = delete;
    PortAudioLibrary& operator=(const PortAudioLibrary&) = delete;

    // The system's default device for the direction; -1 when there is none.
    int defaultDevice(SoundBackend::Direction direction) const;
    // The device of that exact name that works in the direction; -1 when none.
    int findDevice(const QString& name, SoundBackend::Direction direction) const;
    // Names of the devices that work in the direction.
    QStringList deviceNames(SoundBackend::Direction direction) const;
    QString deviceName(int device) const;

    // Whether the device takes 16-bit samples in that layout.
    bool supports(int device, SoundBackend::Direction direction, const SoundBackend::Format& format) const;
    PaError openStream(PaStream** stream, int device, SoundBackend::Direction direction,
                       const SoundBackend::Format& format, PaStreamCallback* callback, void* userData);
    PaError startStream(PaStream* stream);
    void stopStream(PaStream* stream);
    void closeStream(PaStream* stream);

private:
    PortAudioLibrary() = default;
    static PaStreamParameters parameters(int device, SoundBackend::Direction direction,
                                         const SoundBackend::Format& format);
};
