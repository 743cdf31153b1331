#include "DSoundApi.h"

#include "IDirectSound8.h"
#include "IDirectSoundCapture8.h"
#include "SoundClock.h"

namespace {
template <typename Device>
HRESULT createDevice(SoundBackend::Direction direction, LPCGUID device, Device** out, LPUNKNOWN outer)
{
    const HRESULT prepared = prepareOut(out, outer);
    if (FAILED(prepared))
        return prepared;
    if (device && !(*device == GUID_NULL))
        return DSERR_NODRIVER;
    SoundBackendFactory::Endpoint endpoint;
    if (!SoundBackendFactory::resolve(direction, &endpoint))
        return DSERR_NODRIVER;
    *out = new Device(endpoint);
    return DS_OK;
}
}  // namespace

HRESULT DirectSoundCreate8(LPCGUID device, IDirectSound8** sound, LPUNKNOWN outer)
{
    return createDevice(SoundBackend::DIRECTION_PLAYBACK, device, sound, outer);
}

HRESULT DirectSoundCaptureCreate8(LPCGUID device, IDirectSoundCapture8** capture, LPUNKNOWN outer)
{
    return createDevice(SoundBackend::DIRECTION_CAPTURE, device, capture, outer);
}

HWND GetDesktopWindow()
{
    static int desktop;
    return &desktop;
}

void Sleep(DWORD milliseconds)
{
    SoundClock::instance()->sleepMs(milliseconds);
}
