#include "PortAudioLibrary.h"

#include "KavexMutex.h"
#include "NativeAudioLog.h"

namespace {
// PortAudio's Pa_Initialize/Pa_Terminate and stream set-up are not
// thread-safe: s_mutex serialises every call into it and guards s_current.
KavexMutex s_mutex;
std::weak_ptr<PortAudioLibrary> s_current;

bool worksIn(const PaDeviceInfo* info, SoundBackend::Direction direction)
{
    if (!info)
        return false;
    return direction == SoundBackend::DIRECTION_PLAYBACK ? info->maxOutputChannels > 0 : info->maxInputChannels > 0;
}
}  // namespace

std::shared_ptr<PortAudioLibrary> PortAudioLibrary::acquire(QString* error)
{
    KavexLocker lock(&s_mutex);
    if (std::shared_ptr<PortAudioLibrary> current = s_current.lock())
        return current;
    NativeAudioLog::install();
    const PaError result = Pa_Initialize();
    NativeAudioLog::install();
    if (result != paNoError) {
        *error = QString::fromUtf8(Pa_GetErrorText(result));
        return nullptr;
    }
    std::shared_ptr<PortAudioLibrary> library(new PortAudioLibrary);
    s_current = library;
    return library;
}

PortAudioLibrary::~PortAudioLibrary()
{
    KavexLocker lock(&s_mutex);
    Pa_Terminate();
}

int PortAudioLibrary::defaultDevice(SoundBackend::Direction direction) const
{
    KavexLocker lock(&s_mutex);
    const PaDeviceIndex device =
        direction == SoundBackend::DIRECTION_PLAYBACK ? Pa_GetDefaultOutputDevice() : Pa_GetDefaultInputDevice();
    return device == paNoDevice || !worksIn(Pa_GetDeviceInfo(device), direction) ? -1 : device;
}

int PortAudioLibrary::findDevice(const QString& name, SoundBackend::Direction direction) const
{
    KavexLocker lock(&s_mutex);
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (worksIn(info, direction) && QString::fromUtf8(info->name) == name)
            return i;
    }
    return -1;
}

QStringList PortAudioLibrary::deviceNames(SoundBackend::Direction direction) const
{
    KavexLocker lock(&s_mutex);
    QStringList names;
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (worksIn(info, direction))
            names.append(QString::fromUtf8(info->name));
    }
    return names;
}

QString PortAudioLibrary::deviceName(int device) const
{
    KavexLocker lock(&s_mutex);
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    return info ? QString::fromUtf8(info->name) : QString();
}

PaStreamParameters PortAudioLibrary::parameters(int device, SoundBackend::Direction direction,
                                                const SoundBackend::Format& format)
{
    PaStreamParameters p{};
    p.device = device;
    p.channelCount = int(format.channels);
    p.sampleFormat = paInt16;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (info) {
        p.suggestedLatency = direction == SoundBackend::DIRECTION_PLAYBACK ? info->defaultLowOutputLatency
                                                                           : info->defaultLowInputLatency;
    }
    p.hostApiSpecificStreamInfo = nullptr;
    return p;
}

bool PortAudioLibrary::supports(int device, SoundBackend::Direction direction, const SoundBackend::Format& format,
                                bool* supported) const
{
    KavexLocker lock(&s_mutex);
    if (!Pa_GetDeviceInfo(device))
        return false;
    const PaStreamParameters p = parameters(device, direction, format);
    const bool playback = direction == SoundBackend::DIRECTION_PLAYBACK;
    *supported = Pa_IsFormatSupported(playback ? nullptr : &p, playback ? &p : nullptr, format.sampleRate) ==
                 paFormatIsSupported;
    return true;
}

PortAudioLibrary::Stream PortAudioLibrary::openStream(int device, SoundBackend::Direction direction,
                                                      const SoundBackend::Format& format, PaStreamCallback* callback,
                                                      void* userData, PaError* error)
{
    KavexLocker lock(&s_mutex);
    const PaStreamParameters p = parameters(device, direction, format);
    const bool playback = direction == SoundBackend::DIRECTION_PLAYBACK;
    PaStream* stream = nullptr;
    // Small callbacks keep the cursor moving in fine steps.
    *error = Pa_OpenStream(&stream, playback ? nullptr : &p, playback ? &p : nullptr, format.sampleRate, 256, paNoFlag,
                           callback, userData);
    return Stream(*error == paNoError ? stream : nullptr, StreamCloser{this});
}

PaError PortAudioLibrary::startStream(PaStream* stream)
{
    KavexLocker lock(&s_mutex);
    return Pa_StartStream(stream);
}

void PortAudioLibrary::stopStream(PaStream* stream)
{
    KavexLocker lock(&s_mutex);
    if (Pa_IsStreamStopped(stream) == 0)
        Pa_StopStream(stream);
}

void PortAudioLibrary::closeStream(PaStream* stream)
{
    KavexLocker lock(&s_mutex);
    Pa_CloseStream(stream);
}
