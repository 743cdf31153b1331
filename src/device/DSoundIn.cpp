#include "DSoundIn.h"

#include "DSoundApi.h"
#include "IDirectSoundCapture8.h"
#include "IDirectSoundCaptureBuffer8.h"

#include <QDebug>

#include <cstring>

DSoundIn::DSoundIn(unsigned int sampleRate, unsigned int bytesPerSample, unsigned int channels, bool blocking)
    : m_sampleRate(sampleRate), m_bytesPerSample(bytesPerSample), m_channels(channels), m_blocking(blocking)
{
}

DSoundIn::~DSoundIn()
{
    if (m_buffer)
        m_buffer->Stop();
    releaseInterface(m_buffer);
    releaseInterface(m_device);
}

bool DSoundIn::start()
{
    if (FAILED(DirectSoundCaptureCreate8(nullptr, &m_device, nullptr))) {
        qCritical("DSoundIn::start() : creation of capture device failed");
        return false;
    }

    DSCCAPS caps{};
    caps.dwSize = DSCCAPS_SIZE;
    if (FAILED(m_device->GetCaps(&caps))) {
        qCritical("DSoundIn::start() : not able to read capabilities of the capture device");
        return false;
    }
    if (caps.dwFormats & WAVE_FORMAT_48S16) {
        m_format.wFormatTag = WAVE_FORMAT_PCM;
        m_format.nChannels = WORD(m_channels);
        m_format.nSamplesPerSec = m_sampleRate;
        m_format.nAvgBytesPerSec = m_channels * m_sampleRate * m_bytesPerSample;
        m_format.nBlockAlign = WORD(m_channels * m_bytesPerSample);
        m_format.wBitsPerSample = WORD(8 * m_bytesPerSample);
        m_format.cbSize = 0;
    }

    // 125 ms of audio.
    m_bufferDescription.dwSize = DSCBUFFERDESC_SIZE;
    m_bufferDescription.dwFlags = 0;
    m_bufferDescription.dwBufferBytes = DWORD(m_channels * m_bytesPerSample * 4 * (m_sampleRate * 0.03125));
    m_bufferDescription.dwReserved = 0;
    m_bufferDescription.lpwfxFormat = &m_format;
    m_bufferDescription.dwFXCount = 0;
    m_bufferDescription.lpDSCFXDesc = nullptr;
    IDirectSoundCaptureBuffer* buffer = nullptr;
    const HRESULT created = m_device->CreateCaptureBuffer(&m_bufferDescription, &buffer, nullptr);
    if (FAILED(created)) {
        qDebug("DSoundIn::start() : creation of capture buffer failed: %8.8X", unsigned(created));
        return false;
    }
    const HRESULT queried = buffer->QueryInterface(IID_IDirectSoundCaptureBuffer8, reinterpret_cast<LPVOID*>(&m_buffer));
    buffer->Release();
    if (FAILED(queried))
        return false;

    if (FAILED(m_buffer->Start(DSCBSTART_LOOPING))) {
        qCritical("DSoundIn::start() : Could not start buffer!");
        return false;
    }
    return true;
}

int DSoundIn::available()
{
    if (!m_device || !m_buffer)
        return 0;
    const DWORD size = m_bufferDescription.dwBufferBytes;
    m_readOffset %= size;
    DWORD readPosition = 0;
    m_buffer->GetCurrentPosition(nullptr, &readPosition);
    if (readPosition >= m_readOffset)
        return int(readPosition - m_readOffset);
    return int(size - m_readOffset + readPosition);
}

DSoundIn::TakeResult DSoundIn::take(unsigned char* data, int bytes, bool retryEmptyLock, int* taken)
{
    *taken = 0;
    if (!m_device || !m_buffer)
        return TAKE_ERROR;
    const DWORD size = m_bufferDescription.dwBufferBytes;
    if (bytes < 0 || DWORD(bytes) >= size) {
        qCritical("DSoundIn::takeCaptureBytes() : cannot take %d bytes because capture buffer has only %u bytes",
                  bytes, unsigned(size));
        return TAKE_ERROR;
    }
    if (available() < bytes)
        return TAKE_NOT_YET;

    LPVOID audio1 = nullptr;
    LPVOID audio2 = nullptr;
    DWORD bytes1 = 0;
    DWORD bytes2 = 0;
    const HRESULT locked = m_buffer->Lock(m_readOffset, DWORD(bytes), &audio1, &bytes1, &audio2, &bytes2, 0);
    if (locked == DSERR_INVALIDCALL) {
        qCritical("DSoundIn::takeCaptureBytes() : Failure locking capture buffer : invalid call");
        return TAKE_ERROR;
    }
    if (locked == DSERR_INVALIDPARAM) {
        qCritical("DSoundIn::takeCaptureBytes() : Failure locking capture buffer : invalid parameter");
        return TAKE_ERROR;
    }
    if (FAILED(locked)) {
        if (retryEmptyLock)
            return TAKE_NOT_YET;
        bytes1 = 0;
        bytes2 = 0;
    }
    const int total = int(bytes1 + bytes2);
    if (total != bytes) {
        qCritical("DSoundIn::takeCaptureBytes() : Failure number of locked bytes is not equal to number of "
                  "requested bytes: %d <-> %d",
                  total, bytes);
    } else {
        std::memcpy(data, audio1, bytes1);
        if (audio2)
            std::memcpy(data + bytes1, audio2, bytes2);
    }
    m_readOffset = (m_readOffset + DWORD(total)) % size;
    if (SUCCEEDED(locked))
        m_buffer->Unlock(audio1, bytes1, audio2, bytes2);
    *taken = total;
    return TAKE_TAKEN;
}

int DSoundIn::takeCaptureBytes(unsigned char* data, int bytes)
{
    int taken = 0;
    switch (take(data, bytes, false, &taken)) {
    case TAKE_ERROR:
        return -1;
    case TAKE_NOT_YET:
        return 0;
    case TAKE_TAKEN:
        break;
    }
    return taken;
}

int DSoundIn::read(unsigned char* data, int frames)
{
    const int bytes = int(m_channels * m_bytesPerSample) * frames;
    if (!m_blocking)
        return takeCaptureBytes(data, bytes) > 0 ? frames : 0;
    for (;;) {
        int taken = 0;
        const TakeResult result = take(data, bytes, true, &taken);
        if (result == TAKE_ERROR)
            return 0;
        if (result == TAKE_TAKEN)
            return frames;
        Sleep(2);
    }
}
