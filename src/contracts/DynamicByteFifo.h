#pragma once

#include "OstKavexMixerGlobal.h"

#include <vector>

// A first-in first-out byte queue (ring buffer) that grows on demand, in whole
// blocks, up to a fixed limit. It starts with one block of storage and keeps
// what it has grown to, so a FIFO fed at a steady rate stops allocating once
// it has seen its largest fill level. Not thread-safe.
class DynamicByteFifo
{
public:
    // Storage grows in steps of `blockSize` bytes to at most `maxBlocks`
    // blocks: (4096, 1000) starts with 4 KiB and holds up to 4,096,000 bytes.
    DynamicByteFifo(int blockSize, int maxBlocks);

    // Appends up to `length` bytes and returns how many were stored: fewer
    // than `length` only when the limit is reached.
    int put(const unsigned char* data, int length);
    // Removes up to `length` bytes, copying them to `dst` (unless it is
    // null, which discards them), and returns how many were removed.
    int get(unsigned char* dst, int length);
    // Copies up to `length` bytes from the front without removing them.
    int peek(unsigned char* dst, int length) const;

    int size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    int capacity() const { return int(m_storage.size()); }
    int maxSize() const { return m_maxSize; }
    // Empties the FIFO; the storage is kept.
    void clear();

private:
    void grow(int needed);

    std::vector<unsigned char> m_storage;
    int m_blockSize;
    int m_maxSize;
    int m_head = 0;  // index of the first byte
    int m_size = 0;
};
