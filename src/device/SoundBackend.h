#pragma once

#include <QtGlobal>

#include <vector>

// What stands behind one sound buffer: a looping ring of bytes and a cursor
// that runs around it in real time once started.
// - Playback: the cursor is the play cursor. The bytes it passes are played
//   and then cleared, so a writer who falls behind is heard as silence rather
//   than as a repeat of the previous round of the ring.
// - Capture: the cursor is the capture position. The bytes it passes have
//   just been recorded; the ring holds the latest ring-length of audio.
// The writer or reader works on the ring through the sound buffer's
// Lock/Unlock, at a distance from the cursor.
class SoundBackend
{
public:
    enum Direction { DIRECTION_PLAYBACK, DIRECTION_CAPTURE };

    struct Format {
        quint32 sampleRate = 48000;
        quint32 channels = 2;
        quint32 bytesPerSample = 2;
        quint32 bytesPerFrame() const { return channels * bytesPerSample; }
    };

    // `ringBytes` is a whole number of frames.
    SoundBackend(Direction direction, const Format& format, quint32 ringBytes);
    virtual ~SoundBackend();
    SoundBackend(const SoundBackend&) = delete;
    SoundBackend& operator=(const SoundBackend&) = delete;

    // Starts the cursor at offset 0. False when the device refuses.
    virtual bool start() = 0;
    // Stops the cursor where it is.
    virtual void stop() = 0;
    // The cursor's byte offset in the ring (a frame boundary).
    virtual quint32 position() = 0;
    // True when the device has gone away underneath the ring.
    virtual bool isLost() const { return false; }

    Direction direction() const { return m_direction; }
    const Format& format() const { return m_format; }
    quint8* ring() { return m_ring.data(); }
    quint32 ringBytes() const { return quint32(m_ring.size()); }

private:
    const Direction m_direction;
    const Format m_format;
    std::vector<quint8> m_ring;
};
