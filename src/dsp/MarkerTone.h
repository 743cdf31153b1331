#pragma once

#include <QtGlobal>

// The marker tone that stands in for audio that cannot be decrypted, live or
// recorded: 440 Hz at 8 kHz, the first 1000 of every 8000 samples fading out,
// the rest silent, carried as standard A-law. Thread-free.
class MarkerTone
{
public:
    static constexpr int SAMPLE_RATE = 8000;

    // The tone's linear sample at sample index (RTP timestamp) `t`.
    static qint16 sample(quint32 t);
    // Standard A-law code of a linear sample (sign bit set for negative
    // samples, even bits inverted), independent of the G.711 mode settings.
    static unsigned char encodeALaw(qint16 sample);
    // The A-law code of the tone at `t`.
    static unsigned char aLawAt(quint32 t) { return encodeALaw(sample(t)); }
};
