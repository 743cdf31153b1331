#include "IDirectSoundCapture8.h"

IDirectSoundCapture8::IDirectSoundCapture8(const SoundBackendFactory::Endpoint& endpoint) : m_endpoint(endpoint) {}

IDirectSoundCapture8::~IDirectSoundCapture8() = default;

HRESULT IDirectSoundCapture8::GetCaps(LPDSCCAPS caps)
{
    if (!caps || caps->dwSize != DSCCAPS_SIZE)
        return DSERR_INVALIDPARAM;
    caps->dwFlags = 0;
    caps->dwFormats = 0;
    caps->dwChannels = 0;
    for (quint32 channels = 1; channels <= 2; ++channels) {
        SoundBackend::Format format;
        format.sampleRate = 48000;
        format.channels = channels;
        if (SoundBackendFactory::supports(m_endpoint, SoundBackend::DIRECTION_CAPTURE, format)) {
            caps->dwFormats |= channels == 1 ? WAVE_FORMAT_48M16 : WAVE_FORMAT_48S16;
            caps->dwChannels = channels;
        }
    }
    return DS_OK;
}

HRESULT IDirectSoundCapture8::CreateCaptureBuffer(LPCDSCBUFFERDESC description, IDirectSoundCaptureBuffer** buffer,
                                                  LPUNKNOWN outer)
{
    const HRESULT prepared = prepareOut(buffer, outer);
    if (FAILED(prepared))
        return prepared;
    if (!description || description->dwSize != DSCBUFFERDESC_SIZE || description->dwFXCount != 0)
        return DSERR_INVALIDPARAM;
    std::unique_ptr<SoundBackend> backend;
    const HRESULT hr = DSoundRingBuffer::makeBackend(m_endpoint, SoundBackend::DIRECTION_CAPTURE,
                                                     description->lpwfxFormat, description->dwBufferBytes,
                                                     &backend);
    if (FAILED(hr))
        return hr;
    *buffer = new IDirectSoundCaptureBuffer8(std::move(backend));
    return DS_OK;
}
