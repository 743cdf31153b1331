#pragma once

#include "SoundBackend.h"

#include <QString>
#include <QStringList>
#include <portaudio.h>

#include <memory>

// One initialisation of PortAudio, shared by everyone who holds it, and the
// calls into it that must not run concurrently (the output and the capture
// are opened from different threads). The diagnostics of its ALSA and JACK
// layers go to the Qt logger (NativeAudioLog), not to stderr.
// Holding the object keeps PortAudio initialised; the last holder
// terminates it. Thread-safe: every call into PortAudio holds one process-
// wide lock.
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

    // Sets `supported` to whether the device takes 16-bit samples in that
    // layout; false when the device is no longer there to be asked.
    bool supports(int device, SoundBackend::Direction direction, const SoundBackend::Format& format,
                  bool* supported) const;

    // Closes a stream through the library that opened it.
    struct StreamCloser {
        PortAudioLibrary* library;
        void operator()(PaStream* stream) const { library->closeStream(stream); }
    };
    using Stream = std::unique_ptr<PaStream, StreamCloser>;

    // An open callback stream; null with `error` set when PortAudio refuses.
    Stream openStream(int device, SoundBackend::Direction direction, const SoundBackend::Format& format,
                      PaStreamCallback* callback, void* userData, PaError* error);
    PaError startStream(PaStream* stream);
    void stopStream(PaStream* stream);

private:
    void closeStream(PaStream* stream);
    PortAudioLibrary() = default;
    static PaStreamParameters parameters(int device, SoundBackend::Direction direction,
                                         const SoundBackend::Format& format);
};
