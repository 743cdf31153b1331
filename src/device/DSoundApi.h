#pragma once

#include "DSoundDefs.h"

#include <QtGlobal>

class IDirectSound8;
class IDirectSoundCapture8;

// The entry points of the platform sound interface that DSoundOut and
// DSoundIn use. Only the default devices exist (a null device id); which
// device that is comes from the DeviceSelection of each direction.
// Hidden from the library's exports: a host may well have functions of these
// names itself.

// Opens the playback device; DSERR_NODRIVER when the configured device
// does not exist.
Q_DECL_HIDDEN HRESULT DirectSoundCreate8(LPCGUID device, IDirectSound8** sound, LPUNKNOWN outer);
// Opens the capture device; DSERR_NODRIVER when the configured device does
// not exist.
Q_DECL_HIDDEN HRESULT DirectSoundCaptureCreate8(LPCGUID device, IDirectSoundCapture8** capture, LPUNKNOWN outer);
// The window the cooperative level is set for.
Q_DECL_HIDDEN HWND GetDesktopWindow();
// Sleeps on the current SoundClock.
Q_DECL_HIDDEN void Sleep(DWORD milliseconds);
