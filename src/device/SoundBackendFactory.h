#pragma once

#include "SoundCard.h"

// Opens the sound cards that the settings name (see DeviceSelection): a
// PortAudio device, the virtual card, or a WAV file played into or recorded
// from. Choosing the card (when an output or capture starts) and making the
// ring's backend (when its format is known) are separate steps. Stateless;
// callable from any thread.
class SoundBackendFactory
{
public:
    // The configured card of `direction`, its virtual cursors running on
    // `clock`. Null, with a warning, when a named device does not exist;
    // "auto" without a device falls back to the virtual card with a warning.
    // The default SoundCardMaker of the outputs and captures.
    static std::unique_ptr<SoundCard> resolve(SoundBackend::Direction direction, Clock& clock);

    // While one lives on a thread, opening cards on that thread logs no
    // warnings: a device retried in the background says once that it is gone
    // and once that it is back, not at every try.
    class QuietScope
    {
    public:
        QuietScope();
        ~QuietScope();
        QuietScope(const QuietScope&) = delete;
        QuietScope& operator=(const QuietScope&) = delete;
    };
    static bool isQuiet();
};
