#pragma once

#include "AudioFrameDefs.h"
#include "NTPRange.h"
#include "NTPTimestamp.h"
#include "OstKavexMixerGlobal.h"

#include "KavexMutex.h"

#include <memory>

// Time-stamped PCM store between a channel's decoder and the mixer: blocks of
// 48 kHz 16-bit mono audio of any length go in with the time they cover, and
// the mixer takes them out one frame (AudioFrameDefs::BYTES_IN_FRAME bytes)
// at a time for a time range. Every frame keeps its start time, so that late
// audio is dropped, early audio waits, and one missing frame is hidden by
// repeating the previous one. In reverse, blocks are pushed at the front and
// frames are taken from the back with their samples reversed.
//
// All memory is allocated in the constructor; pushes and pops only copy. A
// queue kept short (live audio) reuses the start of its ring, so the rest
// of the ring's pages are never touched and never become resident.
// Every operation locks the queue, so producer and consumer threads may use
// it at the same time.
class AudioFrameQueue
{
public:
    // `tolerance`: how far a frame may lie outside a requested range and
    // still be taken for it.
    explicit AudioFrameQueue(const NTPTimestamp& tolerance);
    ~AudioFrameQueue();
    AudioFrameQueue(const AudioFrameQueue&) = delete;
    AudioFrameQueue& operator=(const AudioFrameQueue&) = delete;

    // Forward playback: appends a block covering `range`. A block whose range
    // misses the bounds, or that does not fit whole, is refused.
    void pushBack(unsigned char* data, int n, const NTPRange& range);
    // Live audio: appends a block starting at `start`, its end derived from
    // its length. Cut to the free space when the queue is nearly full.
    void pushBack(unsigned char* data, int n, const NTPTimestamp& start);
    // Reverse playback: prepends a block covering `range` (blocks come
    // latest-first, each in its own sample order).
    void pushFront(unsigned char* data, int n, const NTPRange& range);

    // Writes exactly one frame to `out` for `range`: the queued frame for
    // that time, the previous frame once when nothing is due yet, else
    // silence. `live` (forward only) takes the next frame whatever its time
    // and drops a backlog of more than 30 frames down to 3.
    void popNextInRange(unsigned char* out, const NTPRange& range, bool bReverse, bool live);
    // Writes exactly one frame to `out`: the next queued frame whatever its
    // time (after dropping stale ones), or silence.
    void popNext(unsigned char* out, const NTPRange& range, bool bReverse);

    void clear();
    int size() const;
    int freeSpace() const;
    bool isEmpty() const;
    // Forward: start of the first frame; reverse: end of the last frame;
    // null when empty.
    NTPTimestamp frontTimestamp() const;
    NTPTimestamp lastPushTime() const;
    // True when audio ending at `end` can no longer be taken: all of it lies
    // more than a frame before the earliest time the last forward pop took.
    // Lets a producer skip decoding a backlog that would only be dropped.
    bool isTooLate(const NTPTimestamp& end) const;
    void setBounds(const NTPRange& bounds);
    // Switching direction with audio queued drops the partial frame at the
    // end that frames are taken from next.
    void setReverse(bool reverse);

private:
    int sizeLocked() const;
    int advanceBegin(int n);
    int advanceEnd(int n);
    void compact();
    void writeBytes(int fromBytePos, const unsigned char* data, int n);
    void stamp(int fromBytePos, int n, const NTPRange& range);
    bool frontFrameRange(NTPRange& range) const;
    int frontFramePos() const;
    void popFrame();
    NTPRange widened(const NTPRange& range) const;
    void dropStale(const NTPRange& range);
    void copyFrontFrame(unsigned char* out) const;
    void clearPositions();
    // Warns with the bounds when a ranged push misses them.
    bool fitsBounds(const NTPRange& range, const char* warning) const;

    mutable KavexPiRecursiveMutex m_lock;
    std::unique_ptr<unsigned char[]> m_ring;
    std::unique_ptr<unsigned char[]> m_lastFrame;
    std::unique_ptr<NTPTimestamp[]> m_frameTimes;
    int m_begin = 0;
    int m_end = 0;
    bool m_empty = true;
    bool m_reverse = false;
    NTPRange m_bounds;
    NTPTimestamp m_lastPushTime;
    // Start of the widened range of the last forward pop; null before one.
    NTPTimestamp m_takenFrom;
    NTPTimestamp m_tolerance;
    bool m_repeated = false;
};
