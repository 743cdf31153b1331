#include "DataStreamBuffer.h"
#include "DynamicByteFifo.h"
#include "SharedBufferPool.h"
#include "StreamUnitDecrypter.h"
#include "VariableBuffer.h"

#include <QDataStream>
#include <QThread>
#include <deque>
#include <gtest/gtest.h>
#include <random>

// The relay message layout: a flag byte, then a packet with a big-endian count.
TEST(VariableBuffer, GrowsAndStreamsAsALengthPrefixedMessage)
{
    VariableBuffer packet(4);
    memcpy(packet.getBuffer(4), "abcd", 4);
    packet.getBuffer(1000);
    EXPECT_EQ(memcmp(packet.getBuffer(), "abcd", 4), 0);  // growing keeps the bytes
    const int capacity = packet.getCapacity();
    memcpy(packet.getBuffer(5), "hello", 5);
    EXPECT_EQ(packet.getCapacity(), capacity);  // shrinking keeps the storage
    DataStreamBuffer out;
    {
        QDataStream s(&out);
        s << true << packet;
    }
    const QByteArray bytes = out.getBuffer();
    ASSERT_EQ(bytes, QByteArray::fromHex("010000000568656c6c6f"));

    DataStreamBuffer in(bytes.constData(), bytes.size());
    QDataStream s(&in);
    bool rtcp = false;
    VariableBuffer read;
    s >> rtcp >> read;
    EXPECT_EQ(s.status(), QDataStream::Ok);
    EXPECT_TRUE(rtcp);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(read.getBuffer()), read.getSize()), QByteArray("hello"));

    // A count beyond the message's end is refused without reading or allocating it.
    for (const QByteArray& lying : {bytes.left(bytes.size() - 1), QByteArray("\x01\x7f\xff\xff\xff"
                                                                             "xy",
                                                                             7)}) {
        DataStreamBuffer cut(lying);
        QDataStream c(&cut);
        c >> rtcp >> read;
        EXPECT_EQ(c.status(), QDataStream::ReadPastEnd);
        EXPECT_EQ(read.getSize(), 0);
    }
}

TEST(DynamicByteFifo, MatchesAReferenceQueueAcrossWrapGrowthAndLimit)
{
    DynamicByteFifo fifo(64, 10);
    std::deque<unsigned char> reference;
    std::mt19937 rng(7);
    std::vector<unsigned char> in(300), out(300);
    unsigned char next = 0;
    for (int round = 0; round < 3000; ++round) {
        const int n = int(rng() % 300);
        if (rng() % 2) {
            for (int i = 0; i < n; ++i)
                in[size_t(i)] = next++;
            const int stored = fifo.put(in.data(), n);
            ASSERT_EQ(stored, std::min(n, fifo.maxSize() - int(reference.size())));
            reference.insert(reference.end(), in.begin(), in.begin() + stored);
            next = static_cast<unsigned char>(next - (n - stored));
        } else {
            const bool discard = rng() % 4 == 0;
            const int got = fifo.get(discard ? nullptr : out.data(), n);
            ASSERT_EQ(got, std::min(n, int(reference.size())));
            for (int i = 0; i < got; ++i) {
                ASSERT_TRUE(discard || out[size_t(i)] == reference.front()) << round;
                reference.pop_front();
            }
        }
        ASSERT_EQ(fifo.size(), int(reference.size()));
        ASSERT_EQ(fifo.capacity() % 64, 0);
        ASSERT_LE(fifo.capacity(), 640);
    }
}

TEST(DynamicByteFifo, StopsGrowingAtItsWorkingSize)
{
    DynamicByteFifo fifo(4096, 1000);
    std::vector<unsigned char> chunk(3000, 0x5A), sink(9000);
    // A steady 3-chunks-in, all-out pattern settles at one capacity.
    int settled = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        for (int i = 0; i < 3; ++i)
            fifo.put(chunk.data(), 3000);
        ASSERT_EQ(fifo.get(sink.data(), 9000), 9000);
        if (cycle == 0)
            settled = fifo.capacity();
        ASSERT_EQ(fifo.capacity(), settled);
    }
    fifo.put(chunk.data(), 3000);
    fifo.clear();
    EXPECT_TRUE(fifo.isEmpty());
    EXPECT_EQ(fifo.capacity(), settled);
}

TEST(SharedBufferPool, ReusesBuffersAndOutlivesRelease)
{
    SharedBufferPool* pool = new SharedBufferPool(64);
    {
        SharedPoolBuffer a = pool->getBuffer();
        memcpy(a.getVariableBuffer()->getBuffer(3), "xyz", 3);
        SharedPoolBuffer copy = a;
        EXPECT_EQ(copy.toByteArray(), QByteArray("xyz"));
    }
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(pool->getBuffer().getBufferSize(), 0);  // handed out cleared
    EXPECT_EQ(pool->buffersCreated(), 1);

    SharedPoolBuffer survivor = pool->getBuffer();
    memcpy(survivor.getVariableBuffer()->getBuffer(2), "ok", 2);
    pool->release();
    EXPECT_EQ(survivor.toByteArray(), QByteArray("ok"));  // still valid after the pool is gone
}

TEST(SharedBufferPool, HandlesAreSafeAcrossThreads)
{
    SharedBufferPool* pool = new SharedBufferPool(16);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([pool] {
            for (int i = 0; i < 20000; ++i) {
                SharedPoolBuffer b = pool->getBuffer();
                SharedPoolBuffer c = b;
                c.getVariableBuffer()->getBuffer(8)[0] = char(i);
            }
        }));
        threads.back()->start();
    }
    for (const auto& t : threads)
        ASSERT_TRUE(t->wait(30000));
    EXPECT_LE(pool->buffersCreated(), 8);
    pool->release();
}

// Opening with the right key among several is covered by the receiver tests;
// here the layers that must not open.
TEST(StreamUnitDecrypter, RefusesMissingKeysAndDamagedLayers)
{
    QByteArray skA, pkA, skB, pkB;
    StreamUnitDecrypter::generateKeyPair(skA, pkA);
    StreamUnitDecrypter::generateKeyPair(skB, pkB);
    EXPECT_EQ(StreamUnitDecrypter::publicKeyOf(skB), pkB);
    EXPECT_TRUE(StreamUnitDecrypter::encrypt("x", QByteArray(5, 'x')).isEmpty());

    const QByteArray plain("RTP payload bytes");
    const QByteArray layer = StreamUnitDecrypter::encrypt(plain, pkB);
    StreamUnitDecrypter dec;
    const SharedPoolBuffer sealed = SharedPoolBuffer::fromByteArray(layer);
    EXPECT_TRUE(dec.decrypt(sealed).isEmpty());  // no key yet
    dec.setListOfPossiblePrivateKeys({skA, QByteArray("short")});
    EXPECT_TRUE(dec.decrypt(sealed).isEmpty());  // no matching key
    dec.setListOfPossiblePrivateKeys({skA, QByteArray("short"), skB});
    EXPECT_EQ(dec.decrypt(sealed).toByteArray(), plain);
    QByteArray damaged = layer;
    damaged[damaged.size() - 1] = char(damaged[damaged.size() - 1] ^ 1);
    EXPECT_TRUE(dec.decrypt(SharedPoolBuffer::fromByteArray(damaged)).isEmpty());
    EXPECT_TRUE(dec.decrypt(SharedPoolBuffer::fromByteArray(layer.left(20))).isEmpty());
}
