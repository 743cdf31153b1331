#include "DSoundOut.h"
#include "LogCapture.h"
#include "ScriptedDeviceTest.h"

#include <QByteArray>
#include <QVector>
#include <tuple>

namespace {
const char* const STALLED = "DSoundOut::putNextChunk: loopCount exceeded DSoundOut object seems to be broken";
const char* const SPINNING = "DSoundOut::putNextChunk: loopCount2 exceeded DSoundOut object seems to be broken";

QByteArray chunk(char value)
{
    return QByteArray(int(DSoundOut::BLOCK_BYTES), value);
}
}  // namespace

class DSoundOutTest : public ScriptedDeviceTest
{
protected:
    // Starts `out` and forgets the clock's history of the start.
    ScriptedSoundBackend* started(DSoundOut& out)
    {
        EXPECT_TRUE(out.start());
        EXPECT_EQ(backends.size(), 1);
        clock.clearSleeps();
        return backends.value(0);
    }
    // The cursor of the next backend stands at `first` on start and at `then` from `afterUs` on.
    void cursor(quint32 first, quint32 then, quint64 afterUs = 1)
    {
        backends.clear();
        prepare = [=](ScriptedSoundBackend* b) { b->script = [=](quint64 us) { return us < afterUs ? first : then; }; };
    }
    static bool put(DSoundOut& out, char value, unsigned int* status = nullptr)
    {
        QByteArray data = chunk(value);
        return out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), status);
    }
    static QByteArray ring(ScriptedSoundBackend* backend, quint32 block = 0, quint32 blocks = 4)
    {
        return QByteArray(reinterpret_cast<const char*>(backend->ring()) + block * DSoundOut::BLOCK_BYTES,
                          int(blocks * DSoundOut::BLOCK_BYTES));
    }
};

TEST_F(DSoundOutTest, StartOpensASilentLoopingRingOfFourBlocks)
{
    prepare = [](ScriptedSoundBackend* b) { std::fill(b->ring(), b->ring() + b->ringBytes(), quint8(0x55)); };
    DSoundOut out;
    ScriptedSoundBackend* backend = started(out);
    ASSERT_EQ(requests.size(), 1);
    const Request& r = requests[0];
    EXPECT_EQ(std::make_tuple(r.direction, r.ringBytes, r.format.sampleRate, r.format.channels, r.format.bytesPerSample),
              std::make_tuple(SoundBackend::DIRECTION_PLAYBACK, 16384u, 48000u, 2u, 2u));
    EXPECT_TRUE(backend->started);
    EXPECT_EQ(ring(backend), QByteArray(16384, 0));
    // A second start of a running object changes nothing.
    EXPECT_TRUE(out.start());
    EXPECT_EQ(requests.size(), 1);
}

TEST_F(DSoundOutTest, FailedStartStaysFailedAndOnlyPaces)
{
    allowedBackends = 0;
    DSoundOut out;
    LogCapture log;
    EXPECT_FALSE(out.start());
    EXPECT_FALSE(out.start());
    EXPECT_EQ(requests.size(), 1);  // the second start did not try again
    EXPECT_TRUE(log.entries().isEmpty());
    unsigned int status = 7;
    EXPECT_TRUE(put(out, 1, &status));
    EXPECT_EQ(clock.sleeps(), QList<quint32>{21});
    EXPECT_EQ(status, 7u);
}

TEST_F(DSoundOutTest, WaitsForTheCursorToLeaveItsBlockThenFillsTheBlockJustPlayed)
{
    using B = ScriptedSoundBackend;
    // The first sleep, (1073 - frame) / 48 ms, ends about a millisecond after
    // the cursor's block; then it waits in 1 ms steps. The block the cursor
    // stands in after the wait decides: block b gets its chunk in b - 1.
    const struct {
        quint32 first, then;
        quint64 afterUs;
        QList<quint32> sleeps;
    } cases[] = {
        {B::at(2, 0), B::at(3, 0), 1, {22}},      {B::at(2, 500), B::at(3, 0), 1, {11}},
        {B::at(2, 976), B::at(3, 0), 1, {2}},     {B::at(2, 1000), B::at(3, 0), 1, {1}},
        {B::at(3, 100), B::at(0, 5), 1, {20}},    {B::at(0, 100), B::at(1, 5), 1, {20}},
        {B::at(1, 100), B::at(2, 5), 1, {20}},
        // The cursor reaches the next block 8 ms after the call, late by 5 ms.
        {B::at(1, 900), B::at(2, 0), 8000, {3, 1, 1, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        const quint32 target = (c.then / DSoundOut::BLOCK_BYTES + 3) % 4;
        cursor(c.first, c.then, c.afterUs);
        DSoundOut out;
        ScriptedSoundBackend* backend = started(out);
        unsigned int status = 9;
        ASSERT_TRUE(put(out, char(0x40 + target), &status));
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(clock.sleeps(), c.sleeps) << "cursor " << c.first << " then " << c.then;
        for (quint32 i = 0; i < 4; ++i)
            EXPECT_EQ(ring(backend, i, 1), chunk(i == target ? char(0x40 + target) : 0))
                << "cursor " << c.first << " then " << c.then << ", block " << i;
    }
}

TEST_F(DSoundOutTest, StalledCursorIsReportedAfter101Sleeps)
{
    DSoundOut out;
    ScriptedSoundBackend* backend = started(out);
    backend->fixedPosition = ScriptedSoundBackend::at(0, 0);
    LogCapture log;
    unsigned int status = 5;
    EXPECT_FALSE(put(out, 1, &status));
    EXPECT_EQ(clock.sleeps(), QList<quint32>{22} + QVector<quint32>(101, 1).toList());
    EXPECT_EQ(log.count(QtWarningMsg, STALLED), 1);
    EXPECT_EQ(log.entries().size(), 1);
    EXPECT_EQ(status, 5u);
    EXPECT_EQ(ring(backend), QByteArray(16384, 0));
}

TEST_F(DSoundOutTest, BusyWaitInTheLastMillisecondGivesUpAfter100ms)
{
    DSoundOut out;
    ScriptedSoundBackend* backend = started(out);
    backend->fixedPosition = ScriptedSoundBackend::at(3, 1000);
    clock.setAdvancePerReading(50);
    const quint64 begin = clock.monotonicUs();
    LogCapture log;
    EXPECT_FALSE(put(out, 1));
    // Only the first sleep; the rest is spinning on the clock.
    EXPECT_EQ(clock.sleeps(), QList<quint32>{1});
    EXPECT_EQ(log.count(QtWarningMsg, SPINNING), 1);
    const quint64 spunUs = clock.monotonicUs() - begin - 1000;
    EXPECT_GT(spunUs, 100000u);
    EXPECT_LT(spunUs, 103000u);
    // The clock is only read every 1001 turns of the loop.
    EXPECT_GT(backend->positionReads, 100 * 1000);
}

TEST_F(DSoundOutTest, FailedLockDropsTheChunkButKeepsPlaying)
{
    cursor(ScriptedSoundBackend::at(1, 0), ScriptedSoundBackend::at(2, 0));
    DSoundOut out;
    started(out)->lost = true;
    LogCapture log;
    unsigned int status = 4;
    EXPECT_TRUE(put(out, 2, &status));
    EXPECT_EQ(log.count(QtWarningMsg, "DSoundOut::putNextChunk: IDirectSoundBuffer8::Lock failed error 0x88780096"), 1);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(ring(backends[0]), QByteArray(16384, 0));
}
