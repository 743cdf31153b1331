#pragma once

#include "SoundBackendFactory.h"

#include <atomic>
#include <memory>

// Plays the mixer's output on the sound card: a looping ring of eight blocks
// of 4096 bytes (1024 stereo 16-bit frames at 48 kHz each). Each chunk goes
// into the block after the one written last, once the play cursor has left
// that block's previous round behind and no more than the lead (three blocks
// at first) lies written ahead of the cursor; that wait paces the caller to
// the card's clock. Because the writer keeps its own position instead of
// writing behind the cursor, a card that takes a block or more per callback
// loses nothing; when the cursor is seen to move further at once than the
// lead, the lead grows to match (up to seven blocks). A cursor that stops
// moving, or a ring that can no longer be locked, is reported as a broken
// ring. Each block written is published to the card as the ring's filled
// end; the card plays silence past it rather than a block being written.
// Used by the mixer thread only.
class DSoundOut
{
public:
    static constexpr unsigned int BLOCK_BYTES = 4096;
    static constexpr unsigned int BLOCK_COUNT = 8;
    static constexpr unsigned int RING_BYTES = BLOCK_BYTES * BLOCK_COUNT;
    static constexpr unsigned int MIN_LEAD_BLOCKS = 3;
    // Chunks in a row whose block could not be locked before the ring counts as broken (about 0.5 s).
    static constexpr int MAX_LOCK_FAILURES = 24;

    // Waits on `clock`; the card comes from `cards` when started.
    explicit DSoundOut(Clock& clock = Clock::system(), SoundCardMaker cards = &SoundBackendFactory::resolve);
    ~DSoundOut();
    DSoundOut(const DSoundOut&) = delete;
    DSoundOut& operator=(const DSoundOut&) = delete;

    // Opens the card and starts the silent looping ring; true when running.
    // After a failure the object stays failed and start returns false at once.
    bool start();
    // Writes one block of BLOCK_BYTES from `data`. False when the ring is
    // broken (the cursor does not move, or locking keeps failing); `status`,
    // when given, is set to 0 for each block taken.
    bool putNextChunk(unsigned char* data, unsigned int* status);
    // Keeps the warnings about the ring to itself: an output tried again in
    // the background fails quietly.
    void setQuiet(bool quiet) { m_quiet = quiet; }
    // A flag that, once set, ends a wait for room at once (the chunk is
    // dropped, the ring is not broken); null for none.
    void setAbort(const std::atomic<bool>* abort) { m_abort = abort; }

private:
    enum State { STATE_NOT_STARTED = 0, STATE_RUNNING = 1, STATE_FAILED = 2 };

    bool startDevice();
    void release();
    // Waits until the block at m_written may be overwritten; false when the cursor stands still.
    bool waitForRoom();
    // Grows the lead to cover a cursor step of `bytes` between two close readings.
    void noteCursorStep(quint64 bytes);

    Clock& m_clock;
    const SoundCardMaker m_cards;
    std::unique_ptr<SoundCard> m_device;
    std::unique_ptr<SoundBackend> m_buffer;
    int m_state = STATE_NOT_STARTED;
    bool m_quiet = false;
    const std::atomic<bool>* m_abort = nullptr;
    // Where the next block goes, in bytes the cursor will have passed when it
    // starts playing it; 0 until the first chunk.
    quint64 m_written = 0;
    quint64 m_played = 0;  // the latest cursor reading, unwrapped
    quint64 m_filled = 0;  // the end of the ring's audio, as published to the card
    quint32 m_leadBlocks = MIN_LEAD_BLOCKS;
    int m_lockFailures = 0;
};
