#include "SoundBackend.h"

SoundBackend::SoundBackend(Direction direction, const Format& format, quint32 ringBytes)
    : m_direction(direction), m_format(format), m_ring(ringBytes, 0)
{
}

SoundBackend::~SoundBackend() = default;
