#pragma once

#include "SharedBufferPool.h"

#include <memory>

// Lets go of an owned SharedBufferPool through release(), which keeps it alive
// for the buffers still handed out.
struct SharedBufferPoolRelease {
    void operator()(SharedBufferPool* pool) const { pool->release(); }
};

using SharedBufferPoolPtr = std::unique_ptr<SharedBufferPool, SharedBufferPoolRelease>;
