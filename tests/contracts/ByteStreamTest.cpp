#include "DataStreamBuffer.h"
#include "DynamicByteFifo.h"
#include "VariableBuffer.h"

#include <QDataStream>
#include <deque>
#include <gtest/gtest.h>
#include <random>

// The relay message layout: a flag byte, then a length-prefixed packet.
TEST(DataStreamBuffer, WritesAndReadsARelayMessage)
{
    VariableBuffer packet;
    memcpy(packet.getBuffer(5), "hello", 5);
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
    ASSERT_EQ(read.getSize(), 5);
    EXPECT_EQ(memcmp(read.getBuffer(), "hello", 5), 0);

    // A length beyond the message's end is refused, not read past.
    DataStreamBuffer cut(bytes.constData(), bytes.size() - 1);
    QDataStream c(&cut);
    c >> rtcp >> read;
    EXPECT_EQ(c.status(), QDataStream::ReadPastEnd);
    EXPECT_EQ(read.getSize(), 0);
}

TEST(DynamicByteFifo, MatchesAReferenceQueueAcrossWrapAndGrowth)
{
    DynamicByteFifo fifo(64, 100);
    std::deque<unsigned char> reference;
    std::mt19937 rng(7);
    std::vector<unsigned char> in(700), out(700);
    unsigned char next = 0;
    for (int round = 0; round < 2000; ++round) {
        const int n = int(rng() % 300);
        if (rng() % 2) {
            for (int i = 0; i < n; ++i)
                in[size_t(i)] = next++;
            const int stored = fifo.put(in.data(), n);
            ASSERT_EQ(stored, std::min(n, fifo.maxSize() - int(reference.size())));
            reference.insert(reference.end(), in.begin(), in.begin() + stored);
            next = static_cast<unsigned char>(next - (n - stored));
        } else {
            const int got = fifo.get(out.data(), n);
            ASSERT_EQ(got, std::min(n, int(reference.size())));
            for (int i = 0; i < got; ++i) {
                ASSERT_EQ(out[size_t(i)], reference.front());
                reference.pop_front();
            }
        }
        ASSERT_EQ(fifo.size(), int(reference.size()));
        ASSERT_EQ(fifo.capacity() % 64, 0);
    }
}

TEST(DynamicByteFifo, StopsGrowingAtItsWorkingSizeAndItsLimit)
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

    DynamicByteFifo small(10, 3);
    const unsigned char bytes[40] = {};
    EXPECT_EQ(small.put(bytes, 25), 25);
    EXPECT_EQ(small.put(bytes, 10), 5);
    EXPECT_EQ(small.put(bytes, 1), 0);
    EXPECT_EQ(small.get(nullptr, 7), 7);  // discarded
    EXPECT_EQ(small.size(), 23);
    small.clear();
    EXPECT_TRUE(small.isEmpty());
    EXPECT_EQ(small.capacity(), 30);
}
