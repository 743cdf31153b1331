#pragma once

#include "DSoundUnknown.h"
#include "SoundBackend.h"
#include "SoundBackendFactory.h"

#include <memory>

// What playback and capture buffers have in common: a looping ring over a
// SoundBackend, reached through Lock/Unlock while the backend's cursor runs.
// A buffer without a backend (the primary playback buffer) refuses them.
class DSoundRingBuffer : public DSoundUnknown
{
public:
    // Gives access to `bytes` bytes from `offset`, as two regions when they
    // run past the end of the ring (the second then starts at offset 0).
    // `flagEntireBuffer` set in `flags` locks the whole ring.
    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* audio1, LPDWORD bytes1, LPVOID* audio2, LPDWORD bytes2,
                 DWORD flags);
    HRESULT Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2, DWORD bytes2);
    HRESULT Stop();

    // The backend; null for the primary buffer.
    SoundBackend* backend() const { return m_backend.get(); }

    // Checks a buffer's format and size (16-bit PCM, a whole number of
    // frames) and makes its backend on `endpoint`: DSERR_BADFORMAT or
    // DSERR_INVALIDPARAM when they are wrong, DSERR_GENERIC when the device
    // cannot provide the buffer.
    static HRESULT makeBackend(const SoundBackendFactory::Endpoint& endpoint, SoundBackend::Direction direction,
                               LPCWAVEFORMATEX format, DWORD bufferBytes, std::unique_ptr<SoundBackend>* backend);
    // The layout of a valid 16-bit PCM format; false for anything else.
    static bool toBackendFormat(LPCWAVEFORMATEX format, SoundBackend::Format* out);

protected:
    DSoundRingBuffer(std::unique_ptr<SoundBackend> backend, DWORD flagEntireBuffer);
    ~DSoundRingBuffer() override;
    HRESULT startBackend();
    // The backend's cursor into both (each may be null), or
    // DSERR_INVALIDCALL without a backend.
    HRESULT cursor(LPDWORD position1, LPDWORD position2);

private:
    std::unique_ptr<SoundBackend> m_backend;
    const DWORD m_flagEntireBuffer;
};
