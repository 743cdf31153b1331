#include "AudioFrameQueue.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace {

using AudioFrameDefs::BYTES_IN_FRAME;
using AudioFrameDefs::MAX_BYTES_IN_QUEUE;
using Bytes = std::vector<unsigned char>;

const NTPTimestamp kT0 = NTPTimestamp::fromMilliseconds(3900000000000ULL);
const NTPTimestamp kF = AudioFrameDefs::frameDuration();

// `count` frames; sample i of the block holds first + i / 1024 (ramp: first + i).
Bytes frames(int count, int first, bool ramp = false)
{
    Bytes data(size_t(count) * BYTES_IN_FRAME);
    for (size_t i = 0; i < data.size() / 2; ++i) {
        const qint16 v = qint16(first + (ramp ? int(i) : int(i) / 1024));
        memcpy(&data[2 * i], &v, 2);
    }
    return data;
}

qint16 sample(const unsigned char* frame, int i)
{
    qint16 v;
    memcpy(&v, frame + 2 * i, 2);
    return v;
}

NTPRange at(int k, int count = 1)
{
    return NTPRange(kT0 + kF * k, kT0 + kF * (k + count));
}

constexpr int kSilence = INT_MIN;
const QString kFull = "AudioFrameQueue::pushBack(): queue is full";

// popNextInRange for frame slot k: the first sample handed out, or kSilence.
int pop(AudioFrameQueue& q, int k, bool reverse = false, bool live = false)
{
    unsigned char out[BYTES_IN_FRAME];
    q.popNextInRange(out, at(k), reverse, live);
    return std::all_of(out, out + BYTES_IN_FRAME, [](unsigned char b) { return b == 0; }) ? kSilence : sample(out, 0);
}

void push(AudioFrameQueue& q, int k, int count, int first)
{
    Bytes data = frames(count, first);
    q.pushBack(data.data(), int(data.size()), at(k, count));
}

TEST(AudioFrameQueue, FillsToCapacityAndKeepsOrderAndStampsAcrossTheWrap)
{
    AudioFrameQueue q(NTPTimestamp::fromMilliseconds(20));
    for (int i = 0; i < 4; ++i)
        push(q, 700 * i, 700, 700 * i);
    EXPECT_EQ(q.size(), MAX_BYTES_IN_QUEUE);
    LogCapture log;
    push(q, 2800, 1, 2800);
    EXPECT_EQ(log.count(QtWarningMsg, kFull), 1);

    unsigned char out[BYTES_IN_FRAME];
    for (int k = 0; k < 10; ++k)
        q.popNext(out, at(0), false);
    push(q, 2800, 10, 2800);  // lands at the start of the ring
    EXPECT_EQ(q.size(), MAX_BYTES_IN_QUEUE);
    for (int k = 10; k < 2810; ++k) {
        ASSERT_EQ(q.frontTimestamp(), kT0 + kF * k) << k;
        q.popNext(out, at(0), false);
        ASSERT_EQ(sample(out, 0), k);
        ASSERT_EQ(sample(out, 1023), k);
    }
    EXPECT_TRUE(q.isEmpty());

    // A live block is cut to the free space; it does not set the last push time.
    Bytes big(MAX_BYTES_IN_QUEUE - 1000);
    q.pushBack(big.data(), int(big.size()), kT0);
    q.pushBack(big.data(), 3000, kT0);
    EXPECT_EQ(log.count(QtWarningMsg, kFull), 2);
    EXPECT_EQ(q.size(), MAX_BYTES_IN_QUEUE);
    EXPECT_EQ(q.lastPushTime(), kT0 + kF * 2800);
}

TEST(AudioFrameQueue, StampsOnlyFramesThatBeginInsideABlock)
{
    AudioFrameQueue q(NTPTimestamp::fromMilliseconds(20));
    const NTPTimestamp s = kT0, e = s + NTPTimestamp::fromMilliseconds(1000), e2 = e + (e - s);
    Bytes block(3000);
    q.pushBack(block.data(), 3000, NTPRange(s, e));
    q.pushBack(block.data(), 3000, NTPRange(e, e2));
    EXPECT_EQ(q.frontTimestamp(), s);
    unsigned char out[BYTES_IN_FRAME];
    q.popNext(out, NTPRange(s, s), false);
    EXPECT_EQ(q.frontTimestamp(), s + (e - s) * 2048 / 3000);  // began in the first block
    q.popNext(out, NTPRange(s, s), false);
    EXPECT_EQ(q.frontTimestamp(), e + (e2 - e) * (4096 - 3000) / 3000);
    EXPECT_EQ(q.lastPushTime(), e);
}

TEST(AudioFrameQueue, RepeatsOnceThenSilenceUntilTheFrameIsDue)
{
    AudioFrameQueue q(NTPTimestamp::fromMilliseconds(20));
    push(q, 0, 1, 1);
    EXPECT_EQ(pop(q, 0), 1);
    EXPECT_EQ(pop(q, 1), kSilence);  // empty: the repeat stays available
    push(q, 10, 1, 2);
    EXPECT_EQ(pop(q, 2), 1);
    EXPECT_EQ(pop(q, 3), kSilence);
    EXPECT_EQ(pop(q, 10), 2);
    push(q, 20, 1, 3);  // a real pop makes the next gap repeat again
    EXPECT_EQ(pop(q, 11), 2);
    EXPECT_EQ(pop(q, 12), kSilence);
}

TEST(AudioFrameQueue, LiveCatchUpKeepsThreeFrames)
{
    AudioFrameQueue q(NTPTimestamp::fromMilliseconds(60));
    Bytes data = frames(40, 1);
    q.pushBack(data.data(), int(data.size()), kT0);
    LogCapture log;
    EXPECT_EQ(pop(q, 0, false, true), 1);
    EXPECT_EQ(q.size(), 3 * BYTES_IN_FRAME);
    const QString line = "AudioFrameQueue::popNextInRange(): drop frame " + kT0.toString(false) + " --> "
                         + (kT0 + kF).toString(false) + ", bReverse = false, size = ";
    EXPECT_EQ(log.count(QtDebugMsg, line), 36);
    EXPECT_EQ(log.count(QtDebugMsg, line + "4"), 1);  // the last drop, 4 frames left
    EXPECT_EQ(pop(q, 0, false, true), 38);  // the oldest were dropped

    // 30 frames left are no backlog; live takes frames ahead of their time.
    q.clear();
    data = frames(31, 100);
    q.pushBack(data.data(), int(data.size()), kT0 + kF * 50);
    EXPECT_EQ(pop(q, 0, false, true), 100);
    EXPECT_EQ(q.size(), 30 * BYTES_IN_FRAME);
}

TEST(AudioFrameQueue, ReverseTakesFramesFromTheBackSamplesLastFirst)
{
    AudioFrameQueue q(NTPTimestamp::fromMilliseconds(20));
    Bytes block(3000);
    q.pushBack(block.data(), 3000, at(0));
    q.setReverse(true);  // drops the partial frame at the back
    EXPECT_EQ(q.size(), BYTES_IN_FRAME);

    q.clear();
    Bytes late = frames(2, 20), early = frames(2, 0, true);
    q.pushFront(late.data(), int(late.size()), at(2, 2));  // latest block first
    q.pushFront(early.data(), int(early.size()), at(0, 2));
    EXPECT_EQ(q.lastPushTime(), kT0);
    EXPECT_EQ(q.frontTimestamp(), kT0 + kF * 4);
    EXPECT_EQ(pop(q, 3, true), 21);
    EXPECT_EQ(pop(q, 2, true), 20);
    unsigned char out[BYTES_IN_FRAME];
    q.popNextInRange(out, at(1), true, false);
    EXPECT_EQ(sample(out, 0), 2047);
    EXPECT_EQ(sample(out, 1023), 1024);
    EXPECT_EQ(q.frontTimestamp(), kT0 + kF);

    q.clear();
    q.pushFront(block.data(), 3000, at(0));
    q.setReverse(false);  // drops the partial frame at the front
    EXPECT_EQ(q.size(), BYTES_IN_FRAME);
}

TEST(AudioFrameQueue, RangedPushesOutsideTheBoundsAreRefused)
{
    AudioFrameQueue q(NTPTimestamp::fromMilliseconds(20));
    q.setBounds(at(0, 10));
    Bytes data = frames(1, 5);
    LogCapture log;
    q.pushBack(data.data(), BYTES_IN_FRAME, at(11));
    q.pushFront(data.data(), BYTES_IN_FRAME, at(11));
    const QString bounds = "\"" + kT0.toString(false) + "\" \"" + (kT0 + kF * 10).toString(false) + "\"";
    EXPECT_EQ(log.count(QtWarningMsg, "AudioFrameQueue::pushBack : Did not add. Range does not fit in bounds " + bounds), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "Range does not fit in bounds " + bounds), 2);
    EXPECT_TRUE(q.isEmpty());
    EXPECT_TRUE(q.lastPushTime().isNull());
    q.pushBack(data.data(), BYTES_IN_FRAME, at(9, 2));  // overlaps the end
    q.pushBack(data.data(), BYTES_IN_FRAME, kT0 + kF * 20);  // live: unbounded
    EXPECT_EQ(q.size(), 2 * BYTES_IN_FRAME);
}

}  // namespace
