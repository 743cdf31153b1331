#include "DSoundOut.h"

#include <QDebug>

#include <cstring>

namespace {
constexpr quint32 FRAMES_PER_BLOCK = 1024;
constexpr quint32 FRAMES_PER_MS = 48;

quint32 blockOf(quint32 position)
{
    return position >> 12;
}

quint32 frameOf(quint32 position)
{
    return (position >> 2) & (FRAMES_PER_BLOCK - 1);
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

    quint32 play = m_buffer->position();
    const quint32 startBlock = blockOf(play);
    // Wake about one millisecond after the cursor leaves this block.
    m_clock.sleepMs((FRAMES_PER_BLOCK + 49 - frameOf(play)) / FRAMES_PER_MS);

    play = m_buffer->position();
    const quint32 waitStart = m_clock.monotonicMs();
    int loopCount = 0;
    int loopCount2 = 0;
    while (blockOf(play) == startBlock) {
        if ((FRAMES_PER_BLOCK - frameOf(play)) / FRAMES_PER_MS != 0) {
            m_clock.sleepMs(1);
            if (++loopCount > 100) {
                qWarning("DSoundOut::putNextChunk: loopCount exceeded DSoundOut object seems to be broken");
                return false;
            }
        } else if (++loopCount2 > 1000) {
            // Less than a millisecond left: spin, checking the clock now and then.
            loopCount2 = 0;
            if (m_clock.monotonicMs() - waitStart > 100) {
                qWarning("DSoundOut::putNextChunk: loopCount2 exceeded DSoundOut object seems to be broken");
                return false;
            }
        }
        play = m_buffer->position();
    }

    // The block just played, three blocks ahead of the cursor.
    const quint32 block = blockOf(play);
    const quint32 target = block == 0 ? BLOCK_COUNT - 1 : block - 1;
    SoundBackend::Regions regions;
    const SoundBackend::Status locked = m_buffer->lock(target * BLOCK_BYTES, BLOCK_BYTES, &regions);
    if (locked != SoundBackend::STATUS_OK) {
        qWarning("DSoundOut::putNextChunk: IDirectSoundBuffer8::Lock failed error 0x%X", unsigned(locked));
    } else {
        std::memcpy(regions.first, data, regions.firstBytes);
        if (regions.second)
            std::memcpy(regions.second, data + regions.firstBytes, regions.secondBytes);
        m_buffer->handOverRing();
    }
    if (status)
        *status = 0;
    return true;
}
