#include "VariableBuffer.h"

#include <QIODevice>
#include <algorithm>

// No message this library streams comes near this; a larger count is corrupt input.
static const int kMaxStreamedSize = 64 * 1024 * 1024;

VariableBuffer::VariableBuffer(int initialSize)
    : m_data(size_t(std::max(initialSize, 1)))
    , m_size(std::max(initialSize, 0))
{
}

unsigned char* VariableBuffer::getBuffer(int size)
{
    size = std::max(size, 0);
    if (size_t(size) > m_data.size())
        m_data.resize(std::max(size_t(size), m_data.size() * 2));
    m_size = size;
    return m_data.data();
}

QDataStream& operator<<(QDataStream& out, const VariableBuffer& buffer)
{
    out << quint32(buffer.getSize());
    out.writeRawData(reinterpret_cast<const char*>(buffer.getBuffer()), buffer.getSize());
    return out;
}

QDataStream& operator>>(QDataStream& in, VariableBuffer& buffer)
{
    quint32 size = 0;
    in >> size;
    buffer.clear();
    if (in.status() != QDataStream::Ok)
        return in;
    const QIODevice* dev = in.device();
    const bool tooLarge = size > quint32(kMaxStreamedSize);
    if (tooLarge || (dev && !dev->isSequential() && qint64(size) > dev->bytesAvailable())) {
        in.setStatus(QDataStream::ReadPastEnd);
        return in;
    }
    unsigned char* dst = buffer.getBuffer(int(size));
    if (in.readRawData(reinterpret_cast<char*>(dst), int(size)) != int(size)) {
        buffer.clear();
        in.setStatus(QDataStream::ReadPastEnd);
    }
    return in;
}
