#include "AudioFrameQueue.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <QFile>

#include <deque>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

using AudioFrameDefs::BYTES_IN_FRAME, AudioFrameDefs::MAX_BYTES_IN_QUEUE;
using Samples = std::vector<qint16>;

const NTPTimestamp kT0 = NTPTimestamp::fromMilliseconds(3900000000000ULL);
const NTPTimestamp kF = AudioFrameDefs::frameDuration();
const QString kFull = "AudioFrameQueue::pushBack(): queue is full";
constexpr int kSilence = 0;  // every frame pushed for slot pops starts non-zero

const auto at = [](int k, int count = 1) { return NTPRange(kT0 + kF * k, kT0 + kF * (k + count)); };
const auto bytes = [](Samples& s) { return reinterpret_cast<unsigned char*>(s.data()); };

// `count` frames of 1024 samples; sample i holds first + i / 1024 (ramp: first + i).
const auto frames = [](int count, int first, bool ramp = false) {
    Samples data(size_t(count) * BYTES_IN_FRAME / 2);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = qint16(first + (ramp ? int(i) : int(i) / 1024));
    return data;
};

const auto push = [](AudioFrameQueue& q, int k, int count, int first) {
    Samples data = frames(count, first);
    q.pushBack(bytes(data), count * BYTES_IN_FRAME, at(k, count));
};

// The frame handed out by popNext (`range` null) or popNextInRange.
Samples take(AudioFrameQueue& q, const NTPRange& range = {}, bool reverse = false, bool live = false)
{
    Samples out(BYTES_IN_FRAME / 2);
    if (range.isNull())
        q.popNext(bytes(out), at(0), false);
    else
        q.popNextInRange(bytes(out), range, reverse, live);
    return out;
}

// popNextInRange for frame slot k: the first sample handed out (0: silence).
const auto pop = [](AudioFrameQueue& q, int k, bool reverse = false, bool live = false) -> int {
    return take(q, at(k), reverse, live)[0];
};

TEST(AudioFrameQueue, FillsToCapacityAndKeepsOrderAndStampsAcrossTheWrapAndBetweenBlocks)
{
    AudioFrameQueue q(NTPTimestamp::fromMilliseconds(20));
    for (int i = 0; i < 4; ++i)
        push(q, 700 * i, 700, 700 * i);
    LogCapture log;
    push(q, 2800, 1, 2800);
    EXPECT_EQ(std::make_tuple(q.size(), log.count(QtWarningMsg, kFull)), std::make_tuple(MAX_BYTES_IN_QUEUE, 1));
    for (int k = 0; k < 10; ++k)
        take(q);
    push(q, 2800, 10, 2800);  // lands at the start of the ring
    for (int k = 10; k < 2810; ++k) {
        ASSERT_EQ(q.frontTimestamp(), kT0 + kF * k) << k;
        const Samples out = take(q);
        ASSERT_EQ(std::make_pair(out[0], out[1023]), std::make_pair(qint16(k), qint16(k)));
    }
    EXPECT_TRUE(q.isEmpty());

    // A live block is cut to the free space; it does not set the last push time.
    Samples big = frames(MAX_BYTES_IN_QUEUE / BYTES_IN_FRAME, 0);
    q.pushBack(bytes(big), MAX_BYTES_IN_QUEUE - 1000, kT0);
    q.pushBack(bytes(big), 3000, kT0);
    EXPECT_EQ(std::make_tuple(log.count(QtWarningMsg, kFull), q.size(), q.lastPushTime()),
              std::make_tuple(2, MAX_BYTES_IN_QUEUE, kT0 + kF * 2800));

    // Only frames that begin inside a block get a time stamp from it.
    q.clear();
    const NTPTimestamp s = kT0, e = s + NTPTimestamp::fromMilliseconds(1000), e2 = e + (e - s);
    Samples block(1500);
    q.pushBack(bytes(block), 3000, NTPRange(s, e));
    q.pushBack(bytes(block), 3000, NTPRange(e, e2));
    EXPECT_EQ(q.frontTimestamp(), s);
    take(q);
    EXPECT_EQ(q.frontTimestamp(), s + (e - s) * 2048 / 3000);  // began in the first block
    take(q);
    EXPECT_EQ(std::make_tuple(q.frontTimestamp(), q.lastPushTime()),
              std::make_tuple(e + (e2 - e) * (4096 - 3000) / 3000, e));
}

// Ranged pops repeat a frame once, then give silence until one is due; live pops keep at most three frames.
TEST(AudioFrameQueue, RepeatsOnceThenSilenceUntilTheFrameIsDueAndLiveCatchUpKeepsThreeFrames)
{
    AudioFrameQueue q(NTPTimestamp::fromMilliseconds(20));
    push(q, 0, 1, 1);
    std::vector<int> got{pop(q, 0), pop(q, 1)};  // a braced list pops in order; empty: the repeat stays available
    push(q, 10, 1, 2);
    got.insert(got.end(), {pop(q, 2), pop(q, 3), pop(q, 10)});
    push(q, 20, 1, 3);
    got.insert(got.end(), {pop(q, 11), pop(q, 12)});
    EXPECT_EQ(got, (std::vector<int>{1, kSilence, 1, kSilence, 2, 2, kSilence}));  // each real pop allows one repeat

    AudioFrameQueue live(NTPTimestamp::fromMilliseconds(60));
    push(live, 0, 40, 1);
    LogCapture log;
    EXPECT_EQ((std::vector<int>{pop(live, 0, false, true), live.size()}), (std::vector<int>{1, 3 * BYTES_IN_FRAME}));
    const QString line = "AudioFrameQueue::popNextInRange(): drop frame " + kT0.toString(false) + " --> " +
                         (kT0 + kF).toString(false) + ", bReverse = false, size = ";
    EXPECT_EQ(std::make_tuple(log.count(QtDebugMsg, line), log.count(QtDebugMsg, line + "4")),
              std::make_tuple(36, 1));         // the last drop, 4 frames left
    EXPECT_EQ(pop(live, 0, false, true), 38);  // the oldest were dropped
    live.clear();
    push(live, 50, 31, 100);  // 30 frames left are no backlog
    EXPECT_EQ((std::vector<int>{pop(live, 0, false, true), live.size()}), (std::vector<int>{100, 30 * BYTES_IN_FRAME}));
}

TEST(AudioFrameQueue, ReverseTakesFramesFromTheBackSamplesLastFirstAndBoundsRefuseOutsidePushes)
{
    AudioFrameQueue q(NTPTimestamp::fromMilliseconds(20));
    Samples block(1500), late = frames(2, 20), early = frames(2, 0, true);
    q.pushBack(bytes(block), 3000, at(0));
    q.setReverse(true);  // drops the partial frame at the back
    EXPECT_EQ(q.size(), BYTES_IN_FRAME);
    q.clear();
    q.pushFront(bytes(late), 2 * BYTES_IN_FRAME, at(2, 2));  // latest block first
    q.pushFront(bytes(early), 2 * BYTES_IN_FRAME, at(0, 2));
    EXPECT_EQ(std::make_tuple(q.lastPushTime(), q.frontTimestamp()), std::make_tuple(kT0, kT0 + kF * 4));
    EXPECT_EQ((std::vector<int>{pop(q, 3, true), pop(q, 2, true)}), (std::vector<int>{21, 20}));
    const Samples out = take(q, at(1), true);
    EXPECT_EQ(std::make_tuple(out[0], out[1023], q.frontTimestamp()), std::make_tuple(2047, 1024, kT0 + kF));
    q.clear();
    q.pushFront(bytes(block), 3000, at(0));
    q.setReverse(false);  // drops the partial frame at the front
    EXPECT_EQ(q.size(), BYTES_IN_FRAME);

    // Ranged pushes outside the bounds are refused at either end.
    q.clear();
    q.setBounds(at(0, 10));
    LogCapture log;
    q.pushBack(bytes(late), BYTES_IN_FRAME, at(11));
    q.pushFront(bytes(late), BYTES_IN_FRAME, at(11));
    const QString bounds = "\"" + kT0.toString(false) + "\" \"" + (kT0 + kF * 10).toString(false) + "\"";
    EXPECT_EQ(std::make_tuple(log.count(QtWarningMsg, "Range does not fit in bounds " + bounds),
                              log.count(QtWarningMsg, "AudioFrameQueue::pushBack : Did not add. Range does not fit")),
              std::make_tuple(2, 1));
    EXPECT_TRUE(q.isEmpty() && q.lastPushTime().isNull());
    q.pushBack(bytes(late), BYTES_IN_FRAME, at(9, 2));       // overlaps the end
    q.pushBack(bytes(late), BYTES_IN_FRAME, kT0 + kF * 20);  // live: unbounded
    EXPECT_EQ(q.size(), 2 * BYTES_IN_FRAME);
}

// 40 s of 20 ms packets through 32 queues kept nine frames long, as a live stream's: every frame comes out
// whole, in order, with its time, and only the start of each ring becomes resident (3.75 MiB without reuse).
TEST(AudioFrameQueue, ShortLiveQueuesKeepEverySampleAndTimeAndStayMostlyUnresident)
{
    const auto peakKiB = [] {
        rusage usage{};
        return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
    };
    const long before = peakKiB();
    std::deque<AudioFrameQueue> queues;
    while (queues.size() < 32)
        queues.emplace_back(NTPTimestamp::fromMilliseconds(60));
    for (int p = 0, frame = 0; p < 2000; ++p) {
        Samples packet = frames(1, p * 960, true);  // the first 960 samples go in
        for (AudioFrameQueue& q : queues)
            q.pushBack(bytes(packet), 1920, kT0 + NTPTimestamp::fromMilliseconds(20) * quint64(p));
        for (; (p + 1) * 960 - frame * 1024 >= 10 * 1024; ++frame) {
            for (AudioFrameQueue& q : queues) {
                ASSERT_NEAR(double(q.frontTimestamp().toMicroSeconds()),
                            double((kT0 + kF * quint64(frame)).toMicroSeconds()), 1.0);
                ASSERT_EQ(take(q, at(frame), false, true), frames(1, frame * 1024, true)) << frame;
            }
        }
    }
#if !defined(__SANITIZE_ADDRESS__)
    // (AddressSanitizer's allocator makes far more of every ring resident: nothing to measure there.)
    EXPECT_LT(peakKiB() - before, 32 * 1024);
#endif

    // A queue that is gone gives its ring's pages back, also when the allocator keeps the ring in its heap
    // for the next one (as it does once a larger block was freed): receivers made again add no memory.
    const auto residentKiB = [] {
        QFile status("/proc/self/status");
        status.open(QIODevice::ReadOnly);
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLong();
        return 0L;
    };
    std::make_unique<char[]>(16 << 20)[0] = 1;
    for (int round = 0; round < 3; ++round) {
        auto full = std::make_unique<AudioFrameQueue>(NTPTimestamp::fromMilliseconds(60));
        push(*full, 0, MAX_BYTES_IN_QUEUE / BYTES_IN_FRAME - 1, 1);
        const long filled = residentKiB();
        full.reset();
        EXPECT_GT(filled - residentKiB(), 4 * 1024) << "round " << round;
    }
}

}  // namespace
