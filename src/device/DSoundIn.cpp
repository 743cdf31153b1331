#include "DSoundIn.h"
#include "LogCategories.h"

#include <QDebug>

#include <cstring>

DSoundIn::DSoundIn(unsigned int sampleRate, unsigned int bytesPerSample, unsigned int channels, bool blocking,
                   Clock& clock, SoundCardMaker cards)
    : m_clock(clock)
    , m_cards(std::move(cards))
    , m_bufferBytes(quint32(channels * bytesPerSample * 4 * (sampleRate * 0.03125)))
    , m_sampleRate(sampleRate)
    , m_bytesPerSample(bytesPerSample)
    , m_channels(channels)
    , m_blocking(blocking)
{
}

DSoundIn::~DSoundIn()
{
    if (m_buffer)
        m_buffer->stop();
}

bool DSoundIn::start()
{
    m_device = m_cards(SoundBackend::DIRECTION_CAPTURE, m_clock);
    if (!m_device) {
        qCCritical(lcKavexDevice, "DSoundIn::start() : creation of capture device failed");
        return false;
    }

    bool stereo48 = false;
    if (!m_device->supports(SoundBackend::Format{48000, 2, 2}, &stereo48)) {
        qCCritical(lcKavexDevice, "DSoundIn::start() : not able to read capabilities of the capture device");
        return false;
    }
    if (stereo48)
        m_format = SoundBackend::Format{m_sampleRate, m_channels, m_bytesPerSample};

    const SoundBackend::Status created = m_device->makeRing(m_format, m_bufferBytes, &m_buffer);
    if (created != SoundBackend::STATUS_OK) {
        qCDebug(lcKavexDevice, "DSoundIn::start() : creation of capture buffer failed: %8.8X", unsigned(created));
        return false;
    }

    if (!m_buffer->start()) {
        qCCritical(lcKavexDevice, "DSoundIn::start() : Could not start buffer!");
        return false;
    }
    return true;
}

int DSoundIn::available()
{
    if (!m_device || !m_buffer)
        return 0;
    m_readOffset %= m_bufferBytes;
    const quint32 readPosition = m_buffer->position();
    if (readPosition >= m_readOffset)
        return int(readPosition - m_readOffset);
    return int(m_bufferBytes - m_readOffset + readPosition);
}

DSoundIn::TakeResult DSoundIn::take(unsigned char* data, int bytes, bool retryEmptyLock, int* taken)
{
    *taken = 0;
    if (!m_device || !m_buffer)
        return TAKE_ERROR;
    const quint32 size = m_bufferBytes;
    if (bytes < 0 || quint32(bytes) >= size) {
        qCCritical(lcKavexDevice,
                   "DSoundIn::takeCaptureBytes() : cannot take %d bytes because capture buffer has only %u bytes",
                   bytes, unsigned(size));
        return TAKE_ERROR;
    }
    if (available() < bytes)
        return TAKE_NOT_YET;

    SoundBackend::Regions regions;
    const SoundBackend::Status locked = m_buffer->lock(m_readOffset, quint32(bytes), &regions);
    if (locked == SoundBackend::STATUS_INVALID_CALL) {
        qCCritical(lcKavexDevice, "DSoundIn::takeCaptureBytes() : Failure locking capture buffer : invalid call");
        return TAKE_ERROR;
    }
    if (locked == SoundBackend::STATUS_INVALID_PARAM) {
        qCCritical(lcKavexDevice, "DSoundIn::takeCaptureBytes() : Failure locking capture buffer : invalid parameter");
        return TAKE_ERROR;
    }
    // Any other failure (the card is gone) counts as nothing locked.
    if (locked != SoundBackend::STATUS_OK && retryEmptyLock)
        return TAKE_NOT_YET;
    const int total = int(regions.bytes());
    if (total != bytes) {
        qCCritical(lcKavexDevice,
                   "DSoundIn::takeCaptureBytes() : Failure number of locked bytes is not equal to number of "
                   "requested bytes: %d <-> %d",
                   total, bytes);
    } else {
        std::memcpy(data, regions.first, regions.firstBytes);
        if (regions.second)
            std::memcpy(data + regions.firstBytes, regions.second, regions.secondBytes);
    }
    m_readOffset = (m_readOffset + quint32(total)) % size;
    // From here on the card may record over these bytes.
    m_taken += quint64(total);
    m_buffer->handOverRing(m_taken);
    *taken = total;
    return TAKE_TAKEN;
}

int DSoundIn::takeCaptureBytes(unsigned char* data, int bytes)
{
    int taken = 0;
    switch (take(data, bytes, false, &taken)) {
    case TAKE_ERROR:
        return -1;
    case TAKE_NOT_YET:
        return 0;
    case TAKE_TAKEN:
        break;
    }
    return taken;
}

int DSoundIn::read(unsigned char* data, int frames)
{
    const int bytes = int(m_channels * m_bytesPerSample) * frames;
    if (!m_blocking)
        return takeCaptureBytes(data, bytes) > 0 ? frames : 0;
    const quint64 giveUpUs =
        m_clock.monotonicUs() + quint64(frames) * 1000000 / qMax(m_sampleRate, 1u) + READ_SLACK_MS * 1000;
    for (;;) {
        int taken = 0;
        const TakeResult result = take(data, bytes, true, &taken);
        if (result == TAKE_ERROR)
            return 0;
        if (result == TAKE_TAKEN)
            return frames;
        if ((m_abort && m_abort->load()) || m_clock.monotonicUs() >= giveUpUs)
            return 0;
        m_clock.sleepMs(2);
    }
}
