#include "VirtualSoundBackend.h"

#include <algorithm>
#include <cstring>

VirtualSoundBackend::VirtualSoundBackend(Direction direction, const Format& format, quint32 ringBytes, Clock& clock)
    : SoundBackend(direction, format, ringBytes)
    , m_clock(clock)
{
}

VirtualSoundBackend::~VirtualSoundBackend() = default;

bool VirtualSoundBackend::start()
{
    if (!m_running) {
        m_running = true;
        m_startUs = m_clock.monotonicUs();
        m_bytesDone = 0;
    }
    return true;
}

void VirtualSoundBackend::stop()
{
    catchUp();
    m_running = false;
}

quint32 VirtualSoundBackend::position()
{
    catchUp();
    return quint32(m_bytesDone % ringBytes());
}

void VirtualSoundBackend::catchUp()
{
    if (!m_running)
        return;
    const quint64 elapsedUs = m_clock.monotonicUs() - m_startUs;
    // A clock that steps back (a test clock being reset) holds the cursor.
    if (elapsedUs > (quint64(1) << 62))
        return;
    const quint64 frames = elapsedUs * format().sampleRate / 1000000;
    processUpTo(frames * format().bytesPerFrame());
}

void VirtualSoundBackend::processUpTo(quint64 totalBytes)
{
    if (totalBytes <= m_bytesDone)
        return;
    quint64 pending = totalBytes - m_bytesDone;
    const quint32 size = ringBytes();
    if (pending > size) {
        const quint64 beyond = pending - size;
        if (direction() == DIRECTION_CAPTURE) {
            // Only the last round of the ring survives; skip what it overwrote.
            skip(beyond);
            m_bytesDone += beyond;
            pending = size;
        } else {
            // One round of the ring plays as written, then silence.
            processUpTo(m_bytesDone + size);
            renderSilence(beyond);
            m_bytesDone += beyond;
            return;
        }
    }
    while (pending > 0) {
        const quint32 offset = quint32(m_bytesDone % size);
        const quint32 n = quint32(std::min<quint64>(pending, size - offset));
        quint8* at = ring() + offset;
        if (direction() == DIRECTION_PLAYBACK) {
            render(at, n);
            std::memset(at, 0, n);
        } else {
            fill(at, n);
        }
        m_bytesDone += n;
        pending -= n;
    }
}

void VirtualSoundBackend::render(const quint8*, quint32) {}

void VirtualSoundBackend::renderSilence(quint64) {}

void VirtualSoundBackend::fill(quint8* data, quint32 bytes)
{
    std::memset(data, 0, bytes);
}

void VirtualSoundBackend::skip(quint64) {}
