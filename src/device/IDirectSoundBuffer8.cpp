#include "IDirectSoundBuffer8.h"

IDirectSoundBuffer8::IDirectSoundBuffer8() : DSoundRingBuffer(nullptr, DSBLOCK_ENTIREBUFFER) {}

IDirectSoundBuffer8::IDirectSoundBuffer8(std::unique_ptr<SoundBackend> backend)
    : DSoundRingBuffer(std::move(backend), DSBLOCK_ENTIREBUFFER)
{
}

IDirectSoundBuffer8::~IDirectSoundBuffer8() = default;

HRESULT IDirectSoundBuffer8::QueryInterface(REFIID iid, LPVOID* object)
{
    return answerQuery(iid == IID_IDirectSoundBuffer8, this, object);
}

HRESULT IDirectSoundBuffer8::SetFormat(LPCWAVEFORMATEX format)
{
    // Only the primary buffer's format can be set; secondary buffers keep
    // the format they were created with.
    if (backend())
        return DSERR_INVALIDCALL;
    if (!format || format->wFormatTag != WAVE_FORMAT_PCM || format->nChannels == 0)
        return DSERR_BADFORMAT;
    m_primaryFormat = *format;
    return DS_OK;
}

HRESULT IDirectSoundBuffer8::Play(DWORD, DWORD, DWORD flags)
{
    if (!(flags & DSBPLAY_LOOPING))
        return backend() ? DSERR_UNSUPPORTED : DSERR_INVALIDCALL;
    return startBackend();
}

HRESULT IDirectSoundBuffer8::GetCurrentPosition(LPDWORD playCursor, LPDWORD writeCursor)
{
    return cursor(playCursor, writeCursor);
}
