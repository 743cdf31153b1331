#pragma once

#include "SoundBackendFactory.h"

#include <atomic>
#include <memory>

// Records from the capture card into a looping ring of 125 ms and hands out
// the recorded bytes in order from its own read offset. A reader that falls
// more than the ring behind loses the overwritten audio and simply reads on
// from its offset. Used by the capture thread only.
class DSoundIn
{
public:
    // Waits on `clock`; the card comes from `cards` when started.
    DSoundIn(unsigned int sampleRate, unsigned int bytesPerSample, unsigned int channels, bool blocking,
             Clock& clock = Clock::system(), SoundCardMaker cards = &SoundBackendFactory::resolve);
    virtual ~DSoundIn();
    DSoundIn(const DSoundIn&) = delete;
    DSoundIn& operator=(const DSoundIn&) = delete;

    // Opens the card and starts looping capture.
    bool start();
    // Delivers frames * channels * bytesPerSample bytes into `data`. Returns
    // `frames` when it delivered, 0 otherwise. Blocking: waits in 2 ms steps
    // until that much is recorded, but no longer than the request's play
    // time plus READ_SLACK_MS (a capture that stands still, a card that is
    // gone) and not once the abort flag is set; a request as large as the
    // ring or larger never succeeds.
    int read(unsigned char* data, int frames);
    // A flag another thread sets to end a waiting read at once; null for none.
    void setAbort(const std::atomic<bool>* abort) { m_abort = abort; }

    static constexpr quint32 READ_SLACK_MS = 100;
    // One attempt to take exactly `bytes`: the bytes taken, 0 when not enough
    // are recorded yet, -1 on an error.
    int takeCaptureBytes(unsigned char* data, int bytes);
    // Recorded bytes not yet taken.
    int available();

private:
    enum TakeResult { TAKE_TAKEN, TAKE_NOT_YET, TAKE_ERROR };
    // The steps of takeCaptureBytes; `taken` is the locked total. With
    // `retryEmptyLock` a lock that fails yields TAKE_NOT_YET (the blocking
    // read tries again) instead of an empty take.
    TakeResult take(unsigned char* data, int bytes, bool retryEmptyLock, int* taken);

    Clock& m_clock;
    const SoundCardMaker m_cards;
    std::unique_ptr<SoundCard> m_device;
    // 125 ms of the capture format.
    const quint32 m_bufferBytes;
    std::unique_ptr<SoundBackend> m_buffer;
    // Left empty (refused by the card) when the card does not take 48 kHz stereo.
    SoundBackend::Format m_format{0, 0, 0};
    unsigned int m_sampleRate;
    unsigned int m_bytesPerSample;
    unsigned int m_channels;
    bool m_blocking;
    unsigned int m_readOffset = 0;
    quint64 m_taken = 0;  // bytes taken since start, handed back to the card
    const std::atomic<bool>* m_abort = nullptr;
};
