#pragma once

#include "DSoundRingBuffer.h"

// A playback buffer. The primary buffer only carries the output format; a
// secondary buffer is a looping ring whose play cursor runs once it plays.
// Only looping playback is offered.
class IDirectSoundBuffer8 : public DSoundRingBuffer
{
public:
    // The primary buffer.
    IDirectSoundBuffer8();
    // A secondary buffer over `backend`.
    explicit IDirectSoundBuffer8(std::unique_ptr<SoundBackend> backend);

    HRESULT QueryInterface(REFIID iid, LPVOID* object) override;
    HRESULT SetFormat(LPCWAVEFORMATEX format);
    HRESULT Play(DWORD reserved1, DWORD priority, DWORD flags);
    // The write cursor equals the play cursor: the ring has no section ahead
    // of the cursor that is already on its way to the device.
    HRESULT GetCurrentPosition(LPDWORD playCursor, LPDWORD writeCursor);

protected:
    ~IDirectSoundBuffer8() override;

private:
    WAVEFORMATEX m_primaryFormat{};
};

// The interface a buffer is created as; QueryInterface turns it into the
// version 8 interface, which here is the same object.
using IDirectSoundBuffer = IDirectSoundBuffer8;
