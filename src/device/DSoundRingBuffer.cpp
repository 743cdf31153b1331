#include "DSoundRingBuffer.h"

DSoundRingBuffer::DSoundRingBuffer(std::unique_ptr<SoundBackend> backend, DWORD flagEntireBuffer)
    : m_backend(std::move(backend)), m_flagEntireBuffer(flagEntireBuffer)
{
}

DSoundRingBuffer::~DSoundRingBuffer()
{
    if (m_backend)
        m_backend->stop();
}

HRESULT DSoundRingBuffer::Lock(DWORD offset, DWORD bytes, LPVOID* audio1, LPDWORD bytes1, LPVOID* audio2,
                               LPDWORD bytes2, DWORD flags)
{
    if (!m_backend)
        return DSERR_INVALIDCALL;
    if (!audio1 || !bytes1)
        return DSERR_INVALIDPARAM;
    const DWORD size = m_backend->ringBytes();
    if (m_flagEntireBuffer && (flags & m_flagEntireBuffer)) {
        offset = 0;
        bytes = size;
    }
    if (offset >= size || bytes == 0 || bytes > size)
        return DSERR_INVALIDPARAM;
    if (m_backend->isLost())
        return DSERR_BUFFERLOST;
    const DWORD first = bytes < size - offset ? bytes : size - offset;
    *audio1 = m_backend->ring() + offset;
    *bytes1 = first;
    if (audio2)
        *audio2 = first < bytes ? m_backend->ring() : nullptr;
    if (bytes2)
        *bytes2 = audio2 ? bytes - first : 0;
    return DS_OK;
}

HRESULT DSoundRingBuffer::Unlock(LPVOID audio1, DWORD bytes1, LPVOID, DWORD bytes2)
{
    if (!m_backend)
        return DSERR_INVALIDCALL;
    // The regions are the ring itself: nothing to copy back, only to check.
    const quint8* ring = m_backend->ring();
    const auto* at = static_cast<const quint8*>(audio1);
    if (!at || at < ring || at + bytes1 > ring + m_backend->ringBytes() || bytes2 > m_backend->ringBytes())
        return DSERR_INVALIDPARAM;
    return DS_OK;
}

HRESULT DSoundRingBuffer::Stop()
{
    if (m_backend)
        m_backend->stop();
    return DS_OK;
}

HRESULT DSoundRingBuffer::startBackend()
{
    if (!m_backend)
        return DSERR_INVALIDCALL;
    return m_backend->start() ? DS_OK : DSERR_GENERIC;
}

HRESULT DSoundRingBuffer::cursor(LPDWORD position1, LPDWORD position2)
{
    if (!m_backend)
        return DSERR_INVALIDCALL;
    const DWORD position = m_backend->position();
    if (position1)
        *position1 = position;
    if (position2)
        *position2 = position;
    return DS_OK;
}

bool DSoundRingBuffer::toBackendFormat(LPCWAVEFORMATEX format, SoundBackend::Format* out)
{
    if (!format || format->wFormatTag != WAVE_FORMAT_PCM || format->wBitsPerSample != 16)
        return false;
    if (format->nChannels == 0 || format->nChannels > 8 || format->nSamplesPerSec < 1000
        || format->nSamplesPerSec > 384000)
        return false;
    if (format->nBlockAlign != format->nChannels * 2
        || format->nAvgBytesPerSec != format->nSamplesPerSec * format->nBlockAlign)
        return false;
    out->sampleRate = format->nSamplesPerSec;
    out->channels = format->nChannels;
    out->bytesPerSample = 2;
    return true;
}

HRESULT DSoundRingBuffer::makeBackend(const SoundBackendFactory::Endpoint& endpoint,
                                      SoundBackend::Direction direction, LPCWAVEFORMATEX format,
                                      DWORD bufferBytes, std::unique_ptr<SoundBackend>* backend)
{
    SoundBackend::Format layout;
    if (!toBackendFormat(format, &layout))
        return DSERR_BADFORMAT;
    if (bufferBytes < DSBSIZE_MIN || bufferBytes > DSBSIZE_MAX || bufferBytes % layout.bytesPerFrame() != 0)
        return DSERR_INVALIDPARAM;
    *backend = SoundBackendFactory::create(endpoint, direction, layout, bufferBytes);
    return *backend ? DS_OK : DSERR_GENERIC;
}
