#include "PcmDevice.h"
#include "ScopedEnvironment.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

// Counts the allocations of the thread that is being watched.
namespace {
thread_local bool t_watching = false;
thread_local int t_allocations = 0;
}  // namespace

void* operator new(std::size_t size)
{
    if (t_watching)
        ++t_allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

TEST(RealTimePath, WritingAChunkDoesNotAllocate)
{
    QTemporaryDir dir;
    // The recording card does the most work per chunk: it writes the file.
    ScopedEnvironment env("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + dir.filePath("out.wav")).toUtf8());
    std::unique_ptr<PcmDevice> device(
        PcmDevice::open(PcmDevice::DirectionOutput, 48000, PcmDevice::SampleWidth16, 2, true));
    ASSERT_TRUE(device);
    std::vector<unsigned char> chunk(4096, 3);
    unsigned int status = 0;
    // The first round of the ring is played before watching.
    for (int i = 0; i < 5; ++i)
        device->write(chunk.data(), 1024, &status);
    // The count works: a watched allocation is seen.
    t_watching = true;
    std::unique_ptr<std::vector<char>> probe(new std::vector<char>(16));
    t_watching = false;
    ASSERT_EQ(t_allocations, 2);
    t_allocations = 0;

    t_watching = true;
    for (int i = 0; i < 4; ++i)
        device->write(chunk.data(), 1024, &status);
    t_watching = false;
    EXPECT_EQ(t_allocations, 0);
}
