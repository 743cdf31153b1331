#pragma once

#include "OstKavexMixerGlobal.h"
#include "SharedPoolBuffer.h"

// A pool of reusable byte buffers handed out as SharedPoolBuffer handles.
// Thread-safe. Call release() instead of deleting the pool directly when
// handles may still be alive: they stay valid and free their buffer when the
// last of them goes.
class OSTKAVEXMIXER_EXPORT SharedBufferPool
{
public:
    // `initialBufferSize` is the storage each new buffer starts with.
    explicit SharedBufferPool(int initialBufferSize = 1500);
    SharedBufferPool(const SharedBufferPool&) = delete;
    SharedBufferPool& operator=(const SharedBufferPool&) = delete;

    // A free buffer of the pool (a new one when none is free), size 0.
    SharedPoolBuffer getBuffer();
    // Number of buffers the pool has made so far.
    int buffersCreated() const;
    // Ends the pool's life: deletes the pool object; buffers still in use are
    // deleted when their last handle goes.
    void release();

private:
    ~SharedBufferPool();
    SharedBufferPoolCore* m_core;
};
