#include "DataStreamBuffer.h"
#include "DynamicByteFifo.h"
#include "SharedBufferPool.h"
#include "StreamUnitDecrypter.h"
#include "VariableBuffer.h"

#include <QDataStream>
#include <algorithm>
#include <deque>
#include <gtest/gtest.h>
#include <random>
#include <thread>

// The relay message layout: a flag byte, then a packet with a big-endian count.
TEST(VariableBuffer, GrowsAndStreamsAsALengthPrefixedMessage)
{
    VariableBuffer packet(4);
    memcpy(packet.getBuffer(4), "abcd", 4);
    EXPECT_EQ(memcmp(packet.getBuffer(1000), "abcd", 4), 0);  // growing keeps the bytes
    const int capacity = packet.getCapacity();
    memcpy(packet.getBuffer(5), "hello", 5);
    EXPECT_EQ(packet.getCapacity(), capacity);  // shrinking keeps the storage
    DataStreamBuffer out;
    QDataStream(&out) << true << packet;
    const QByteArray bytes = out.getBuffer();
    ASSERT_EQ(bytes, QByteArray::fromHex("010000000568656c6c6f"));
    // A count beyond the message's end is refused without reading or allocating it.
    const std::pair<QByteArray, QByteArray> cases[] = {
        {bytes, "hello"}, {bytes.left(bytes.size() - 1), {}}, {QByteArray::fromHex("017fffffff7879"), {}}};
    for (const auto& [message, expected] : cases) {
        DataStreamBuffer in(message);
        QDataStream s(&in);
        bool rtcp = false;
        VariableBuffer read;
        s >> rtcp >> read;
        EXPECT_EQ(std::make_tuple(s.status(), rtcp,
                                  QByteArray(reinterpret_cast<const char*>(read.getBuffer()), read.getSize())),
                  std::make_tuple(expected.isEmpty() ? QDataStream::ReadPastEnd : QDataStream::Ok, true, expected));
    }
}

// Random puts and gets (some discarding) match a reference queue; a steady pattern settles at one capacity.
TEST(DynamicByteFifo, MatchesAReferenceQueueAndStopsGrowingAtItsWorkingSize)
{
    DynamicByteFifo fifo(64, 10), steady(4096, 1000);
    std::deque<unsigned char> reference;
    std::mt19937 rng(7);
    std::vector<unsigned char> in(300), out(9000), chunk(3000, 0x5A);
    unsigned char next = 0;
    for (int round = 0; round < 3000; ++round) {
        const int n = int(rng() % 300);
        if (rng() % 2) {
            std::generate_n(in.begin(), n, [&] { return next++; });
            const int stored = fifo.put(in.data(), n);
            ASSERT_EQ(stored, std::min(n, fifo.maxSize() - int(reference.size())));
            reference.insert(reference.end(), in.begin(), in.begin() + stored);
            next = static_cast<unsigned char>(next - (n - stored));
        } else {
            const bool discard = rng() % 4 == 0;
            const int got = fifo.get(discard ? nullptr : out.data(), n);
            ASSERT_EQ(got, std::min(n, int(reference.size())));
            ASSERT_TRUE(discard || std::equal(out.begin(), out.begin() + got, reference.begin())) << round;
            reference.erase(reference.begin(), reference.begin() + got);
        }
        ASSERT_EQ(std::make_tuple(fifo.size(), fifo.capacity() % 64, fifo.capacity() <= 640),
                  std::make_tuple(int(reference.size()), 0, true));
    }

    int settled = -1;  // the capacity after the previous cycle
    for (int cycle = 0; cycle < 50; ++cycle) {
        for (int i = 0; i < 3; ++i)
            steady.put(chunk.data(), 3000);
        ASSERT_EQ(steady.get(out.data(), 9000), 9000);
        ASSERT_EQ(std::exchange(settled, steady.capacity()), cycle ? steady.capacity() : -1) << cycle;
    }
    steady.put(chunk.data(), 3000);
    steady.clear();
    EXPECT_EQ(std::make_pair(steady.isEmpty(), steady.capacity()), std::make_pair(true, settled));
}

TEST(SharedBufferPool, ReusesBuffersOutlivesReleaseAndIsSafeAcrossThreads)
{
    SharedBufferPool* pool = new SharedBufferPool(64);
    for (int i = 0; i < 100; ++i) {  // copies share the buffer, which comes back cleared for reuse
        const SharedPoolBuffer a = pool->getBuffer(), copy = a;
        EXPECT_EQ(a.getBufferSize(), 0);
        memcpy(a.getVariableBuffer()->getBuffer(3), "xyz", 3);
        EXPECT_EQ(copy.toByteArray(), QByteArray("xyz"));
    }
    EXPECT_EQ(pool->buffersCreated(), 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([pool] {
            for (int i = 0; i < 20000; ++i) {
                const SharedPoolBuffer b = pool->getBuffer(), c = b;
                c.getVariableBuffer()->getBuffer(8)[0] = char(i);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_LE(pool->buffersCreated(), 8);

    SharedPoolBuffer survivor = pool->getBuffer();
    memcpy(survivor.getVariableBuffer()->getBuffer(2), "ok", 2);
    pool->release();
    EXPECT_EQ(survivor.toByteArray(), QByteArray("ok"));  // still valid after the pool is gone
}

// Opening with the right key among several is covered by the receiver tests; here what must not open.
TEST(StreamUnitDecrypter, RefusesMissingKeysAndDamagedLayers)
{
    QByteArray skA, pkA, skB, pkB;
    StreamUnitDecrypter::generateKeyPair(skA, pkA);
    StreamUnitDecrypter::generateKeyPair(skB, pkB);

    const QByteArray plain("RTP payload bytes"), layer = StreamUnitDecrypter::encrypt(plain, pkB);
    const QByteArray damaged = layer.left(layer.size() - 1) + char(layer.back() ^ 1);
    const std::vector<QByteArray> keys = {skA, QByteArray("short"), skB};
    const auto open = [](const std::vector<QByteArray>& keys, const QByteArray& sealed) {
        StreamUnitDecrypter dec;
        dec.setListOfPossiblePrivateKeys(keys);
        return dec.decrypt(SharedPoolBuffer::fromByteArray(sealed)).toByteArray();
    };
    EXPECT_EQ(std::make_tuple(open({}, layer), open({skA, "short"}, layer), open(keys, layer), open(keys, damaged),
                              open(keys, layer.left(20)), StreamUnitDecrypter::encrypt("x", QByteArray(5, 'x')),
                              StreamUnitDecrypter::publicKeyOf(skB)),
              std::make_tuple(QByteArray(), QByteArray(), plain, QByteArray(), QByteArray(), QByteArray(), pkB));
}
