#include "PcmDevice.h"
#include "LogCategories.h"

#include "DSoundIn.h"
#include "DSoundOut.h"

#include <QDebug>

#include <cstring>
#include <stdexcept>

PcmDevice::PcmDevice(eDirection direction, unsigned int sampleRate, eSampleWidth sampleWidth, int channels,
                     bool blocking, Clock& clock, const SoundCardMaker& cards)
    : m_sampleRate(sampleRate)
    , m_sampleWidth(sampleWidth)
    , m_channels(channels)
    , m_blocking(blocking)
    , m_clock(clock)
    , m_cards(cards)
    , m_pacingStart(clock.monotonicMs())
{
    switch (sampleWidth) {
    case SampleWidth8:
    case SampleWidth16:
    case SampleWidth16Alt:
        break;
    default:
        throw std::invalid_argument("PcmDevice: unknown sample width");
    }

    if (direction == DirectionOutput) {
        m_output = std::make_unique<DSoundOut>(m_clock, m_cards);
        if (!m_output->start()) {
            m_output.reset();
            qCCritical(lcKavexDevice, "PcmDevice::PcmDevice(): could not start DSoundOut");
            throw std::runtime_error("PcmDevice: could not start DSoundOut");
        }
    } else {
        m_input = std::make_unique<DSoundIn>(sampleRate, 2, unsigned(channels), blocking, m_clock, m_cards);
        if (!m_input->start()) {
            m_input.reset();
            qCCritical(lcKavexDevice, "PcmDevice::PcmDevice(): could not start DSoundIn");
            throw std::runtime_error("PcmDevice: could not start DSoundIn");
        }
    }
    m_opened = true;
}

PcmDevice::~PcmDevice() = default;

PcmDevice* PcmDevice::open(eDirection direction, unsigned int sampleRate, eSampleWidth sampleWidth, int channels,
                           bool blocking, Clock& clock, const SoundCardMaker& cards)
{
    qCDebug(lcKavexDevice) << "PcmDevice::open: Trying to open PCM device with params" << int(direction) << sampleRate
                           << int(sampleWidth) << channels << blocking;
    try {
        return new PcmDevice(direction, sampleRate, sampleWidth, channels, blocking, clock, cards);
    } catch (const std::exception&) {
        qCWarning(lcKavexDevice, "PcmDevice::open: Failed to open PCM device");
        return nullptr;
    }
}

int PcmDevice::write(unsigned char* data, int length, unsigned int* status)
{
    if (!m_opened && m_outputLost && qint32(m_clock.monotonicMs() - m_retryAtMs) >= 0)
        retryOutput();
    if (!m_opened)
        return pace(length);
    if (!m_blocking)
        return 0;
    if (!m_output)
        return length;
    if (!m_output->putNextChunk(data, status)) {
        m_output.reset();
        // An output that had been playing is rebuilt at once; one that broke
        // before it proved itself is not rebuilt again right away.
        if (m_probation == 0) {
            qCWarning(lcKavexDevice, "PcmDevice::write putNextChunk failed, reinstantiating DSoundOut");
            m_output = startOutput(false);
        }
        if (m_output)
            m_probation = PROBATION_CHUNKS;
        else
            loseOutput();
        return length;
    }
    if (m_probation > 0 && --m_probation == 0 && m_outputLost) {
        m_outputLost = false;
        m_retryDelayMs = FIRST_RETRY_MS;
        m_output->setQuiet(false);
        qCWarning(lcKavexDevice, "PcmDevice::write: sound output is back");
    }
    return length;
}

std::unique_ptr<DSoundOut> PcmDevice::startOutput(bool quiet)
{
    auto output = std::make_unique<DSoundOut>(m_clock, m_cards);
    output->setQuiet(quiet);
    output->setAbort(m_abort);
    if (!output->start())
        return nullptr;
    return output;
}

void PcmDevice::loseOutput()
{
    m_opened = false;
    m_probation = 0;
    if (!m_outputLost) {
        m_outputLost = true;
        m_retryDelayMs = FIRST_RETRY_MS;
        qCWarning(lcKavexDevice,
                  "PcmDevice::write: sound output lost, pacing without it and trying it again in the background");
    } else {
        m_retryDelayMs = qMin(2 * m_retryDelayMs, MAX_RETRY_MS);
    }
    m_retryAtMs = m_clock.monotonicMs() + m_retryDelayMs;
}

void PcmDevice::retryOutput()
{
    // The card's own complaints would repeat at every try.
    const SoundBackendFactory::QuietScope quiet;
    m_output = startOutput(true);
    if (m_output) {
        m_opened = true;
        m_probation = PROBATION_CHUNKS;
    } else {
        loseOutput();
    }
}

// Sleeps until the next point of a grid of 64/3 ms (one chunk's play time)
// that started at construction, so that a device without a card still runs
// its caller in real time. Unsigned 32-bit arithmetic, with every product
// and quotient taken in 64 bits, keeps the grid through the wrap of the
// millisecond clock.
int PcmDevice::pace(int length)
{
    const quint32 now = m_clock.monotonicMs();
    quint32 elapsed = now - m_pacingStart;
    if (elapsed > 0x7FFFFFFFu) {
        // The start lies ahead of now: move it back onto the grid just before now.
        const quint32 periods = quint32(quint64(3) * elapsed / 64) - 2;
        m_pacingStart += quint32(quint64(64) * periods / 3);
        elapsed = now - m_pacingStart;
    }
    const quint32 ticks = quint32(quint64(3) * (quint64(elapsed) + 1) / 64) + 1;
    quint32 sleep = quint32(quint64(64) * ticks / 3) - elapsed;
    if (sleep > 105) {
        qCWarning(lcKavexDevice, "PcmDevice::write(): unexpected time measure sleep = %u, ticks = %u", sleep, ticks);
        sleep = 21;
        m_pacingStart = now + 21;
    }
    m_clock.sleepMs(sleep);
    return length;
}

void PcmDevice::setAbort(const std::atomic<bool>* abort)
{
    m_abort = abort;
    if (m_input)
        m_input->setAbort(abort);
    if (m_output)
        m_output->setAbort(abort);
}

int PcmDevice::read(unsigned char* data, int count)
{
    if (m_input)
        return m_input->read(data, count);
    std::memset(data, 0, size_t(count));
    return count;
}
