#pragma once

#include "ChannelTypes.h"
#include "Clock.h"
#include "KavexLLSock.h"
#include "KavexMutex.h"
#include "OstKavexMixerGlobal.h"
#include "SharedBufferPoolRelease.h"
#include "SharedPoolBuffer.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

class AudioConverter;
class IIRFilter;
class KavexUdpSender;
class PcmDevice;
class SoundFileChannel;

// The talk-back sender: a thread that captures the microphone (or loops a
// WAV file instead), high-passes it, converts it to G.711 A-law at 8 kHz
// and/or 16 kHz and sends one RTP packet per rate and cycle to every
// destination, over UDP or, for port 0, in-process through inprocRtpPacket.
// The capture thread asks for real-time scheduling; it paces file input and
// its retries after a device error on the clock given at construction.
//
// Locks: the state lock serialises stop(); the destinations lock guards the
// destination list and the file choice and is held for a whole send cycle;
// the converter lock guards the converters. Destinations before converter.
class RtpSink : public QThread
{
    Q_OBJECT
public:
    static constexpr int MIC_BLOCK_FRAMES = 1500;   // 31.25 ms at 48 kHz
    static constexpr int FILE_BLOCK_FRAMES = 1920;  // 40 ms, read every 37 ms
    static constexpr int PAYLOAD_BUFFER_SIZE = 2048;

    explicit RtpSink(Clock& clock = Clock::system());
    ~RtpSink() override;

    // Port 0 makes an in-process destination. A rate other than 8 or 16 kHz
    // receives nothing. `iface` (null: the sink's default) is the interface
    // multicast packets to this destination leave through.
    void addDestination(const QHostAddress& address, unsigned short port, eSampleRate rate, const QHostAddress& iface);
    // Chooses a WAV file (mono 16-bit PCM, any rate) instead of the
    // microphone from the next start of the thread on. Refused while the
    // thread runs on another file name.
    void startReadingFromFile(const QString& fileName);
    // Multiplies the sent amplitude by 2^(gain / 3) (3 doubles it, -3 halves
    // it) until the next start of the thread, which resets it to 1.
    void setDigitalMicGain(float gain);
    // Ends the thread and forgets all destinations and the file choice.
    // Returns at once when the capture thread calls it (from a slot).
    void stop();

    quint32 ssrc() const { return m_ssrc; }

signals:
    // One finished RTP packet per in-process destination and cycle, emitted
    // on the capture thread after the cycle's lock is released: a slot
    // connected directly may add destinations or stop the sink.
    void inprocRtpPacket(const SharedPoolBuffer& spb);

protected:
    void run() override;

    // The steps of the capture thread, protected so that a measurement
    // harness can drive them without a device.
    // Reads the settings; replaces the converters (gain 1.0) and the filters.
    void rebuildProcessing(int channels);
    // Room for one captured block of up to FILE_BLOCK_FRAMES stereo frames.
    unsigned char* captureBuffer() { return reinterpret_cast<unsigned char*>(m_captureBuffer.data()); }
    // Filters the block of `frames` frames in the capture buffer and sends it.
    void processCapturedBlock(int frames, KavexUdpSender& sender);

private:
    struct Destination {
        KavexLLSock::ADDR_V4_V6 address;
        quint16 port;
        eSampleRate rate;
        QHostAddress iface;
    };
    // Per-rate state of the send cycle. The converter is guarded by the
    // converter lock, the rest belongs to the send cycle (destinations lock).
    struct RateStream {
        std::unique_ptr<AudioConverter> converter;
        quint32 timestamp = 0;
        int payloadType = 0;
        std::vector<unsigned char> payload;
    };

    void replaceConverters(double gain, int quality);
    // The two high-pass stages over `pairs` interleaved pairs of 16-bit
    // samples from `in` into `out`, rounded and clipped after each stage.
    void filterBlock(const qint16* in, qint16* out, int pairs);
    // Converts `bytes` of 48 kHz PCM (the capture's channels interleaved)
    // once per rate in use and sends the packets to every destination.
    void sendBlock(unsigned char* block, unsigned int bytes, KavexUdpSender& sender);
    // Converts the block with the rate's converter and writes the packet
    // into a fresh pool buffer; a null buffer when there is no converter.
    SharedPoolBuffer buildPacket(RateStream& stream, unsigned char* block, unsigned int bytes);
    void sendPacket(const Destination& destination, const SharedPoolBuffer& packet, KavexUdpSender& sender);
    // The capture's channel count, 0 when there is nothing to capture.
    int openMicrophone();
    int openCapture();
    // After a read gave up: reopens the capture with back-off until it
    // delivers a block (left in the capture buffer) or a stop comes.
    void reopenMicrophone();
    int openFile(const QString& fileName);
    void captureLoop(bool fileInput, int blockFrames, KavexUdpSender& sender);

    struct ChannelDispose {
        void operator()(SoundFileChannel* channel) const;
    };

    Clock& m_clock;
    // Guarded by m_destinationsLock.
    QList<Destination> m_destinations;
    RateStream m_streams[2];  // indexed by SAMPLE_RATE_8000, SAMPLE_RATE_16000
    const quint32 m_ssrc;
    quint16 m_sequenceNumber;  // guarded by m_destinationsLock
    KavexMutex m_stateLock;
    KavexMutex m_destinationsLock;
    KavexMutex m_converterLock;
    // The capture thread's while it runs; replaced at its start.
    std::unique_ptr<PcmDevice> m_captureDevice;
    int m_channels = 1;  // guarded by m_converterLock
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_selfStopped{false};  // stop() came from the capture thread
    // The capture thread's while it runs; replaced at its start.
    std::vector<std::unique_ptr<IIRFilter>> m_filters;
    QHostAddress m_interface;
    // Rates of the cycle's in-process destinations, in list order; the send cycle's.
    std::vector<eSampleRate> m_inprocRates;
    // Guarded by m_destinationsLock.
    QString m_fileName;
    bool m_fileInput = false;
    // The capture thread's while it runs; replaced at its start.
    std::unique_ptr<SoundFileChannel, ChannelDispose> m_fileChannel;
    SharedBufferPoolPtr m_pool;
    // Capture and filter output: room for the largest block as stereo pairs.
    std::vector<qint16> m_captureBuffer;
    std::vector<qint16> m_filteredBuffer;
};
