#pragma once

#include <QtGlobal>

// Types, result codes and flags of the platform sound interface that DSoundOut
// and DSoundIn are written against. The interface objects themselves
// (IDirectSound8, IDirectSoundBuffer8, IDirectSoundCapture8,
// IDirectSoundCaptureBuffer8) are our own classes over a SoundBackend; only
// what the output and the capture use is provided.

using DWORD = quint32;
using WORD = quint16;
using ULONG = quint32;
using HRESULT = qint32;
using LPVOID = void*;
using LPDWORD = DWORD*;
using HWND = void*;

struct GUID {
    quint32 Data1;
    quint16 Data2;
    quint16 Data3;
    quint8 Data4[8];
};
using IID = GUID;
using REFIID = const IID&;
using LPCGUID = const GUID*;

inline bool operator==(const GUID& a, const GUID& b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i])
            return false;
    }
    return true;
}

class DSoundUnknown;
using LPUNKNOWN = DSoundUnknown*;

// Interface ids only need to be distinct from each other.
inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr GUID DS3DALG_DEFAULT = GUID_NULL;
inline constexpr IID IID_IDirectSoundBuffer8{0x4b61f001, 0x0001, 0x0008, {0, 0, 0, 0, 0, 0, 0, 1}};
inline constexpr IID IID_IDirectSoundCaptureBuffer8{0x4b61f001, 0x0002, 0x0008, {0, 0, 0, 0, 0, 0, 0, 2}};

// Result codes. Failures have the top bit set.
inline constexpr HRESULT DS_OK = 0;
inline constexpr HRESULT DSERR_GENERIC = HRESULT(0x80004005u);
inline constexpr HRESULT DSERR_UNSUPPORTED = HRESULT(0x80004001u);
inline constexpr HRESULT DSERR_NOINTERFACE = HRESULT(0x80004002u);
inline constexpr HRESULT DSERR_INVALIDPARAM = HRESULT(0x80070057u);
inline constexpr HRESULT DSERR_NOAGGREGATION = HRESULT(0x80040110u);
inline constexpr HRESULT DSERR_INVALIDCALL = HRESULT(0x88780032u);
inline constexpr HRESULT DSERR_BADFORMAT = HRESULT(0x88780064u);
inline constexpr HRESULT DSERR_NODRIVER = HRESULT(0x88780078u);
inline constexpr HRESULT DSERR_PRIOLEVELNEEDED = HRESULT(0x88780046u);
inline constexpr HRESULT DSERR_BUFFERLOST = HRESULT(0x88780096u);

inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }

// Cooperative levels.
inline constexpr DWORD DSSCL_NORMAL = 0x1;
inline constexpr DWORD DSSCL_PRIORITY = 0x2;

// Buffer capabilities and calls.
inline constexpr DWORD DSBCAPS_PRIMARYBUFFER = 0x1;
inline constexpr DWORD DSBCAPS_GETCURRENTPOSITION2 = 0x10000;
inline constexpr DWORD DSBCAPS_GLOBALFOCUS = 0x8000;
inline constexpr DWORD DSBLOCK_ENTIREBUFFER = 0x2;
inline constexpr DWORD DSBPLAY_LOOPING = 0x1;
inline constexpr DWORD DSCBSTART_LOOPING = 0x1;
inline constexpr DWORD DSBSIZE_MIN = 4;
inline constexpr DWORD DSBSIZE_MAX = 0x0FFFFFFF;

inline constexpr WORD WAVE_FORMAT_PCM = 1;
// Capture capability bits: 48 kHz 16-bit mono and stereo.
inline constexpr DWORD WAVE_FORMAT_48M16 = 0x4000;
inline constexpr DWORD WAVE_FORMAT_48S16 = 0x8000;

struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
using LPWAVEFORMATEX = WAVEFORMATEX*;
using LPCWAVEFORMATEX = const WAVEFORMATEX*;

// The size fields carry the sizes of the platform's 32-bit layouts: they tag
// the structure version rather than measure this struct.
inline constexpr DWORD DSBUFFERDESC_SIZE = 36;
inline constexpr DWORD DSCBUFFERDESC_SIZE = 28;
inline constexpr DWORD DSCCAPS_SIZE = 16;

struct DSBUFFERDESC {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwBufferBytes;
    DWORD dwReserved;
    LPWAVEFORMATEX lpwfxFormat;
    GUID guid3DAlgorithm;
};
using LPCDSBUFFERDESC = const DSBUFFERDESC*;

struct DSCEFFECTDESC;

struct DSCBUFFERDESC {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwBufferBytes;
    DWORD dwReserved;
    LPWAVEFORMATEX lpwfxFormat;
    DWORD dwFXCount;
    DSCEFFECTDESC* lpDSCFXDesc;
};
using LPCDSCBUFFERDESC = const DSCBUFFERDESC*;

struct DSCCAPS {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwFormats;
    DWORD dwChannels;
};
using LPDSCCAPS = DSCCAPS*;
