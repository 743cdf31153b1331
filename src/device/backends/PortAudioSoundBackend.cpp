#include "PortAudioSoundBackend.h"
#include "LogCategories.h"

#include "SoundBackendFactory.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

PortAudioSoundBackend::PortAudioSoundBackend(Direction direction, const Format& format, quint32 ringBytes,
                                             std::shared_ptr<PortAudioLibrary> library, int device)
    : SoundBackend(direction, format, ringBytes)
    , m_library(std::move(library))
    , m_device(device)
    , m_stream(nullptr, PortAudioLibrary::StreamCloser{m_library.get()})
{
    PaError result = paNoError;
    m_stream = m_library->openStream(device, direction, format, &streamCallback, this, &result);
    if (!m_stream) {
        if (!SoundBackendFactory::isQuiet())
            qCWarning(lcKavexDevice).nospace()
                << "PortAudioSoundBackend::PortAudioSoundBackend: cannot open the "
                << (direction == DIRECTION_PLAYBACK ? "output" : "input") << " stream on "
                << m_library->deviceName(device) << " (" << format.sampleRate << " Hz, " << format.channels
                << " channel(s)): " << Pa_GetErrorText(result);
        return;
    }
    Pa_SetStreamFinishedCallback(m_stream.get(), &streamFinished);
}

PortAudioSoundBackend::~PortAudioSoundBackend()
{
    stop();
}

bool PortAudioSoundBackend::start()
{
    if (!m_stream)
        return false;
    if (m_running)
        return true;
    m_cursor.store(0);
    m_cursorTotal.store(0);
    m_lost.store(false);
    m_running.store(true);
    const PaError result = m_library->startStream(m_stream.get());
    if (result != paNoError) {
        m_running.store(false);
        qCWarning(lcKavexDevice) << "PortAudioSoundBackend::start: cannot start the stream on"
                                 << m_library->deviceName(m_device) << ":" << Pa_GetErrorText(result);
        return false;
    }
    return true;
}

void PortAudioSoundBackend::stop()
{
    if (!m_stream || !m_running)
        return;
    // Cleared first, so that the end of the stream is not taken for a loss.
    m_running.store(false);
    m_library->stopStream(m_stream.get());
}

quint32 PortAudioSoundBackend::position()
{
    return m_cursor.load(std::memory_order_acquire);
}

quint64 PortAudioSoundBackend::cursorTotal()
{
    return m_cursorTotal.load(std::memory_order_acquire);
}

bool PortAudioSoundBackend::isLost() const
{
    return m_lost.load();
}

int PortAudioSoundBackend::streamCallback(const void* input, void* output, unsigned long frames,
                                          const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* userData)
{
    static_cast<PortAudioSoundBackend*>(userData)->exchange(input, output, frames);
    return paContinue;
}

void PortAudioSoundBackend::streamFinished(void* userData)
{
    auto* self = static_cast<PortAudioSoundBackend*>(userData);
    if (self->m_running.load())
        self->m_lost.store(true);
}

void PortAudioSoundBackend::exchange(const void* input, void* output, unsigned long frames)
{
    takeOverRing();
    const quint32 size = ringBytes();
    quint8* const ringData = ring();
    quint32 pos = m_cursor.load(std::memory_order_relaxed);
    quint64 bytes = quint64(frames) * format().bytesPerFrame();
    const quint64 total = m_cursorTotal.load(std::memory_order_relaxed) + bytes;
    if (direction() == DIRECTION_PLAYBACK) {
        auto* out = static_cast<quint8*>(output);
        while (bytes > 0) {
            const quint32 n = quint32(std::min<quint64>(bytes, size - pos));
            std::memcpy(out, ringData + pos, n);
            std::memset(ringData + pos, 0, n);
            out += n;
            bytes -= n;
            pos = (pos + n) % size;
        }
    } else {
        auto* in = static_cast<const quint8*>(input);
        while (bytes > 0) {
            const quint32 n = quint32(std::min<quint64>(bytes, size - pos));
            if (in) {
                std::memcpy(ringData + pos, in, n);
                in += n;
            } else {
                std::memset(ringData + pos, 0, n);
            }
            bytes -= n;
            pos = (pos + n) % size;
        }
    }
    m_cursor.store(pos, std::memory_order_release);
    m_cursorTotal.store(total, std::memory_order_release);
}
