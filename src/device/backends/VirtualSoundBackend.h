#pragma once

#include "Clock.h"
#include "SoundBackend.h"

// A sound card without sound: its cursor runs at the format's rate on the
// clock it is given, acting out the faults of its direction's
// VirtualSoundFaults (stall, lost ring, bursts, drift). Played bytes are dropped and captured bytes are
// silence; subclasses give them a destination or a source. The bytes the
// cursor has passed are handled lazily, whenever the cursor is read and when
// the card stops, so everything happens on the thread that owns the backend.
class VirtualSoundBackend : public SoundBackend
{
public:
    VirtualSoundBackend(Direction direction, const Format& format, quint32 ringBytes, Clock& clock);
    ~VirtualSoundBackend() override;

    bool start() override;
    void stop() override;
    quint32 position() override;
    bool isLost() const override;
    quint64 cursorTotal() override;

protected:
    // Playback: `bytes` the card has just played, in order.
    virtual void render(const quint8* data, quint32 bytes);
    // Playback: the card played `bytes` of silence past the end of what the
    // writer had filled.
    virtual void renderSilence(quint64 bytes);
    // Capture: the next `bytes` the microphone delivers.
    virtual void fill(quint8* data, quint32 bytes);
    // Capture: `bytes` the microphone delivered that were overwritten in the
    // ring before anyone could read them.
    virtual void skip(quint64 bytes);

private:
    // Brings the ring up to the clock's present. Subclasses with hooks call
    // stop() in their destructor, so that their hooks see the end.
    void catchUp();
    void processUpTo(quint64 totalBytes);
    // Plays or records the next `pending` bytes of the ring at the cursor (at most one round).
    void processRing(quint64 pending);

    Clock& m_clock;
    bool m_running = false;
    quint64 m_lastUs = 0;
    // Frames the card's clock has run through since start, and the fraction
    // of a frame beyond them in units of 1e-12 frames.
    quint64 m_frames = 0;
    quint64 m_fraction = 0;
    quint64 m_bytesDone = 0;
};
