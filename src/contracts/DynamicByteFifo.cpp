#include "DynamicByteFifo.h"

#include <algorithm>
#include <climits>
#include <cstring>

DynamicByteFifo::DynamicByteFifo(int blockSize, int maxBlocks) : m_blockSize(std::max(blockSize, 1))
{
    const qint64 maxSize = qint64(m_blockSize) * std::max(maxBlocks, 1);
    m_maxSize = int(std::min<qint64>(maxSize, INT_MAX / 2));
    m_storage.resize(size_t(std::min(m_blockSize, m_maxSize)));
}

void DynamicByteFifo::grow(int needed)
{
    // At least double, so that a FIFO filled in small steps copies its bytes
    // a logarithmic number of times; whole blocks; never above the limit.
    const int current = capacity();
    qint64 target = std::max<qint64>(needed, qint64(current) * 2);
    target = (target + m_blockSize - 1) / m_blockSize * m_blockSize;
    target = std::min<qint64>(target, m_maxSize);
    if (target <= current)
        return;
    std::vector<unsigned char> bigger(static_cast<size_t>(target));
    peek(bigger.data(), m_size);
    m_storage.swap(bigger);
    m_head = 0;
}

int DynamicByteFifo::put(const unsigned char* data, int length)
{
    if (!data || length <= 0)
        return 0;
    if (m_size + qint64(length) > capacity())
        grow(int(std::min<qint64>(m_size + qint64(length), m_maxSize)));
    const int n = std::min(length, capacity() - m_size);
    const int cap = capacity();
    const int tail = (m_head + m_size) % cap;
    const int first = std::min(n, cap - tail);
    memcpy(m_storage.data() + tail, data, size_t(first));
    memcpy(m_storage.data(), data + first, size_t(n - first));
    m_size += n;
    return n;
}

int DynamicByteFifo::peek(unsigned char* dst, int length) const
{
    const int n = std::min(std::max(length, 0), m_size);
    if (!dst || n == 0)
        return n;
    const int cap = capacity();
    const int first = std::min(n, cap - m_head);
    memcpy(dst, m_storage.data() + m_head, size_t(first));
    memcpy(dst + first, m_storage.data(), size_t(n - first));
    return n;
}

int DynamicByteFifo::get(unsigned char* dst, int length)
{
    const int n = peek(dst, length);
    m_size -= n;
    m_head = m_size == 0 ? 0 : (m_head + n) % capacity();
    return n;
}

void DynamicByteFifo::clear()
{
    m_head = 0;
    m_size = 0;
}
