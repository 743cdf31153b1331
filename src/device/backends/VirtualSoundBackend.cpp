#include "VirtualSoundBackend.h"

#include "VirtualSoundFaults.h"

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
        m_lastUs = m_clock.monotonicUs();
        m_frames = m_fraction = m_bytesDone = 0;
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

bool VirtualSoundBackend::isLost() const
{
    return VirtualSoundFaults::of(direction()).lockFails;
}

quint64 VirtualSoundBackend::cursorTotal()
{
    catchUp();
    return m_bytesDone;
}

void VirtualSoundBackend::catchUp()
{
    if (!m_running)
        return;
    const quint64 now = m_clock.monotonicUs();
    // A clock that steps back (a test clock being reset) holds the cursor.
    if (now <= m_lastUs)
        return;
    const quint64 elapsedUs = now - m_lastUs;
    m_lastUs = now;
    const VirtualSoundFaults& faults = VirtualSoundFaults::of(direction());
    if (faults.stalled)
        return;
    const int drift =
        qBound(-VirtualSoundFaults::MAX_DRIFT_PPM, faults.driftPpm.load(), VirtualSoundFaults::MAX_DRIFT_PPM);
    constexpr quint64 kUnitsPerFrame = 1000000000000ULL;
    const unsigned __int128 units =
        (unsigned __int128)elapsedUs * format().sampleRate * quint64(1000000 + drift) + m_fraction;
    m_frames += quint64(units / kUnitsPerFrame);
    m_fraction = quint64(units % kUnitsPerFrame);
    // In bursts, playback takes each burst when it begins (a callback asks
    // for the frames it is about to play); capture hands it over when it ends.
    quint64 frames = m_frames;
    const quint64 burst = faults.burstFrames;
    if (burst > 1)
        frames = direction() == DIRECTION_PLAYBACK ? (frames + burst - 1) / burst * burst : frames / burst * burst;
    processUpTo(frames * format().bytesPerFrame());
}

void VirtualSoundBackend::processUpTo(quint64 totalBytes)
{
    if (totalBytes <= m_bytesDone)
        return;
    quint64 pending = totalBytes - m_bytesDone;
    const quint32 size = ringBytes();
    if (direction() == DIRECTION_PLAYBACK) {
        // What the writer has filled plays as written (at most one round of
        // the ring), then silence.
        const quint64 written = qBound(m_bytesDone, takeOverRing(), std::min(totalBytes, m_bytesDone + size));
        processRing(written - m_bytesDone);
        renderSilence(totalBytes - written);
        m_bytesDone = totalBytes;
        return;
    }
    if (pending > size) {
        // Only the last round of the ring survives; skip what it overwrote.
        skip(pending - size);
        m_bytesDone += pending - size;
        pending = size;
    }
    processRing(pending);
}

void VirtualSoundBackend::processRing(quint64 pending)
{
    const quint32 size = ringBytes();
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
