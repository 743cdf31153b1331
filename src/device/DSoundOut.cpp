#include "DSoundOut.h"
#include "LogCategories.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

namespace {
constexpr quint32 FRAMES_PER_MS = 48;
constexpr quint64 SHORT_WAIT_US = 100;

// Puts `bytes` from `data` (zeros when null) into a locked span from `at` on.
void fillSpan(const SoundBackend::Regions& regions, quint32 at, const unsigned char* data, quint32 bytes)
{
    for (quint32 done = 0; done < bytes;) {
        const quint32 pos = at + done;
        const bool inFirst = pos < regions.firstBytes;
        quint8* target = inFirst ? regions.first + pos : regions.second + (pos - regions.firstBytes);
        const quint32 n = std::min((inFirst ? regions.firstBytes : regions.bytes()) - pos, bytes - done);
        if (data)
            std::memcpy(target, data + done, n);
        else
            std::memset(target, 0, n);
        done += n;
    }
}

}  // namespace

DSoundOut::DSoundOut(Clock& clock, SoundCardMaker cards) : m_clock(clock), m_cards(std::move(cards)) {}

DSoundOut::~DSoundOut()
{
    if (m_buffer)
        m_buffer->stop();
    release();
}

void DSoundOut::release()
{
    m_buffer.reset();
    m_device.reset();
}

bool DSoundOut::start()
{
    if (m_state == STATE_NOT_STARTED)
        m_state = startDevice() ? STATE_RUNNING : STATE_FAILED;
    if (m_state != STATE_RUNNING)
        release();
    return m_state == STATE_RUNNING;
}

bool DSoundOut::startDevice()
{
    m_device = m_cards(SoundBackend::DIRECTION_PLAYBACK, m_clock);
    if (!m_device)
        return false;
    // The one output format: 48 kHz stereo 16-bit.
    const SoundBackend::Format format{48000, 2, 2};
    if (m_device->makeRing(format, RING_BYTES, &m_buffer) != SoundBackend::STATUS_OK)
        return false;
    SoundBackend::Regions all;
    if (m_buffer->lock(0, RING_BYTES, &all) != SoundBackend::STATUS_OK)
        return false;
    std::memset(all.first, 0, all.firstBytes);
    return m_buffer->start();
}

bool DSoundOut::putNextChunk(unsigned char* data, unsigned int* status)
{
    if (m_state != STATE_RUNNING) {
        m_clock.sleepMs(21);
        return true;
    }

    m_played = m_buffer->cursorTotal();
    if (m_written == 0 || m_written < m_played) {
        // The first chunk, or the cursor has passed everything written (the
        // caller fell behind): start one lead ahead of the cursor's block,
        // which waits for the cursor to enter its next block.
        m_written = (m_played / BLOCK_BYTES + 1 + m_leadBlocks) * BLOCK_BYTES;
    }
    if (!waitForRoom())
        return false;
    if (m_abort && m_abort->load())
        return true;

    // The card plays only what lies below the published end and leaves the
    // rest alone, so the writer fills from that end on without racing it; the
    // wait kept the block within one ring of the cursor. Bytes skipped since
    // that end (the writer fell behind and moved ahead, or a lock failed) may
    // still hold an older round: they are cleared from the cursor on.
    const quint64 from = std::min(m_written, std::max(m_filled, m_played));
    const quint32 skipped = quint32(m_written - from);
    SoundBackend::Regions regions;
    const SoundBackend::Status locked = m_buffer->lock(quint32(from % RING_BYTES), skipped + BLOCK_BYTES, &regions);
    m_written += BLOCK_BYTES;
    if (locked != SoundBackend::STATUS_OK) {
        // Said once per run of failures; a run that lasts means the card is gone.
        if (m_lockFailures++ == 0 && !m_quiet)
            qCWarning(lcKavexDevice, "DSoundOut::putNextChunk: IDirectSoundBuffer8::Lock failed error 0x%X",
                      unsigned(locked));
        if (m_lockFailures > MAX_LOCK_FAILURES) {
            if (!m_quiet)
                qCWarning(lcKavexDevice,
                          "DSoundOut::putNextChunk: Lock keeps failing DSoundOut object seems to be broken");
            return false;
        }
    } else {
        m_lockFailures = 0;
        fillSpan(regions, 0, nullptr, skipped);
        fillSpan(regions, skipped, data, BLOCK_BYTES);
        m_filled = m_written;
        m_buffer->handOverRing(m_filled);
    }
    if (status)
        *status = 0;
    return true;
}

bool DSoundOut::waitForRoom()
{
    // Compared as m_played + lead < m_written: the cursor may pass m_written while we wait.
    const quint64 lead = quint64(m_leadBlocks) * BLOCK_BYTES;
    if (m_played + lead >= m_written)
        return true;
    // Wake about one millisecond after the cursor should have made room.
    m_clock.sleepMs(quint32(((m_written - m_played - lead) / 4 + 49) / FRAMES_PER_MS));
    quint64 previous = m_played;
    m_played = m_buffer->cursorTotal();
    quint32 waitStart = m_clock.monotonicMs();
    int loopCount = 0;
    int loopCount2 = 0;
    while (m_played + quint64(m_leadBlocks) * BLOCK_BYTES < m_written) {
        if (m_abort && m_abort->load())
            return true;
        if (m_played != previous) {
            // The cursor moves: whatever the wait, the card is not stuck.
            noteCursorStep(m_played - previous);
            loopCount = 0;
            waitStart = m_clock.monotonicMs();
        }
        previous = m_played;
        const quint64 framesLeft = (m_written - m_played - quint64(m_leadBlocks) * BLOCK_BYTES) / 4;
        if (framesLeft / FRAMES_PER_MS != 0) {
            m_clock.sleepMs(1);
            // Sleeps without the cursor moving at all.
            if (++loopCount > 100) {
                if (!m_quiet)
                    qCWarning(lcKavexDevice,
                              "DSoundOut::putNextChunk: loopCount exceeded DSoundOut object seems to be broken");
                return false;
            }
        } else {
            // Less than a millisecond left: short naps, checking the clock now
            // and then (a card that plays in bursts may take a while yet).
            m_clock.sleepUs(SHORT_WAIT_US);
            if (++loopCount2 > 1000) {
                loopCount2 = 0;
                if (m_clock.monotonicMs() - waitStart > 100) {
                    if (!m_quiet)
                        qCWarning(lcKavexDevice,
                                  "DSoundOut::putNextChunk: loopCount2 exceeded DSoundOut object seems to be broken");
                    return false;
                }
            }
        }
        m_played = m_buffer->cursorTotal();
    }
    return true;
}

void DSoundOut::noteCursorStep(quint64 bytes)
{
    const quint64 blocks = (bytes + BLOCK_BYTES - 1) / BLOCK_BYTES;
    if (blocks <= m_leadBlocks || m_leadBlocks == BLOCK_COUNT - 1)
        return;
    m_leadBlocks = quint32(std::min<quint64>(blocks, BLOCK_COUNT - 1));
    if (!m_quiet)
        qCWarning(lcKavexDevice, "DSoundOut::putNextChunk: the card takes %u frames at once, writing %u blocks ahead",
                  unsigned(bytes / 4), m_leadBlocks);
}
