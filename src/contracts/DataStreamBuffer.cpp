#include "DataStreamBuffer.h"

#include <climits>
#include <cstring>

DataStreamBuffer::DataStreamBuffer(QObject* parent) : DataStreamBuffer(QByteArray(), parent) {}

DataStreamBuffer::DataStreamBuffer(const QByteArray& bytes, QObject* parent) : QIODevice(parent), m_bytes(bytes)
{
    // Unbuffered: the bytes are in memory already, a read-ahead copy would only cost.
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

DataStreamBuffer::DataStreamBuffer(const char* data, int size, QObject* parent)
    : DataStreamBuffer(QByteArray::fromRawData(data ? data : "", data ? qMax(size, 0) : 0), parent)
{
}

bool DataStreamBuffer::seek(qint64 pos)
{
    if (pos < 0 || pos > m_bytes.size())
        return false;
    return QIODevice::seek(pos);
}

qint64 DataStreamBuffer::readData(char* data, qint64 maxSize)
{
    const qint64 n = qMin(maxSize, qint64(m_bytes.size()) - pos());
    if (n <= 0)
        return 0;
    memcpy(data, m_bytes.constData() + pos(), size_t(n));
    return n;
}

qint64 DataStreamBuffer::writeData(const char* data, qint64 maxSize)
{
    const qint64 end = pos() + maxSize;
    if (end > INT_MAX)
        return -1;
    if (end > m_bytes.size())
        m_bytes.resize(int(end));
    memcpy(m_bytes.data() + pos(), data, size_t(maxSize));
    return maxSize;
}
