#include "AudioFrameQueue.h"
#include "LogCategories.h"

#include "KavexAssert.h"

#include <QDebug>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

using AudioFrameDefs::BYTES_IN_FRAME;
using AudioFrameDefs::FRAMES_IN_QUEUE;
using AudioFrameDefs::MAX_BYTES_IN_QUEUE;

namespace {
constexpr int kLiveBacklogFrames = 30;  // more than this is caught up ...
constexpr int kLiveKeepFrames = 3;      // ... down to this
// A live queue holds a fraction of a second of its minute-long ring. Left
// to run round the ring, its writes would fault in every page of it, for
// every stream. Once the front is this far in, the queued audio moves back
// to the start of the ring (when it is no more than the audio taken since),
// so only the first part of the ring is ever touched.
constexpr int kCompactFromBytes = 32 * BYTES_IN_FRAME;

// Gives the whole pages of a block back to the system before the block goes
// back to the allocator. A ring is far larger than what a stream touches, and
// the allocator may keep a freed ring in its heap for reuse: a ring made again
// at a slightly different place then touches fresh pages, and resident memory
// creeps up with every receiver made again (seen in long runs).
void releasePages(unsigned char* data, size_t size)
{
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (uintptr_t(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (uintptr_t(data) + size) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

int wrap(int pos)
{
    pos %= MAX_BYTES_IN_QUEUE;
    return pos < 0 ? pos + MAX_BYTES_IN_QUEUE : pos;
}
}  // namespace

AudioFrameQueue::AudioFrameQueue(const NTPTimestamp& tolerance)
    : m_ring(new unsigned char[MAX_BYTES_IN_QUEUE])
    , m_lastFrame(new unsigned char[BYTES_IN_FRAME]())
    , m_frameTimes(new NTPTimestamp[FRAMES_IN_QUEUE])
    , m_bounds(NTPTimestamp(0), NTPTimestamp(~quint64(0)))
    , m_tolerance(tolerance)
{
}

AudioFrameQueue::~AudioFrameQueue()
{
    releasePages(m_ring.get(), size_t(MAX_BYTES_IN_QUEUE));
}

int AudioFrameQueue::sizeLocked() const
{
    if (m_empty)
        return 0;
    const int n = m_end - m_begin;
    return n <= 0 ? n + MAX_BYTES_IN_QUEUE : n;
}

int AudioFrameQueue::size() const
{
    KavexLocker locker(&m_lock);
    return sizeLocked();
}

int AudioFrameQueue::freeSpace() const
{
    KavexLocker locker(&m_lock);
    return MAX_BYTES_IN_QUEUE - sizeLocked();
}

bool AudioFrameQueue::isEmpty() const
{
    KavexLocker locker(&m_lock);
    return m_empty;
}

void AudioFrameQueue::clearPositions()
{
    m_begin = 0;
    m_end = 0;
    m_empty = true;
}

void AudioFrameQueue::clear()
{
    KavexLocker locker(&m_lock);
    clearPositions();
    m_lastPushTime = NTPTimestamp();
    m_takenFrom = NTPTimestamp();
}

// n > 0 consumes at the front, n < 0 grows at the front; returns the signed
// amount actually moved.
int AudioFrameQueue::advanceBegin(int n)
{
    KAVEX_ASSERT(qAbs(n) < AudioFrameDefs::MAX_BYTES_IN_QUEUE);
    if (n > 0) {
        n = std::min(n, sizeLocked());
        m_begin = (m_begin + n) % MAX_BYTES_IN_QUEUE;
        if (m_begin == m_end)
            clearPositions();
        return n;
    }
    if (n < 0) {
        const int grow = std::min(-n, MAX_BYTES_IN_QUEUE - sizeLocked());
        m_begin = wrap(m_begin - grow);
        m_empty = false;
        return -grow;
    }
    return 0;
}

// n > 0 grows at the back, n < 0 consumes at the back; returns the signed
// amount actually moved.
int AudioFrameQueue::advanceEnd(int n)
{
    KAVEX_ASSERT(qAbs(n) < AudioFrameDefs::MAX_BYTES_IN_QUEUE);
    if (n > 0) {
        n = std::min(n, MAX_BYTES_IN_QUEUE - sizeLocked());
        m_end = (m_end + n) % MAX_BYTES_IN_QUEUE;
        m_empty = false;
        return n;
    }
    if (n < 0) {
        const int shrink = std::min(-n, sizeLocked());
        m_end = wrap(m_end - shrink);
        if (m_end == m_begin)
            clearPositions();
        return -shrink;
    }
    return 0;
}

void AudioFrameQueue::writeBytes(int fromBytePos, const unsigned char* data, int n)
{
    KAVEX_ASSERT(fromBytePos < AudioFrameDefs::MAX_BYTES_IN_QUEUE);
    if (n <= 0 || fromBytePos < 0 || fromBytePos >= MAX_BYTES_IN_QUEUE)
        return;
    const int first = std::min(n, MAX_BYTES_IN_QUEUE - fromBytePos);
    memcpy(m_ring.get() + fromBytePos, data, size_t(first));
    memcpy(m_ring.get(), data + first, size_t(n - first));
}

// Moves unwrapped forward audio back to the start of the ring, with the
// time stamps of its frames (the partial last one included). The shift is
// whole frames, so every byte keeps its place within its frame.
void AudioFrameQueue::compact()
{
    const int n = m_end - m_begin;
    if (m_reverse || m_empty || m_begin < kCompactFromBytes || n <= 0 || n > m_begin)
        return;
    const int shift = m_begin - m_begin % BYTES_IN_FRAME;
    memmove(m_ring.get() + m_begin - shift, m_ring.get() + m_begin, size_t(n));
    NTPTimestamp* const times = m_frameTimes.get();
    std::copy(times + m_begin / BYTES_IN_FRAME, times + (m_end + BYTES_IN_FRAME - 1) / BYTES_IN_FRAME,
              times + (m_begin - shift) / BYTES_IN_FRAME);
    m_begin -= shift;
    m_end -= shift;
}

// Every frame that begins inside the block gets the time of its first byte,
// interpolated over the block's range; frames begun before keep their stamp.
void AudioFrameQueue::stamp(int fromBytePos, int n, const NTPRange& range)
{
    if (n <= 0)
        return;
    const NTPTimestamp span = range.end() - range.start();
    int f = (fromBytePos + BYTES_IN_FRAME - 1) / BYTES_IN_FRAME * BYTES_IN_FRAME;
    for (; f < fromBytePos + n; f += BYTES_IN_FRAME)
        m_frameTimes[(f / BYTES_IN_FRAME) % FRAMES_IN_QUEUE] =
            range.start() + span * quint64(f - fromBytePos) / quint64(n);
}

// Byte position of the frame taken next: at the front going forward, the one
// ending at m_end in reverse.
int AudioFrameQueue::frontFramePos() const
{
    return m_reverse ? wrap(m_end - BYTES_IN_FRAME) : m_begin;
}

bool AudioFrameQueue::frontFrameRange(NTPRange& range) const
{
    if (sizeLocked() < BYTES_IN_FRAME)
        return false;
    const NTPTimestamp start = m_frameTimes[frontFramePos() / BYTES_IN_FRAME];
    range = NTPRange(start, start + AudioFrameDefs::frameDuration());
    return true;
}

void AudioFrameQueue::popFrame()
{
    if (m_reverse) {
        KAVEX_ASSERT((m_end % AudioFrameDefs::BYTES_IN_FRAME) == 0);
        advanceEnd(-BYTES_IN_FRAME);
    } else {
        KAVEX_ASSERT((m_begin % AudioFrameDefs::BYTES_IN_FRAME) == 0);
        advanceBegin(std::min(BYTES_IN_FRAME, sizeLocked()));
    }
    m_repeated = false;
}

// [start - tolerance, end + tolerance], kept on the time line.
NTPRange AudioFrameQueue::widened(const NTPRange& range) const
{
    const NTPTimestamp start = range.start() > m_tolerance ? range.start() - m_tolerance : NTPTimestamp(0);
    const NTPTimestamp end = range.end() + m_tolerance;
    return NTPRange(start, end < range.end() ? NTPTimestamp(~quint64(0)) : end);
}

void AudioFrameQueue::dropStale(const NTPRange& range)
{
    const NTPRange wanted = widened(range);
    if (!m_reverse)
        m_takenFrom = wanted.start();
    NTPRange front;
    while (frontFrameRange(front) && (m_reverse ? front > wanted : front < wanted))
        popFrame();
}

void AudioFrameQueue::copyFrontFrame(unsigned char* out) const
{
    const int fromBytePos = frontFramePos();
    KAVEX_ASSERT((fromBytePos % AudioFrameDefs::BYTES_IN_FRAME) == 0);
    const unsigned char* frame = m_ring.get() + fromBytePos;
    if (!m_reverse) {
        memcpy(out, frame, BYTES_IN_FRAME);
        return;
    }
    // Reverse playback: the samples last-first, each sample's bytes intact.
    for (int i = 0; i < BYTES_IN_FRAME; i += 2) {
        out[i] = frame[BYTES_IN_FRAME - 2 - i];
        out[i + 1] = frame[BYTES_IN_FRAME - 1 - i];
    }
}

bool AudioFrameQueue::fitsBounds(const NTPRange& range, const char* warning) const
{
    if (range.intersects(m_bounds))
        return true;
    qCWarning(lcKavexPresentation) << warning << m_bounds.start().toString(false) << m_bounds.end().toString(false);
    return false;
}

void AudioFrameQueue::pushBack(unsigned char* data, int n, const NTPRange& range)
{
    KavexLocker locker(&m_lock);
    setReverse(false);
    if (!fitsBounds(range, "AudioFrameQueue::pushBack : Did not add. Range does not fit in bounds"))
        return;
    if (n > MAX_BYTES_IN_QUEUE - sizeLocked()) {
        qCWarning(lcKavexPresentation, "AudioFrameQueue::pushBack(): queue is full");
        return;
    }
    if (!data || n <= 0)
        return;
    compact();
    m_lastPushTime = range.start();
    const int pos = m_end;
    writeBytes(pos, data, n);
    advanceEnd(n);
    stamp(pos, n, range);
}

void AudioFrameQueue::pushBack(unsigned char* data, int n, const NTPTimestamp& start)
{
    KavexLocker locker(&m_lock);
    setReverse(false);
    if (!data || n <= 0)
        return;
    compact();
    const int pos = m_end;
    const int added = advanceEnd(n);
    if (added < n)
        qCWarning(lcKavexPresentation, "AudioFrameQueue::pushBack(): queue is full");
    writeBytes(pos, data, added);
    stamp(pos, added, NTPRange(start, start + AudioFrameDefs::durationOfBytes(added)));
}

void AudioFrameQueue::pushFront(unsigned char* data, int n, const NTPRange& range)
{
    KavexLocker locker(&m_lock);
    setReverse(true);
    if (!fitsBounds(range, "AudioFrameQueue::pushFront : Did not add. Range does not fit in bounds"))
        return;
    m_lastPushTime = range.start();
    if (n > MAX_BYTES_IN_QUEUE - sizeLocked()) {
        qCWarning(lcKavexPresentation, "AudioFrameQueue::pushFront(): queue is full");
        return;
    }
    if (!data || n <= 0)
        return;
    advanceBegin(-n);
    writeBytes(m_begin, data, n);
    stamp(m_begin, n, range);
}

void AudioFrameQueue::popNextInRange(unsigned char* out, const NTPRange& range, bool bReverse, bool live)
{
    KavexLocker locker(&m_lock);
    setReverse(bReverse);
    dropStale(range);

    NTPRange front;
    if (!frontFrameRange(front)) {
        memset(out, 0, BYTES_IN_FRAME);
        return;
    }
    const bool catchUp = live && !bReverse;
    if (!catchUp && !front.intersects(widened(range))) {
        // Not due yet: hide the gap with the previous frame, once.
        if (!m_repeated) {
            memcpy(out, m_lastFrame.get(), BYTES_IN_FRAME);
            memset(m_lastFrame.get(), 0, BYTES_IN_FRAME);
            m_repeated = true;
        } else {
            memset(out, 0, BYTES_IN_FRAME);
        }
        return;
    }

    copyFrontFrame(out);
    popFrame();

    if (catchUp && sizeLocked() / BYTES_IN_FRAME > kLiveBacklogFrames) {
        const QByteArray from = front.start().toString(false).toLatin1();
        const QByteArray to = front.end().toString(false).toLatin1();
        int frames;
        while ((frames = sizeLocked() / BYTES_IN_FRAME) > kLiveKeepFrames) {
            qCDebug(lcKavexPresentation,
                    "AudioFrameQueue::popNextInRange(): drop frame %s --> %s, bReverse = %s, size = %d",
                    from.constData(), to.constData(), "false", frames);
            popFrame();
        }
    }
    memcpy(m_lastFrame.get(), out, BYTES_IN_FRAME);
}

void AudioFrameQueue::popNext(unsigned char* out, const NTPRange& range, bool bReverse)
{
    KavexLocker locker(&m_lock);
    setReverse(bReverse);
    dropStale(range);
    if (sizeLocked() < BYTES_IN_FRAME) {
        memset(out, 0, BYTES_IN_FRAME);
        return;
    }
    copyFrontFrame(out);
    popFrame();
}

NTPTimestamp AudioFrameQueue::frontTimestamp() const
{
    KavexLocker locker(&m_lock);
    if (m_empty)
        return NTPTimestamp();
    if (!m_reverse)
        return m_frameTimes[m_begin / BYTES_IN_FRAME];
    return m_frameTimes[wrap(m_end - BYTES_IN_FRAME) / BYTES_IN_FRAME] + AudioFrameDefs::frameDuration();
}

NTPTimestamp AudioFrameQueue::lastPushTime() const
{
    KavexLocker locker(&m_lock);
    return m_lastPushTime;
}

bool AudioFrameQueue::isTooLate(const NTPTimestamp& end) const
{
    KavexLocker locker(&m_lock);
    return !m_takenFrom.isNull() && end + AudioFrameDefs::frameDuration() < m_takenFrom;
}

void AudioFrameQueue::setBounds(const NTPRange& bounds)
{
    KavexLocker locker(&m_lock);
    m_bounds = bounds;
}

void AudioFrameQueue::setReverse(bool reverse)
{
    KavexLocker locker(&m_lock);
    if (!m_empty && reverse != m_reverse) {
        if (reverse) {
            const int partial = m_end % BYTES_IN_FRAME;
            if (partial)
                advanceEnd(-partial);
        } else {
            const int partial = m_begin % BYTES_IN_FRAME;
            if (partial)
                advanceBegin(BYTES_IN_FRAME - partial);
        }
    }
    m_reverse = reverse;
}
