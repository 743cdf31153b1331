#pragma once

#include "DSoundDefs.h"

#include <atomic>

// Reference counting and interface queries shared by the sound interface
// objects. An object starts with one reference, owned by whoever created it,
// and deletes itself when the last reference is released.
class DSoundUnknown
{
public:
    DSoundUnknown(const DSoundUnknown&) = delete;
    DSoundUnknown& operator=(const DSoundUnknown&) = delete;

    ULONG AddRef();
    ULONG Release();
    // Hands out another reference to this object when it implements `iid`.
    virtual HRESULT QueryInterface(REFIID iid, LPVOID* object);

protected:
    DSoundUnknown() = default;
    virtual ~DSoundUnknown();
    // Answers QueryInterface: `self` is the object as the queried interface,
    // handed out with a new reference when `implemented`.
    HRESULT answerQuery(bool implemented, void* self, LPVOID* object);

private:
    std::atomic<ULONG> m_references{1};
};

// Releases the reference held in `object`, if any, and clears it.
template <typename Interface>
void releaseInterface(Interface*& object)
{
    if (object) {
        object->Release();
        object = nullptr;
    }
}

// The common start of calls that hand out a new object through `out`:
// clears it, refuses a missing `out` and aggregation.
template <typename Interface>
HRESULT prepareOut(Interface** out, LPUNKNOWN outer)
{
    if (!out)
        return DSERR_INVALIDPARAM;
    *out = nullptr;
    return outer ? DSERR_NOAGGREGATION : DS_OK;
}
