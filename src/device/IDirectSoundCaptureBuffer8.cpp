#include "IDirectSoundCaptureBuffer8.h"

// Capture locks have no whole-buffer flag.
IDirectSoundCaptureBuffer8::IDirectSoundCaptureBuffer8(std::unique_ptr<SoundBackend> backend)
    : DSoundRingBuffer(std::move(backend), 0)
{
}

IDirectSoundCaptureBuffer8::~IDirectSoundCaptureBuffer8() = default;

HRESULT IDirectSoundCaptureBuffer8::QueryInterface(REFIID iid, LPVOID* object)
{
    return answerQuery(iid == IID_IDirectSoundCaptureBuffer8, this, object);
}

HRESULT IDirectSoundCaptureBuffer8::Start(DWORD flags)
{
    if (!(flags & DSCBSTART_LOOPING))
        return DSERR_UNSUPPORTED;
    return startBackend();
}

HRESULT IDirectSoundCaptureBuffer8::GetCurrentPosition(LPDWORD capturePosition, LPDWORD readPosition)
{
    return cursor(capturePosition, readPosition);
}
