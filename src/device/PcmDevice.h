#pragma once

#include "SoundBackendFactory.h"

#include <atomic>
#include <memory>

class DSoundIn;
class DSoundOut;

// The one way to the sound card: an output device that plays mixed chunks
// and paces its caller, or an input device that delivers captured samples.
// When a broken output cannot be rebuilt, the device goes on pacing writes
// on a grid of 64/3 ms without a card, so the mixing loop keeps running, and
// tries the card again in the background after 0.25 s, 0.5 s, 1 s ... up to
// every 5 s. An output tried again counts as back once it has played
// PROBATION_CHUNKS chunks; one that breaks before that is dropped quietly.
// The device logs one line when the output is lost and one when it is back.
// All waiting and pacing is on the Clock the device is opened with; the
// SoundCardMaker chooses the card (the configured one unless told).
// Used by one thread only: the mixer thread or the capture thread.
class PcmDevice
{
public:
    enum eDirection { DirectionInput = 0, DirectionOutput = 1 };
    enum eSampleWidth { SampleWidth8 = 0, SampleWidth16 = 1, SampleWidth16Alt = 2 };

    // A started device owned by the caller, or null when it cannot be opened.
    static PcmDevice* open(eDirection direction, unsigned int sampleRate, eSampleWidth sampleWidth, int channels,
                           bool blocking, Clock& clock = Clock::system(),
                           const SoundCardMaker& cards = &SoundBackendFactory::resolve);

    // Throws std::exception when the device cannot be started; use open().
    PcmDevice(eDirection direction, unsigned int sampleRate, eSampleWidth sampleWidth, int channels, bool blocking,
              Clock& clock = Clock::system(), const SoundCardMaker& cards = &SoundBackendFactory::resolve);
    ~PcmDevice();
    PcmDevice(const PcmDevice&) = delete;
    PcmDevice& operator=(const PcmDevice&) = delete;

    // Plays one chunk of 4096 bytes (1024 stereo 16-bit frames) from `data`,
    // returning once the card has room for the next one. Returns `length`
    // (0 for a non-blocking device). `status`, when given, is set to 0 for
    // each chunk a running output takes.
    int write(unsigned char* data, int length, unsigned int* status);
    // Input: delivers `count` frames (count * channels * 2 bytes), returning
    // `count`, or 0 when nothing was delivered. Output: zero-fills `count`
    // bytes and returns `count`.
    int read(unsigned char* data, int count);
    // A flag that, once set, ends a waiting read or write at once (the
    // caller is stopping); null for none.
    void setAbort(const std::atomic<bool>* abort);

    static constexpr quint32 FIRST_RETRY_MS = 250;
    static constexpr quint32 MAX_RETRY_MS = 5000;
    static constexpr int PROBATION_CHUNKS = 47;  // about 1 s

private:
    int pace(int length);
    // A new output, started; null when it does not start.
    std::unique_ptr<DSoundOut> startOutput(bool quiet);
    // The output is gone: pace, and try it again after the next back-off.
    void loseOutput();
    void retryOutput();

    bool m_opened = false;
    quint32 m_sampleRate;
    eSampleWidth m_sampleWidth;
    int m_channels;
    bool m_blocking;
    Clock& m_clock;
    const SoundCardMaker m_cards;
    std::unique_ptr<DSoundOut> m_output;
    std::unique_ptr<DSoundIn> m_input;
    quint32 m_pacingStart;
    // Output only: pacing because the output was lost, when to try it again
    // and the back-off before that; chunks an output tried again still has
    // to play before it counts as back.
    bool m_outputLost = false;
    quint32 m_retryAtMs = 0;
    quint32 m_retryDelayMs = FIRST_RETRY_MS;
    int m_probation = 0;
    const std::atomic<bool>* m_abort = nullptr;
};
