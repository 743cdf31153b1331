#include "SoundCard.h"

namespace {
constexpr quint32 MIN_RING_BYTES = 4;
constexpr quint32 MAX_RING_BYTES = 0x0FFFFFFF;
}  // namespace

SoundCard::~SoundCard() = default;

SoundBackend::Status SoundCard::makeRing(const SoundBackend::Format& format, quint32 ringBytes,
                                         std::unique_ptr<SoundBackend>* ring)
{
    ring->reset();
    if (format.bytesPerSample != 2 || format.channels == 0 || format.channels > 8 || format.sampleRate < 1000 ||
        format.sampleRate > 384000)
        return SoundBackend::STATUS_BAD_FORMAT;
    if (ringBytes < MIN_RING_BYTES || ringBytes > MAX_RING_BYTES || ringBytes % format.bytesPerFrame() != 0)
        return SoundBackend::STATUS_INVALID_PARAM;
    *ring = makeBackend(format, ringBytes);
    return *ring ? SoundBackend::STATUS_OK : SoundBackend::STATUS_GENERIC;
}
