#pragma once

#include "SoundBackend.h"

#include <QString>

#include <atomic>

// The faults that the virtual sound cards of one direction act out, so that
// failing devices can be reproduced without hardware: a cursor that stands
// still, a ring that cannot be locked (the card went away), rings that cannot
// be made (the card is missing), a cursor that moves in bursts as a sound
// server's callbacks do, and a card clock that drifts against the system
// clock. One control per direction for the whole process: tests set its
// fields directly, a host through the device name "virtual:OPTIONS" (see
// apply). Any thread may write it; each virtual ring reads it on the thread
// that owns the ring, whenever it moves its cursor.
class VirtualSoundFaults
{
public:
    static constexpr int MAX_DRIFT_PPM = 5000;  // 0.5 %

    static VirtualSoundFaults& of(SoundBackend::Direction direction);

    // Sets the faults from a comma-separated list, starting from no fault:
    //   stall          the cursor stands still
    //   faillock       every lock of the ring fails (the card went away)
    //   failopen[=N]   the next N rings (all when N is left out) cannot be made
    //   burst=FRAMES   the cursor moves in steps of FRAMES (1 to 65536)
    //   drift=PERCENT  the card's clock runs PERCENT faster (-0.5 to 0.5)
    // False, with a warning and no change, for an option it does not know.
    bool apply(const QString& options);
    // Applies `options` unless they are the ones applied last, so that a card
    // opened again with the same name does not restart a failopen count.
    void applyOnce(const QString& options);
    // No fault.
    void reset();
    // Whether the ring about to be made fails; counts a failopen down.
    bool takeOpenFailure();

    std::atomic<bool> stalled{false};
    std::atomic<bool> lockFails{false};
    std::atomic<int> opensToFail{0};  // -1: every one
    std::atomic<quint32> burstFrames{0};
    std::atomic<int> driftPpm{0};

private:
    VirtualSoundFaults() = default;

    QString m_applied;  // guarded by the registry lock in the source file
};
