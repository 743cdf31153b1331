#pragma once

#include "OstKavexMixerGlobal.h"
#include "VariableBuffer.h"

#include <QAtomicInt>
#include <QByteArray>
#include <QMetaType>

class SharedBufferPoolCore;

// Reference-counted handle to a byte buffer. A buffer taken from a
// SharedBufferPool goes back to its pool when the last handle is released, so
// a steady stream of packets reuses the same few buffers; copies of a handle
// share the bytes.
class OSTKAVEXMIXER_EXPORT SharedPoolBuffer
{
public:
    SharedPoolBuffer() = default;
    SharedPoolBuffer(const SharedPoolBuffer& other);
    SharedPoolBuffer(SharedPoolBuffer&& other) noexcept;
    SharedPoolBuffer& operator=(const SharedPoolBuffer& other);
    SharedPoolBuffer& operator=(SharedPoolBuffer&& other) noexcept;
    ~SharedPoolBuffer();

    // A buffer of its own (no pool) holding a copy of the bytes.
    static SharedPoolBuffer fromData(const void* data, int size);
    static SharedPoolBuffer fromByteArray(const QByteArray& bytes) { return fromData(bytes.constData(), bytes.size()); }

    // True when the handle holds no buffer or the buffer holds no bytes.
    bool isEmpty() const;
    bool isNull() const { return m_entry == nullptr; }
    unsigned char* getBuffer() const;
    int getBufferSize() const;
    VariableBuffer* getVariableBuffer() const;
    QByteArray toByteArray() const;
    void reset();

private:
    friend class SharedBufferPool;
    friend class SharedBufferPoolCore;
    struct Entry {
        QAtomicInt refs;
        VariableBuffer buffer;
        SharedBufferPoolCore* pool;
    };
    explicit SharedPoolBuffer(Entry* entry) : m_entry(entry) {}
    static void unref(Entry* entry);

    Entry* m_entry = nullptr;
};

Q_DECLARE_METATYPE(SharedPoolBuffer)
