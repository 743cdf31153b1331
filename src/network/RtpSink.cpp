#include "RtpSink.h"
#include "LogCategories.h"

#include "AudioConverter.h"
#include "Configuration.h"
#include "IIRFilter.h"
#include "KavexUdpSender.h"
#include "PcmDevice.h"
#include "RTPPacket.h"
#include "RealTimePriority.h"
#include "SoundBackendFactory.h"
#include "SoundFileChannel.h"
#include "ThreadEnd.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QSettings>

#include <cmath>
#include <cstring>
#include <exception>

namespace {
const unsigned int kCaptureRate = 48000;
const int kDefaultResample = 2;
const int kDefaultHighPassHz = 500;
const int kMulticastTtl = 32;
// File input sends a 40 ms block every 37 ms of the clock.
const quint64 kFileInputPeriodUs = 37000;
// A file loop this far behind its schedule starts a new one rather than
// sending the missed blocks in a burst.
const quint64 kFileInputMaxLagUs = 10 * kFileInputPeriodUs;
// Pauses before reopening a capture that delivers nothing: doubling from
// the first to the last, slept in slices so that a stop ends them soon.
const quint64 kReopenFirstUs = 250000;
const quint64 kReopenMaxUs = 5000000;
const quint64 kReopenSliceUs = 10000;
const int kCapturePriority = 20;
// Buffers the converters are sized for, in samples per channel.
const unsigned int kConverterMaxSamples = 2048;

const int kPayloadType8000 = 8;  // PCMA
const int kPayloadType16000 = 97;

qint16 roundAndClip(double value)
{
    if (value >= 32767.0)
        return 32767;
    if (value <= -32768.0)
        return -32768;
    // Nearest integer, ties to even (the default rounding mode).
    return qint16(std::nearbyint(value));
}

int resampleQuality(const QSettings& settings)
{
    return settings.value(QStringLiteral("Mixer/Resample"), kDefaultResample).toInt();
}
}  // namespace

void RtpSink::ChannelDispose::operator()(SoundFileChannel* channel) const
{
    channel->deleteThis();
}

RtpSink::RtpSink(Clock& clock)
    : m_clock(clock)
    , m_ssrc(QRandomGenerator::global()->generate())
    , m_sequenceNumber(quint16(QRandomGenerator::global()->generate()))
    , m_interface(QStringLiteral("0.0.0.0"))
    , m_pool(new SharedBufferPool())
    , m_captureBuffer(size_t(FILE_BLOCK_FRAMES) * 2, 0)
    , m_filteredBuffer(size_t(FILE_BLOCK_FRAMES) * 2, 0)
{
    qRegisterMetaType<SharedPoolBuffer>("SharedPoolBuffer");
    markThreadEnd(this);
    m_streams[SAMPLE_RATE_8000].timestamp = QRandomGenerator::global()->generate();
    m_streams[SAMPLE_RATE_8000].payloadType = kPayloadType8000;
    m_streams[SAMPLE_RATE_16000].timestamp = QRandomGenerator::global()->generate();
    m_streams[SAMPLE_RATE_16000].payloadType = kPayloadType16000;
    for (RateStream& stream : m_streams)
        stream.payload.assign(PAYLOAD_BUFFER_SIZE, 0);
}

RtpSink::~RtpSink()
{
    stop();
}

void RtpSink::addDestination(const QHostAddress& address, unsigned short port, eSampleRate rate,
                             const QHostAddress& iface)
{
    qCDebug(lcKavexNetwork) << "RtpSink::setDestination: Setting new destination of RTP sink:" << address << port;
    Destination destination;
    destination.address = KavexLLSock::createSockAddr(address, port);
    destination.port = port;
    destination.rate = rate;
    destination.iface = iface;
    KavexLocker lock(&m_destinationsLock);
    m_destinations.append(destination);
}

void RtpSink::startReadingFromFile(const QString& fileName)
{
    KavexLocker lock(&m_destinationsLock);
    if ((m_running || isRunning()) && fileName != m_fileName) {
        qCCritical(lcKavexNetwork, "RtpSink::startReadingFromFile() : Already reading from %s could not read from %s",
                   qPrintable(m_fileName), qPrintable(fileName));
        return;
    }
    qCDebug(lcKavexNetwork).nospace().noquote()
        << "RtpSink::startReadingFromFile() : Using " << fileName << " for sound input";
    m_fileName = fileName;
    m_fileInput = true;
}

void RtpSink::setDigitalMicGain(float gain)
{
    const double factor = std::exp2(double(gain) / 3.0);
    const QSettings settings(Configuration::settingsFilePath(), QSettings::IniFormat);
    const int quality = resampleQuality(settings);
    KavexLocker lock(&m_converterLock);
    replaceConverters(factor, quality);
}

void RtpSink::stop()
{
    if (QThread::currentThread() == this) {
        // A slot on the capture thread (an in-process packet's): the loop
        // ends after this cycle; there is no thread to wait for.
        m_stopRequested = true;
        m_selfStopped = true;
    } else {
        // Held while waiting so that concurrent stops end one thread once.
        // The capture loop never takes this lock.
        KavexLocker state(&m_stateLock);
        if (m_running || isRunning()) {
            m_stopRequested = true;
            m_running = false;
            wait();
            joinedThread(this);
            // Cleared here rather than at the start of run(), so that a stop
            // that comes before the new thread got going is not lost.
            m_stopRequested = false;
        }
    }
    KavexLocker lock(&m_destinationsLock);
    m_destinations.clear();
    m_fileInput = false;
}

void RtpSink::run()
{
    RealTimePriority::raiseCurrentThread(QStringLiteral("RtpSink capture thread"), kCapturePriority);
    KavexUdpSender sender;
    sender.bind(0, QHostAddress::Any);
    sender.setMulticastInterface(m_interface);
    sender.setMulticastTtl(kMulticastTtl);
    m_running = true;

    bool fileInput;
    QString fileName;
    {
        KavexLocker lock(&m_destinationsLock);
        fileInput = m_fileInput;
        fileName = m_fileName;
    }
    const int blockFrames = fileInput ? FILE_BLOCK_FRAMES : MIC_BLOCK_FRAMES;

    m_captureDevice.reset();
    m_fileChannel.reset();
    const int channels = fileInput ? openFile(fileName) : openMicrophone();
    if (channels > 0) {
        rebuildProcessing(channels);
        qCDebug(lcKavexNetwork, "RtpSink::run: Starting PCM capture thread: 0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<quintptr>(QThread::currentThreadId())));
        captureLoop(fileInput, blockFrames, sender);
    }
    // A stop from the capture thread itself is done once the thread ends.
    if (m_selfStopped.exchange(false))
        m_stopRequested = false;
    m_running = false;
}

int RtpSink::openCapture()
{
    for (int channels = 1; channels <= 2; ++channels) {
        m_captureDevice.reset(
            PcmDevice::open(PcmDevice::DirectionInput, kCaptureRate, PcmDevice::SampleWidth16, channels, true));
        if (m_captureDevice) {
            m_captureDevice->setAbort(&m_stopRequested);
            return channels;
        }
    }
    return 0;
}

int RtpSink::openMicrophone()
{
    const int channels = openCapture();
    if (channels == 0) {
        qCWarning(lcKavexNetwork, "RtpSink::run: Unable to open PCM device");
        qCWarning(lcKavexNetwork, "RtpSink::run: No PCM device available.");
    }
    return channels;
}

void RtpSink::reopenMicrophone()
{
    qCWarning(lcKavexNetwork, "RtpSink::run: capture delivers nothing, reopening the capture device");
    quint64 pauseUs = kReopenFirstUs;
    const SoundBackendFactory::QuietScope quiet;
    while (!m_stopRequested) {
        m_captureDevice.reset();
        for (quint64 left = pauseUs; left > 0 && !m_stopRequested;) {
            const quint64 slice = qMin(left, kReopenSliceUs);
            m_clock.sleepUs(slice);
            left -= slice;
        }
        pauseUs = qMin(2 * pauseUs, kReopenMaxUs);
        const int channels = m_stopRequested ? 0 : openCapture();
        if (channels > 0 && m_captureDevice->read(captureBuffer(), MIC_BLOCK_FRAMES) > 0) {
            if (channels != m_channels)
                rebuildProcessing(channels);
            qCWarning(lcKavexNetwork, "RtpSink::run: capture is back");
            return;
        }
    }
}

int RtpSink::openFile(const QString& fileName)
{
    try {
        m_fileChannel.reset(new SoundFileChannel(fileName, kCaptureRate, true, 1.0));
    } catch (const std::exception&) {
        qCWarning(lcKavexNetwork, "RtpSink::run: error while activating sound '%s'", qPrintable(fileName));
        return 0;
    }
    // Read here, never mixed.
    m_fileChannel->mute(CHANNEL_BOTH);
    return 1;
}

void RtpSink::captureLoop(bool fileInput, int blockFrames, KavexUdpSender& sender)
{
    unsigned char* capture = captureBuffer();
    // File blocks go out on a fixed grid of the clock, so that the time spent
    // sending does not add up.
    quint64 deadlineUs = m_clock.monotonicUs();
    while (!m_stopRequested) {
        if (fileInput) {
            deadlineUs += kFileInputPeriodUs;
            const quint64 nowUs = m_clock.monotonicUs();
            if (nowUs > deadlineUs + kFileInputMaxLagUs)
                deadlineUs = nowUs;
            m_clock.sleepUntilUs(deadlineUs);
            const unsigned int bytes = unsigned(blockFrames * 2);
            m_fileChannel->getData(capture, bytes);
            sendBlock(capture, bytes, sender);
        } else if (m_captureDevice->read(capture, blockFrames) > 0) {
            processCapturedBlock(blockFrames, sender);
        } else if (!m_stopRequested) {
            // A blocking read that gives up means the capture stands still or
            // is gone: reopen it until it delivers again (that block is sent).
            reopenMicrophone();
            if (!m_stopRequested)
                processCapturedBlock(blockFrames, sender);
        }
    }
}

void RtpSink::processCapturedBlock(int frames, KavexUdpSender& sender)
{
    const unsigned int bytes = unsigned(m_channels * frames * 2);
    // The filters always take stereo pairs. With mono capture the second
    // half of the pairs repeats the block, so that each filter state ends on
    // the samples that precede the next block and carries on without a
    // transient; only the first half is sent.
    if (m_channels == 1)
        std::memcpy(captureBuffer() + bytes, captureBuffer(), bytes);
    filterBlock(m_captureBuffer.data(), m_filteredBuffer.data(), frames);
    sendBlock(reinterpret_cast<unsigned char*>(m_filteredBuffer.data()), bytes, sender);
}

void RtpSink::rebuildProcessing(int channels)
{
    const QSettings settings(Configuration::settingsFilePath(), QSettings::IniFormat);
    const int quality = resampleQuality(settings);
    const double frequency =
        settings.value(QStringLiteral("Mixer/HighPassFilterFrequency"), kDefaultHighPassHz).toDouble();
    {
        KavexLocker lock(&m_converterLock);
        m_channels = channels;
        replaceConverters(1.0, quality);
    }
    m_filters.clear();
    for (int i = 0; i < 2; ++i)
        m_filters.push_back(
            std::make_unique<IIRFilter>(IIRFilter::KIND_HIGHPASS, 1, frequency / double(kCaptureRate), 1.0, 10.0));
}

void RtpSink::replaceConverters(double gain, int quality)
{
    const unsigned int rates[2] = {8000, 16000};
    for (int i = 0; i < 2; ++i) {
        m_streams[i].converter = std::make_unique<AudioConverter>(kCaptureRate, rates[i], m_channels == 2, false, true,
                                                                  gain, kConverterMaxSamples, 0);
        m_streams[i].converter->setQuality(quality);
    }
}

void RtpSink::filterBlock(const qint16* in, qint16* out, int pairs)
{
    const qint16* source = in;
    for (const std::unique_ptr<IIRFilter>& filter : m_filters) {
        for (int i = 0; i < pairs; ++i) {
            double y;
            filter->processRight(source[2 * i], &y);
            out[2 * i] = roundAndClip(y);
            filter->processLeft(source[2 * i + 1], &y);
            out[2 * i + 1] = roundAndClip(y);
        }
        source = out;
    }
}

void RtpSink::sendBlock(unsigned char* block, unsigned int bytes, KavexUdpSender& sender)
{
    // One packet per rate and cycle, built for the first destination of that
    // rate and shared by the others.
    SharedPoolBuffer packets[2];
    KavexLocker lock(&m_destinationsLock);
    m_inprocRates.clear();
    ++m_sequenceNumber;
    for (const Destination& destination : qAsConst(m_destinations)) {
        if (destination.rate != SAMPLE_RATE_8000 && destination.rate != SAMPLE_RATE_16000)
            continue;
        SharedPoolBuffer& packet = packets[destination.rate];
        if (packet.isNull()) {
            KavexLocker converterLock(&m_converterLock);
            packet = buildPacket(m_streams[destination.rate], block, bytes);
            if (packet.isNull())
                continue;
        }
        if (destination.port == 0)
            m_inprocRates.push_back(destination.rate);
        else
            sendPacket(destination, packet, sender);
    }
    lock.unlock();
    // Emitted without the lock, so that a slot connected directly may call
    // back into the sink (add a destination, stop it).
    for (const eSampleRate rate : m_inprocRates)
        emit inprocRtpPacket(packets[rate]);
}

SharedPoolBuffer RtpSink::buildPacket(RateStream& stream, unsigned char* block, unsigned int bytes)
{
    if (!stream.converter)
        return SharedPoolBuffer();
    unsigned int produced = 0;
    stream.converter->convert(block, bytes, stream.payload.data(), &produced);
    const int channels = m_channels;
    const int payloadSize = int(produced) / channels;

    SharedPoolBuffer buffer = m_pool->getBuffer();
    RTPPacket packet(*buffer.getVariableBuffer(), m_ssrc, m_sequenceNumber, stream.timestamp, stream.payloadType,
                     channels == 1 ? stream.payload.data() : nullptr, payloadSize, false);
    if (channels != 1) {
        // Only the first channel goes out.
        unsigned char* payload = packet.getWritablePayload();
        for (int k = 0; k < payloadSize; ++k)
            payload[k] = stream.payload[size_t(k) * size_t(channels)];
    }
    stream.timestamp += quint32(payloadSize);
    return buffer;
}

void RtpSink::sendPacket(const Destination& destination, const SharedPoolBuffer& packet, KavexUdpSender& sender)
{
    const unsigned char* data = packet.getBuffer();
    const int size = packet.getBufferSize();
    if (!destination.iface.isNull() && destination.iface != m_interface) {
        sender.setMulticastInterface(destination.iface);
        sender.sendTo(data, size, destination.address);
        sender.setMulticastInterface(m_interface);
        return;
    }
    sender.sendTo(data, size, destination.address);
}
