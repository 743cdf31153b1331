#pragma once

#include <QtGlobal>

#include <atomic>
#include <vector>

// What stands behind a sound output or capture: a looping ring of bytes and
// a cursor that runs around it in real time once started.
// - Playback: the cursor is the play cursor. The bytes it passes are played
//   and then cleared, so a writer who falls behind is heard as silence rather
//   than as a repeat of the previous round of the ring.
// - Capture: the cursor is the capture position. The bytes it passes have
//   just been recorded; the ring holds the latest ring-length of audio.
// The writer or reader locks spans of the ring at a distance from the cursor.
// The ring and the cursor calls belong to the thread that owns the backend;
// an implementation whose cursor runs on another thread (the sound server's)
// publishes it only after the bytes it covers are done.
class SoundBackend
{
public:
    enum Direction { DIRECTION_PLAYBACK, DIRECTION_CAPTURE };

    // Results of the ring operations. The logs print them as numbers, so the
    // values are fixed; failures have the top bit set.
    enum Status : quint32 {
        STATUS_OK = 0,
        STATUS_GENERIC = 0x80004005u,
        STATUS_INVALID_PARAM = 0x80070057u,
        STATUS_INVALID_CALL = 0x88780032u,
        STATUS_BAD_FORMAT = 0x88780064u,
        STATUS_BUFFER_LOST = 0x88780096u,
    };

    struct Format {
        quint32 sampleRate = 48000;
        quint32 channels = 2;
        quint32 bytesPerSample = 2;
        quint32 bytesPerFrame() const { return channels * bytesPerSample; }
    };

    // A locked span of the ring: one region, or two when the span runs past
    // the end of the ring (the second then starts at offset 0).
    struct Regions {
        quint8* first = nullptr;
        quint32 firstBytes = 0;
        quint8* second = nullptr;
        quint32 secondBytes = 0;
        quint32 bytes() const { return firstBytes + secondBytes; }
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
    // Bytes the cursor has passed since start, not wrapped at the ring's
    // end, so that a cursor which moves a whole ring or more between two
    // readings is still counted right. The default counts the moves of
    // position() and so assumes less than one ring between readings.
    virtual quint64 cursorTotal();

    // Gives access to `bytes` bytes of the ring from `offset`. The regions
    // are the ring itself: there is nothing to hand back afterwards.
    // STATUS_INVALID_PARAM for a span that is empty, longer than the ring or
    // starts outside it; STATUS_BUFFER_LOST when the device has gone away.
    Status lock(quint32 offset, quint32 bytes, Regions* regions);
    // The ring's bytes cross threads without a lock. The device thread
    // publishes its work on the ring by moving the cursor (a release store).
    // The writer or reader publishes its own with handOverRing (a release
    // store): the end of what it has filled (playback) or taken (capture),
    // counted like cursorTotal(). The device thread reads it with
    // takeOverRing at the start of each turn and keeps to its side of it:
    // playback plays the bytes below it and silence from it on, leaving those
    // bytes alone (the writer may be filling them); capture stores frames up
    // to one ring, less one frame, past it and drops the rest. The writer
    // fills only at or after the end it published, within one ring of the
    // cursor.
    void handOverRing(quint64 end) { m_ownerEnd.store(end, std::memory_order_release); }
    quint64 takeOverRing() const { return m_ownerEnd.load(std::memory_order_acquire); }

    Direction direction() const { return m_direction; }
    const Format& format() const { return m_format; }
    quint8* ring() { return m_ring.data(); }
    quint32 ringBytes() const { return quint32(m_ring.size()); }

private:
    const Direction m_direction;
    const Format m_format;
    std::vector<quint8> m_ring;
    // Published by the writer or reader, read by the cursor's thread.
    std::atomic<quint64> m_ownerEnd{0};
    // The default cursorTotal's count; the owning thread's.
    quint64 m_cursorTotal = 0;
    quint32 m_lastPosition = 0;
};
