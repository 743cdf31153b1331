#include "IDirectSound8.h"

IDirectSound8::IDirectSound8(const SoundBackendFactory::Endpoint& endpoint) : m_endpoint(endpoint) {}

IDirectSound8::~IDirectSound8() = default;

HRESULT IDirectSound8::SetCooperativeLevel(HWND window, DWORD level)
{
    if (!window || (level != DSSCL_NORMAL && level != DSSCL_PRIORITY))
        return DSERR_INVALIDPARAM;
    m_level = level;
    return DS_OK;
}

HRESULT IDirectSound8::CreateSoundBuffer(LPCDSBUFFERDESC description, IDirectSoundBuffer** buffer,
                                         LPUNKNOWN outer)
{
    const HRESULT prepared = prepareOut(buffer, outer);
    if (FAILED(prepared))
        return prepared;
    if (!description || description->dwSize != DSBUFFERDESC_SIZE)
        return DSERR_INVALIDPARAM;
    if (m_level == 0)
        return DSERR_PRIOLEVELNEEDED;
    if (description->dwFlags & DSBCAPS_PRIMARYBUFFER) {
        if (description->dwBufferBytes != 0 || description->lpwfxFormat)
            return DSERR_INVALIDPARAM;
        *buffer = new IDirectSoundBuffer8();
        return DS_OK;
    }
    std::unique_ptr<SoundBackend> backend;
    const HRESULT hr = DSoundRingBuffer::makeBackend(m_endpoint, SoundBackend::DIRECTION_PLAYBACK,
                                                     description->lpwfxFormat, description->dwBufferBytes,
                                                     &backend);
    if (FAILED(hr))
        return hr;
    *buffer = new IDirectSoundBuffer8(std::move(backend));
    return DS_OK;
}
