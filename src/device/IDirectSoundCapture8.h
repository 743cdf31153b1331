#pragma once

#include "DSoundUnknown.h"
#include "IDirectSoundCaptureBuffer8.h"
#include "SoundBackendFactory.h"

// The capture device chosen by DirectSoundCaptureCreate8: reports which
// 48 kHz formats it takes and makes capture buffers over its backend.
class IDirectSoundCapture8 : public DSoundUnknown
{
public:
    explicit IDirectSoundCapture8(const SoundBackendFactory::Endpoint& endpoint);

    HRESULT GetCaps(LPDSCCAPS caps);
    HRESULT CreateCaptureBuffer(LPCDSCBUFFERDESC description, IDirectSoundCaptureBuffer** buffer,
                                LPUNKNOWN outer);

protected:
    ~IDirectSoundCapture8() override;

private:
    const SoundBackendFactory::Endpoint m_endpoint;
};
