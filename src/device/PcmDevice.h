#pragma once

#include "SoundBackendFactory.h"

#include <memory>

class DSoundIn;
class DSoundOut;

// The one way to the sound card: an output device that plays mixed chunks
// and paces its caller, or an input device that delivers captured samples.
// When a broken output cannot be rebuilt, the device goes on pacing writes
// on a grid of 64/3 ms without a card, so the mixing loop keeps running.
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

private:
    int pace(int length);

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
};
