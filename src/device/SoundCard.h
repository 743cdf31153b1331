#pragma once

#include "Clock.h"
#include "SoundBackend.h"

#include <functional>
#include <memory>

// One sound device of one direction, opened when an output or a capture
// starts: it tells which formats it takes and makes the ring behind the
// output or capture once the ring's format is known. Used by the thread that
// starts the output or capture.
class SoundCard
{
public:
    SoundCard() = default;
    virtual ~SoundCard();
    SoundCard(const SoundCard&) = delete;
    SoundCard& operator=(const SoundCard&) = delete;

    // Sets `supported` to whether the card takes 16-bit samples in that
    // layout. False when the card cannot be asked.
    virtual bool supports(const SoundBackend::Format& format, bool* supported) = 0;

    // Checks the ring's format (16-bit samples, 1 to 8 channels, 1 kHz to
    // 384 kHz) and size (a whole number of frames, at most 256 MiB) and makes
    // its backend: STATUS_BAD_FORMAT or STATUS_INVALID_PARAM when they are
    // wrong, STATUS_GENERIC when the card cannot provide the ring.
    SoundBackend::Status makeRing(const SoundBackend::Format& format, quint32 ringBytes,
                                  std::unique_ptr<SoundBackend>* ring);

protected:
    // A backend for a checked format and size; null (with a warning logged)
    // when the card cannot provide it.
    virtual std::unique_ptr<SoundBackend> makeBackend(const SoundBackend::Format& format, quint32 ringBytes) = 0;
};

// Opens the sound card of a direction, with virtual cursors running on
// `clock`; null (with a warning logged) when the card does not exist.
using SoundCardMaker = std::function<std::unique_ptr<SoundCard>(SoundBackend::Direction direction, Clock& clock)>;
