#pragma once

#include "DSoundUnknown.h"
#include "IDirectSoundBuffer8.h"
#include "SoundBackendFactory.h"

// The playback device chosen by DirectSoundCreate8. Buffers need the
// priority cooperative level for setting the primary format, as on the
// platform; secondary buffers are rings over a backend of this device.
class IDirectSound8 : public DSoundUnknown
{
public:
    explicit IDirectSound8(const SoundBackendFactory::Endpoint& endpoint);

    HRESULT SetCooperativeLevel(HWND window, DWORD level);
    HRESULT CreateSoundBuffer(LPCDSBUFFERDESC description, IDirectSoundBuffer** buffer, LPUNKNOWN outer);

protected:
    ~IDirectSound8() override;

private:
    const SoundBackendFactory::Endpoint m_endpoint;
    DWORD m_level = 0;
};
