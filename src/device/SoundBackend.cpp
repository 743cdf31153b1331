#include "SoundBackend.h"

SoundBackend::SoundBackend(Direction direction, const Format& format, quint32 ringBytes)
    : m_direction(direction)
    , m_format(format)
    , m_ring(ringBytes, 0)
{
}

SoundBackend::~SoundBackend() = default;

SoundBackend::Status SoundBackend::lock(quint32 offset, quint32 bytes, Regions* regions)
{
    *regions = Regions();
    const quint32 size = ringBytes();
    if (offset >= size || bytes == 0 || bytes > size)
        return STATUS_INVALID_PARAM;
    if (isLost())
        return STATUS_BUFFER_LOST;
    regions->first = ring() + offset;
    regions->firstBytes = bytes < size - offset ? bytes : size - offset;
    if (regions->firstBytes < bytes) {
        regions->second = ring();
        regions->secondBytes = bytes - regions->firstBytes;
    }
    return STATUS_OK;
}

quint64 SoundBackend::cursorTotal()
{
    const quint32 now = position();
    m_cursorTotal += (now + ringBytes() - m_lastPosition) % ringBytes();
    m_lastPosition = now;
    return m_cursorTotal;
}
