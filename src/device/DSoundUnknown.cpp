#include "DSoundUnknown.h"

DSoundUnknown::~DSoundUnknown() = default;

ULONG DSoundUnknown::AddRef()
{
    return ++m_references;
}

ULONG DSoundUnknown::Release()
{
    const ULONG left = --m_references;
    if (left == 0)
        delete this;
    return left;
}

HRESULT DSoundUnknown::QueryInterface(REFIID, LPVOID* object)
{
    return answerQuery(false, nullptr, object);
}

HRESULT DSoundUnknown::answerQuery(bool implemented, void* self, LPVOID* object)
{
    if (!object)
        return DSERR_INVALIDPARAM;
    if (!implemented) {
        *object = nullptr;
        return DSERR_NOINTERFACE;
    }
    AddRef();
    *object = self;
    return DS_OK;
}
