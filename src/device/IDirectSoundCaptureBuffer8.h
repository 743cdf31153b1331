#pragma once

#include "DSoundRingBuffer.h"

// A capture buffer: a looping ring that the device fills at its capture
// position once started. Everything behind that position is safe to read.
class IDirectSoundCaptureBuffer8 : public DSoundRingBuffer
{
public:
    explicit IDirectSoundCaptureBuffer8(std::unique_ptr<SoundBackend> backend);

    HRESULT QueryInterface(REFIID iid, LPVOID* object) override;
    HRESULT Start(DWORD flags);
    // Capture and read position are the same: recorded bytes are in the
    // ring as soon as the position has passed them.
    HRESULT GetCurrentPosition(LPDWORD capturePosition, LPDWORD readPosition);

protected:
    ~IDirectSoundCaptureBuffer8() override;
};

// The interface a capture buffer is created as; QueryInterface turns it into
// the version 8 interface, which here is the same object.
using IDirectSoundCaptureBuffer = IDirectSoundCaptureBuffer8;
