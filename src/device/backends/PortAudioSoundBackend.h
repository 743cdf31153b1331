#pragma once

#include "PortAudioLibrary.h"
#include "SoundBackend.h"

#include <atomic>
#include <memory>

// A ring played or recorded by a PortAudio device. The stream's callback
// moves the cursor: for playback it takes the frames at the cursor (clearing
// them behind it) up to the writer's filled end and plays silence beyond, for
// capture it stores the recorded frames there, dropping those that would
// overwrite audio the reader has not taken. The
// cursor is published after the bytes it covers are done, so the thread on
// the other side of the ring sees finished data only. The owner's thread
// starts, stops and reads the cursor; PortAudio's thread runs the callback.
class PortAudioSoundBackend : public SoundBackend
{
public:
    PortAudioSoundBackend(Direction direction, const Format& format, quint32 ringBytes,
                          std::shared_ptr<PortAudioLibrary> library, int device);
    ~PortAudioSoundBackend() override;

    // False (with a warning logged) when the stream could not be opened.
    bool isOpen() const { return bool(m_stream); }

    bool start() override;
    void stop() override;
    quint32 position() override;
    // The stream ended without being stopped (device unplugged, host error).
    bool isLost() const override;
    quint64 cursorTotal() override;

private:
    static int streamCallback(const void* input, void* output, unsigned long frames,
                              const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags flags, void* userData);
    static void streamFinished(void* userData);
    void exchange(const void* input, void* output, unsigned long frames);

    const std::shared_ptr<PortAudioLibrary> m_library;
    const int m_device;
    // Closed before the library is let go.
    PortAudioLibrary::Stream m_stream;
    // Written by the callback, read by the owner's thread.
    std::atomic<quint32> m_cursor{0};
    std::atomic<quint64> m_cursorTotal{0};  // bytes exchanged since start, published with m_cursor
    // Set by the owner's thread; read by the stream's finished callback.
    std::atomic<bool> m_running{false};
    // Set by the finished callback, read by the owner's thread.
    std::atomic<bool> m_lost{false};
};
