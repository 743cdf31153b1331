#include "PortAudioLibrary.h"

#include "KavexMutex.h"

#include <cstdarg>
#include <dlfcn.h>

namespace {
// PortAudio's Pa_Initialize/Pa_Terminate and stream set-up are not
// thread-safe: s_mutex serialises every call into it and guards s_current.
KavexMutex s_mutex;
std::weak_ptr<PortAudioLibrary> s_current;

using AlsaLocalHandler = void (*)(const char*, int, const char*, int, const char*, va_list);
using AlsaSetLocal = AlsaLocalHandler (*)(AlsaLocalHandler);
using JackMessage = void (*)(const char*);
using JackSetFunction = void (*)(JackMessage);

void dropAlsaMessage(const char*, int, const char*, int, const char*, va_list) {}
void dropJackMessage(const char*) {}

// Drops the ALSA and JACK diagnostics while it lives. The ALSA handler is
// local to this thread; JACK has only global ones, which are put back.
// Both libraries are reached through the dynamic linker, as PortAudio loads
// them: nothing here needs their headers.
class QuietNativeAudio
{
public:
    QuietNativeAudio()
    {
        if (auto setLocal = reinterpret_cast<AlsaSetLocal>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_local"))) {
            m_alsaSetLocal = setLocal;
            m_alsaPrevious = setLocal(&dropAlsaMessage);
        }
        m_jackSetError = reinterpret_cast<JackSetFunction>(dlsym(RTLD_DEFAULT, "jack_set_error_function"));
        m_jackSetInfo = reinterpret_cast<JackSetFunction>(dlsym(RTLD_DEFAULT, "jack_set_info_function"));
        auto errorNow = reinterpret_cast<JackMessage*>(dlsym(RTLD_DEFAULT, "jack_error_callback"));
        auto infoNow = reinterpret_cast<JackMessage*>(dlsym(RTLD_DEFAULT, "jack_info_callback"));
        if (m_jackSetError && errorNow) {
            m_jackError = *errorNow;
            m_jackSetError(&dropJackMessage);
        } else {
            m_jackSetError = nullptr;
        }
        if (m_jackSetInfo && infoNow) {
            m_jackInfo = *infoNow;
            m_jackSetInfo(&dropJackMessage);
        } else {
            m_jackSetInfo = nullptr;
        }
    }

    ~QuietNativeAudio()
    {
        if (m_alsaSetLocal)
            m_alsaSetLocal(m_alsaPrevious);
        if (m_jackSetError)
            m_jackSetError(m_jackError);
        if (m_jackSetInfo)
            m_jackSetInfo(m_jackInfo);
    }

    QuietNativeAudio(const QuietNativeAudio&) = delete;
    QuietNativeAudio& operator=(const QuietNativeAudio&) = delete;

private:
    AlsaSetLocal m_alsaSetLocal = nullptr;
    AlsaLocalHandler m_alsaPrevious = nullptr;
    JackSetFunction m_jackSetError = nullptr;
    JackSetFunction m_jackSetInfo = nullptr;
    JackMessage m_jackError = nullptr;
    JackMessage m_jackInfo = nullptr;
};

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
    PaError result;
    {
        QuietNativeAudio quiet;
        result = Pa_Initialize();
    }
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
    QuietNativeAudio quiet;
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
    QuietNativeAudio quiet;
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
    QuietNativeAudio quiet;
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
    QuietNativeAudio quiet;
    return Pa_StartStream(stream);
}

void PortAudioLibrary::stopStream(PaStream* stream)
{
    KavexLocker lock(&s_mutex);
    QuietNativeAudio quiet;
    if (Pa_IsStreamStopped(stream) == 0)
        Pa_StopStream(stream);
}

void PortAudioLibrary::closeStream(PaStream* stream)
{
    KavexLocker lock(&s_mutex);
    QuietNativeAudio quiet;
    Pa_CloseStream(stream);
}
