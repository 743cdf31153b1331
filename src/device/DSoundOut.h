#pragma once

#include "SoundBackendFactory.h"

#include <memory>

// Plays the mixer's output on the sound card: a looping ring of four blocks
// of 4096 bytes (1024 stereo 16-bit frames at 48 kHz each). Every chunk
// waits until the play cursor has entered the next block and then
// overwrites the block just played, about three blocks ahead of the cursor;
// that wait paces the caller to the card's clock. A cursor that stops moving
// is reported as a broken ring. Used by the mixer thread only.
class DSoundOut
{
public:
    static constexpr unsigned int BLOCK_BYTES = 4096;
    static constexpr unsigned int BLOCK_COUNT = 4;
    static constexpr unsigned int RING_BYTES = BLOCK_BYTES * BLOCK_COUNT;

    // Waits on `clock`; the card comes from `cards` when started.
    explicit DSoundOut(Clock& clock = Clock::system(), SoundCardMaker cards = &SoundBackendFactory::resolve);
    ~DSoundOut();
    DSoundOut(const DSoundOut&) = delete;
    DSoundOut& operator=(const DSoundOut&) = delete;

    // Opens the card and starts the silent looping ring; true when running.
    // After a failure the object stays failed and start returns false at once.
    bool start();
    // Writes one block of BLOCK_BYTES from `data`. False when the ring is
    // broken (the cursor does not move); `status`, when given, is set to 0
    // for each block taken.
    bool putNextChunk(unsigned char* data, unsigned int* status);

private:
    enum State { STATE_NOT_STARTED = 0, STATE_RUNNING = 1, STATE_FAILED = 2 };

    bool startDevice();
    void release();

    Clock& m_clock;
    const SoundCardMaker m_cards;
    std::unique_ptr<SoundCard> m_device;
    std::unique_ptr<SoundBackend> m_buffer;
    int m_state = STATE_NOT_STARTED;
};
