#include "DSoundOut.h"

#include "DSoundApi.h"
#include "IDirectSound8.h"
#include "IDirectSoundBuffer8.h"
#include "SoundClock.h"

#include <QDebug>

#include <cstring>

namespace {
constexpr DWORD FRAMES_PER_BLOCK = 1024;
constexpr DWORD FRAMES_PER_MS = 48;

// The one format of both buffers: 48 kHz stereo 16-bit PCM.
WAVEFORMATEX outputFormat()
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = 48000;
    format.nAvgBytesPerSec = 192000;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    return format;
}

DWORD blockOf(DWORD position)
{
    return position >> 12;
}

DWORD frameOf(DWORD position)
{
    return (position >> 2) & (FRAMES_PER_BLOCK - 1);
}
}  // namespace

DSoundOut::DSoundOut() = default;

DSoundOut::~DSoundOut()
{
    if (m_buffer)
        m_buffer->Stop();
    release();
}

void DSoundOut::release()
{
    releaseInterface(m_buffer);
    releaseInterface(m_device);
}

bool DSoundOut::start()
{
    if (m_state == STATE_NOT_STARTED)
        m_state = startDevice() ? STATE_RUNNING : STATE_FAILED;
    if (m_state != STATE_RUNNING)
        release();
    return m_state == STATE_RUNNING;
}

bool DSoundOut::startDevice()
{
    if (FAILED(DirectSoundCreate8(nullptr, &m_device, nullptr)))
        return false;
    if (FAILED(m_device->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY)))
        return false;

    WAVEFORMATEX format = outputFormat();

    // The primary buffer's format is only a wish to the device: failures
    // here do not stop playback.
    DSBUFFERDESC primaryDescription{};
    primaryDescription.dwSize = DSBUFFERDESC_SIZE;
    primaryDescription.dwFlags = DSBCAPS_PRIMARYBUFFER;
    IDirectSoundBuffer* primary = nullptr;
    if (SUCCEEDED(m_device->CreateSoundBuffer(&primaryDescription, &primary, nullptr))) {
        primary->SetFormat(&format);
        primary->Release();
    }

    DSBUFFERDESC description{};
    description.dwSize = DSBUFFERDESC_SIZE;
    description.dwFlags = DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS;
    description.dwBufferBytes = RING_BYTES;
    description.lpwfxFormat = &format;
    description.guid3DAlgorithm = DS3DALG_DEFAULT;
    IDirectSoundBuffer* secondary = nullptr;
    if (FAILED(m_device->CreateSoundBuffer(&description, &secondary, nullptr)))
        return false;
    const HRESULT queried = secondary->QueryInterface(IID_IDirectSoundBuffer8, reinterpret_cast<LPVOID*>(&m_buffer));
    secondary->Release();
    if (FAILED(queried))
        return false;

    LPVOID audio1 = nullptr;
    LPVOID audio2 = nullptr;
    DWORD bytes1 = 0;
    DWORD bytes2 = 0;
    if (FAILED(m_buffer->Lock(0, 0, &audio1, &bytes1, &audio2, &bytes2, DSBLOCK_ENTIREBUFFER)))
        return false;
    std::memset(audio1, 0, bytes1);
    if (audio2)
        std::memset(audio2, 0, bytes2);
    if (FAILED(m_buffer->Unlock(audio1, bytes1, audio2, bytes2)))
        return false;

    return SUCCEEDED(m_buffer->Play(0, 0, DSBPLAY_LOOPING));
}

bool DSoundOut::putNextChunk(unsigned char* data, unsigned int* status)
{
    if (m_state != STATE_RUNNING) {
        Sleep(21);
        return true;
    }

    DWORD play = 0;
    DWORD write = 0;
    m_buffer->GetCurrentPosition(&play, &write);
    const DWORD startBlock = blockOf(play);
    // Wake about one millisecond after the cursor leaves this block.
    Sleep((FRAMES_PER_BLOCK + 49 - frameOf(play)) / FRAMES_PER_MS);

    m_buffer->GetCurrentPosition(&play, &write);
    const quint32 waitStart = SoundClock::instance()->monotonicMs();
    int loopCount = 0;
    int loopCount2 = 0;
    while (blockOf(play) == startBlock) {
        if ((FRAMES_PER_BLOCK - frameOf(play)) / FRAMES_PER_MS != 0) {
            Sleep(1);
            if (++loopCount > 100) {
                qWarning("DSoundOut::putNextChunk: loopCount exceeded DSoundOut object seems to be broken");
                return false;
            }
        } else if (++loopCount2 > 1000) {
            // Less than a millisecond left: spin, checking the clock now and then.
            loopCount2 = 0;
            if (SoundClock::instance()->monotonicMs() - waitStart > 100) {
                qWarning("DSoundOut::putNextChunk: loopCount2 exceeded DSoundOut object seems to be broken");
                return false;
            }
        }
        m_buffer->GetCurrentPosition(&play, &write);
    }

    // The block just played, three blocks ahead of the cursor.
    const DWORD block = blockOf(play);
    const DWORD target = block == 0 ? BLOCK_COUNT - 1 : block - 1;
    LPVOID audio1 = nullptr;
    LPVOID audio2 = nullptr;
    DWORD bytes1 = 0;
    DWORD bytes2 = 0;
    const HRESULT locked = m_buffer->Lock(target * BLOCK_BYTES, BLOCK_BYTES, &audio1, &bytes1, &audio2, &bytes2, 0);
    if (FAILED(locked)) {
        qWarning("DSoundOut::putNextChunk: IDirectSoundBuffer8::Lock failed error 0x%X", unsigned(locked));
    } else {
        std::memcpy(audio1, data, bytes1);
        if (audio2)
            std::memcpy(audio2, data + bytes1, bytes2);
        m_buffer->Unlock(audio1, bytes1, audio2, bytes2);
    }
    if (status)
        *status = 0;
    return true;
}
