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
    const quint64 ownerEnd = takeOverRing();
    const quint32 size = ringBytes();
    quint8* const ringData = ring();
    const quint32 pos = m_cursor.load(std::memory_order_relaxed);
    const quint64 done = m_cursorTotal.load(std::memory_order_relaxed);
    const quint64 bytes = quint64(frames) * format().bytesPerFrame();
    quint64 moved = bytes;
    if (direction() == DIRECTION_PLAYBACK) {
        // Only what the writer has finished is played; past its end the writer
        // may be filling the ring right now, so those bytes are left alone and
        // silence goes out instead (an underrun).
        const quint64 ready = ownerEnd > done ? std::min(ownerEnd - done, bytes) : 0;
        auto* out = static_cast<quint8*>(output);
        std::memset(out + ready, 0, size_t(bytes - ready));
        for (quint64 at = 0; at < ready;) {
            const quint32 from = quint32((pos + at) % size);
            const quint32 n = quint32(std::min<quint64>(ready - at, size - from));
            std::memcpy(out + at, ringData + from, n);
            std::memset(ringData + from, 0, n);
            at += n;
        }
    } else {
        // The reader may be copying anything from where it has taken up to;
        // frames beyond a ring (less a frame, so that a full ring does not
        // read as empty) past it are dropped and the cursor stays.
        const quint64 limit = ownerEnd + size - format().bytesPerFrame();
        moved = limit > done ? std::min(limit - done, bytes) : 0;
        const auto* in = static_cast<const quint8*>(input);
        for (quint64 at = 0; at < moved;) {
            const quint32 to = quint32((pos + at) % size);
            const quint32 n = quint32(std::min<quint64>(moved - at, size - to));
            if (in)
                std::memcpy(ringData + to, in + at, n);
            else
                std::memset(ringData + to, 0, n);
            at += n;
        }
    }
    m_cursor.store(quint32((pos + moved) % size), std::memory_order_release);
    m_cursorTotal.store(done + moved, std::memory_order_release);
}
