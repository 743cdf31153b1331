#include "SharedBufferPool.h"
#include "StreamUnitDecrypter.h"
#include "VariableBuffer.h"

#include <QBuffer>
#include <QDataStream>
#include <QThread>
#include <gtest/gtest.h>

TEST(VariableBuffer, GrowsKeepsBytesAndStreams)
{
    VariableBuffer b(4);
    memcpy(b.getBuffer(4), "abcd", 4);
    b.getBuffer(1000);
    EXPECT_EQ(memcmp(b.getBuffer(), "abcd", 4), 0);
    const int capacity = b.getCapacity();
    b.getBuffer(10);
    EXPECT_EQ(b.getCapacity(), capacity);  // shrinking keeps the storage
    EXPECT_EQ(b.getSize(), 10);

    QByteArray wire;
    {
        QDataStream out(&wire, QIODevice::WriteOnly);
        out << b;
    }
    ASSERT_EQ(wire.size(), 14);
    EXPECT_EQ(wire.left(4), QByteArray("\x00\x00\x00\x0a", 4));  // big-endian count
    VariableBuffer read;
    QDataStream in(wire);
    in >> read;
    EXPECT_EQ(in.status(), QDataStream::Ok);
    ASSERT_EQ(read.getSize(), 10);
    EXPECT_EQ(memcmp(read.getBuffer(), "abcd", 4), 0);

    // A count beyond the stream is refused without reading or allocating it.
    QByteArray lying("\x7f\xff\xff\xff" "xy", 6);
    QDataStream bad(lying);
    VariableBuffer victim;
    bad >> victim;
    EXPECT_NE(bad.status(), QDataStream::Ok);
    EXPECT_EQ(victim.getSize(), 0);
}

TEST(SharedBufferPool, ReusesBuffersAndOutlivesRelease)
{
    SharedBufferPool* pool = new SharedBufferPool(64);
    {
        SharedPoolBuffer a = pool->getBuffer();
        EXPECT_TRUE(a.isEmpty());
        memcpy(a.getVariableBuffer()->getBuffer(3), "xyz", 3);
        SharedPoolBuffer copy = a;
        EXPECT_EQ(copy.getBuffer(), a.getBuffer());
        EXPECT_EQ(copy.toByteArray(), QByteArray("xyz"));
    }
    for (int i = 0; i < 100; ++i) {
        SharedPoolBuffer b = pool->getBuffer();
        EXPECT_EQ(b.getBufferSize(), 0);  // handed out cleared
    }
    EXPECT_EQ(pool->buffersCreated(), 1);

    SharedPoolBuffer survivor = pool->getBuffer();
    memcpy(survivor.getVariableBuffer()->getBuffer(2), "ok", 2);
    pool->release();
    EXPECT_EQ(survivor.toByteArray(), QByteArray("ok"));  // still valid after the pool is gone
}

TEST(SharedBufferPool, HandlesAreSafeAcrossThreads)
{
    SharedBufferPool* pool = new SharedBufferPool(16);
    QList<QThread*> threads;
    for (int t = 0; t < 4; ++t) {
        threads.append(QThread::create([pool] {
            for (int i = 0; i < 20000; ++i) {
                SharedPoolBuffer b = pool->getBuffer();
                SharedPoolBuffer c = b;
                c.getVariableBuffer()->getBuffer(8)[0] = char(i);
            }
        }));
        threads.last()->start();
    }
    for (QThread* t : threads) {
        ASSERT_TRUE(t->wait(30000));
        delete t;
    }
    EXPECT_LE(pool->buffersCreated(), 8);
    pool->release();
}

TEST(StreamUnitDecrypter, OpensLayersWithAnyMatchingKey)
{
    QByteArray skA, pkA, skB, pkB;
    StreamUnitDecrypter::generateKeyPair(skA, pkA);
    StreamUnitDecrypter::generateKeyPair(skB, pkB);
    EXPECT_EQ(StreamUnitDecrypter::publicKeyOf(skB), pkB);

    const QByteArray plain("RTP payload bytes");
    const QByteArray layer = StreamUnitDecrypter::encrypt(plain, pkB);
    ASSERT_FALSE(layer.isEmpty());
    EXPECT_TRUE(StreamUnitDecrypter::isLayer(reinterpret_cast<const unsigned char*>(layer.constData()), layer.size()));

    StreamUnitDecrypter dec;
    const SharedPoolBuffer sealed = SharedPoolBuffer::fromByteArray(layer);
    EXPECT_TRUE(dec.decrypt(sealed).isEmpty());  // no key yet
    dec.setListOfPossiblePrivateKeys({skA, QByteArray("short"), skB});
    EXPECT_EQ(dec.decrypt(sealed).toByteArray(), plain);

    // Not a layer: the same buffer comes back.
    const SharedPoolBuffer clear = SharedPoolBuffer::fromByteArray(plain);
    EXPECT_EQ(dec.decrypt(clear).getBuffer(), clear.getBuffer());

    // A damaged layer opens with no key.
    QByteArray damaged = layer;
    damaged[damaged.size() - 1] = char(damaged[damaged.size() - 1] ^ 1);
    EXPECT_TRUE(dec.decrypt(SharedPoolBuffer::fromByteArray(damaged)).isEmpty());
    EXPECT_TRUE(dec.decrypt(SharedPoolBuffer::fromByteArray(layer.left(20))).isEmpty());
    EXPECT_TRUE(StreamUnitDecrypter::encrypt(plain, QByteArray(5, 'x')).isEmpty());
}
