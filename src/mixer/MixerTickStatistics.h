#pragma once

#include <QtGlobal>

// How well the mixer thread has kept time since the mixer started. Each tick
// has a slot on the pacing grid: one tick period (1024 frames at 48 kHz,
// about 21.3 ms) after the previous tick's slot, kept within a quarter period
// of the moments the sound output actually takes blocks, so that a card
// whose clock runs a little fast or slow does not count as lateness.
// A tick's lateness is how long after its slot its block reached the sound
// output (or, with output disabled, the pacing).
struct MixerTickStatistics {
    quint64 ticks = 0;            // ticks mixed
    quint64 lateTicks = 0;        // more than one period late (the output played from its reserve)
    quint64 missedTicks = 0;      // more than three periods late, or not played at all (no output)
    quint64 worstLatenessUs = 0;  // the largest lateness of a played tick
};
