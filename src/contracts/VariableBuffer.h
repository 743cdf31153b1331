#pragma once

#include "OstKavexMixerGlobal.h"

#include <QDataStream>
#include <vector>

// A growable byte buffer that keeps its storage when it shrinks, so that a
// buffer reused for every packet or block stops allocating once it has seen
// the largest size.
class OSTKAVEXMIXER_EXPORT VariableBuffer
{
public:
    explicit VariableBuffer(int initialSize = 0);

    // Sets the size to `size` bytes (growing the storage when needed, keeping
    // the existing bytes) and returns the writable bytes. Negative sizes count as 0.
    unsigned char* getBuffer(int size);
    unsigned char* getBuffer() { return m_data.data(); }
    const unsigned char* getBuffer() const { return m_data.data(); }
    int getSize() const { return m_size; }
    int getCapacity() const { return int(m_data.size()); }
    void clear() { m_size = 0; }

private:
    std::vector<unsigned char> m_data;
    int m_size = 0;
};

// Stream form: a 32-bit big-endian byte count followed by the bytes. A count
// larger than the stream holds sets the stream's status to ReadPastEnd and
// leaves the buffer empty.
OSTKAVEXMIXER_EXPORT QDataStream& operator<<(QDataStream& out, const VariableBuffer& buffer);
OSTKAVEXMIXER_EXPORT QDataStream& operator>>(QDataStream& in, VariableBuffer& buffer);
