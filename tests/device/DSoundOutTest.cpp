#include "DSoundOut.h"
#include "LogCapture.h"
#include "ScriptedDeviceTest.h"

#include <QByteArray>

namespace {
const char* const STALLED = "DSoundOut::putNextChunk: loopCount exceeded DSoundOut object seems to be broken";
const char* const SPINNING = "DSoundOut::putNextChunk: loopCount2 exceeded DSoundOut object seems to be broken";

QByteArray chunk(char value)
{
    return QByteArray(int(DSoundOut::BLOCK_BYTES), value);
}

QList<quint32> repeated(quint32 value, int count)
{
    QList<quint32> out;
    for (int i = 0; i < count; ++i)
        out.append(value);
    return out;
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
    static QByteArray block(ScriptedSoundBackend* backend, quint32 index)
    {
        return QByteArray(reinterpret_cast<const char*>(backend->ring()) + index * DSoundOut::BLOCK_BYTES,
                          int(DSoundOut::BLOCK_BYTES));
    }
};

TEST_F(DSoundOutTest, StartOpensASilentLoopingRingOfFourBlocks)
{
    prepare = [](ScriptedSoundBackend* b) { std::fill(b->ring(), b->ring() + b->ringBytes(), quint8(0x55)); };
    DSoundOut out;
    ScriptedSoundBackend* backend = started(out);
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].direction, SoundBackend::DIRECTION_PLAYBACK);
    EXPECT_EQ(requests[0].ringBytes, 16384u);
    EXPECT_EQ(requests[0].format.sampleRate, 48000u);
    EXPECT_EQ(requests[0].format.channels, 2u);
    EXPECT_EQ(requests[0].format.bytesPerSample, 2u);
    EXPECT_TRUE(backend->started);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(backend->ring()), 16384), QByteArray(16384, 0));
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
    QByteArray data = chunk(1);
    EXPECT_TRUE(out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), &status));
    EXPECT_EQ(clock.sleeps(), QList<quint32>{21});
    EXPECT_EQ(status, 7u);
}

TEST_F(DSoundOutTest, FirstSleepEndsAboutAMillisecondAfterTheBlock)
{
    // (1073 - frame) / 48 ms: the cursor has left the block when it wakes.
    const QList<QPair<quint32, quint32>> cases{{0, 22}, {500, 11}, {976, 2}, {1000, 1}};
    for (const auto& c : cases) {
        backends.clear();
        prepare = [&](ScriptedSoundBackend* b) {
            b->script = [frame = c.first](quint64 us) {
                return us == 0 ? ScriptedSoundBackend::at(2, frame) : ScriptedSoundBackend::at(3, 0);
            };
        };
        DSoundOut out;
        started(out);
        QByteArray data = chunk(1);
        EXPECT_TRUE(out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), nullptr));
        EXPECT_EQ(clock.sleeps(), QList<quint32>{c.second}) << "frame " << c.first;
    }
}

TEST_F(DSoundOutTest, ChunkOverwritesTheBlockJustPlayed)
{
    // The cursor's block after the wait decides: block b gets its chunk in b - 1.
    for (quint32 cursorBlock = 0; cursorBlock < 4; ++cursorBlock) {
        backends.clear();
        prepare = [cursorBlock](ScriptedSoundBackend* b) {
            b->script = [cursorBlock](quint64 us) {
                return us == 0 ? ScriptedSoundBackend::at((cursorBlock + 3) % 4, 100)
                               : ScriptedSoundBackend::at(cursorBlock, 5);
            };
        };
        DSoundOut out;
        ScriptedSoundBackend* backend = started(out);
        unsigned int status = 9;
        QByteArray data = chunk(char(0x40 + cursorBlock));
        ASSERT_TRUE(out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), &status));
        EXPECT_EQ(status, 0u);
        const quint32 target = (cursorBlock + 3) % 4;
        for (quint32 i = 0; i < 4; ++i)
            EXPECT_EQ(block(backend, i), i == target ? data : chunk(0)) << "cursor block " << cursorBlock << ", block " << i;
    }
}

TEST_F(DSoundOutTest, WaitsInMillisecondStepsUntilTheCursorLeavesTheBlock)
{
    // The cursor reaches the next block 8 ms after the call, late by 5 ms.
    prepare = [](ScriptedSoundBackend* b) {
        b->script = [](quint64 us) { return us < 8000 ? ScriptedSoundBackend::at(1, 900) : ScriptedSoundBackend::at(2, 0); };
    };
    DSoundOut out;
    started(out);
    QByteArray data = chunk(3);
    EXPECT_TRUE(out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), nullptr));
    EXPECT_EQ(clock.sleeps(), (QList<quint32>{3, 1, 1, 1, 1, 1}));
}

TEST_F(DSoundOutTest, StalledCursorIsReportedAfter101Sleeps)
{
    DSoundOut out;
    ScriptedSoundBackend* backend = started(out);
    backend->fixedPosition = ScriptedSoundBackend::at(0, 0);
    LogCapture log;
    unsigned int status = 5;
    QByteArray data = chunk(1);
    EXPECT_FALSE(out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), &status));
    EXPECT_EQ(clock.sleeps(), QList<quint32>{22} + repeated(1, 101));
    EXPECT_EQ(log.count(QtWarningMsg, STALLED), 1);
    EXPECT_EQ(log.entries().size(), 1);
    EXPECT_EQ(status, 5u);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(backend->ring()), 16384), QByteArray(16384, 0));
}

TEST_F(DSoundOutTest, BusyWaitInTheLastMillisecondGivesUpAfter100ms)
{
    DSoundOut out;
    ScriptedSoundBackend* backend = started(out);
    backend->fixedPosition = ScriptedSoundBackend::at(3, 1000);
    clock.setAdvancePerReading(50);
    const quint64 begin = clock.monotonicUs();
    LogCapture log;
    QByteArray data = chunk(1);
    EXPECT_FALSE(out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), nullptr));
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
    prepare = [](ScriptedSoundBackend* b) {
        b->script = [](quint64 us) { return us == 0 ? ScriptedSoundBackend::at(1, 0) : ScriptedSoundBackend::at(2, 0); };
    };
    DSoundOut out;
    ScriptedSoundBackend* backend = started(out);
    backend->lost = true;
    LogCapture log;
    unsigned int status = 4;
    QByteArray data = chunk(2);
    EXPECT_TRUE(out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), &status));
    EXPECT_EQ(log.count(QtWarningMsg, "DSoundOut::putNextChunk: IDirectSoundBuffer8::Lock failed error 0x88780096"), 1);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(block(backend, 1), chunk(0));
}
