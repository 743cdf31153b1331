#include "DSoundOut.h"
#include "LogCapture.h"
#include "ScriptedSoundBackend.h"

#include <QByteArray>
#include <QVector>

using B = ScriptedSoundBackend;
const QString BROKEN = QStringLiteral("DSoundOut::putNextChunk: loopCount%1 exceeded DSoundOut object seems to be broken");

class DSoundOutTest : public ScriptedDeviceTest
{
protected:
    // Starts an output over a ring full of noise whose cursor stands at
    // `first` on start and at `then` from `afterUs` on, and forgets the
    // clock's history of the start.
    B* started(DSoundOut& out, quint32 first = 0, quint32 then = 0, quint64 afterUs = 1)
    {
        backends.clear();
        prepare = [=](B* b) {
            std::fill(b->ring(), b->ring() + b->ringBytes(), quint8(0x55));
            b->script = [=](quint64 us) { return us < afterUs ? first : then; };
        };
        EXPECT_TRUE(out.start());
        clock.clearSleeps();
        return backends.value(0);
    }
    static bool put(DSoundOut& out, char value, unsigned int* status = nullptr)
    {
        QByteArray data(int(DSoundOut::BLOCK_BYTES), value);
        return out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), status);
    }
    static QByteArray ring(B* backend, quint32 block = 0, quint32 blocks = 4)
    {
        return QByteArray(reinterpret_cast<const char*>(backend->ring()) + block * 4096, int(blocks * 4096));
    }
};

TEST_F(DSoundOutTest, FailedStartStaysFailedAndOnlyPaces)
{
    prepare = [](B* b) { b->refuseStart = true; };
    DSoundOut out(clock, cards());
    LogCapture log;
    EXPECT_FALSE(out.start());
    EXPECT_FALSE(out.start());
    EXPECT_EQ(ringRequests, 1);  // the second start did not try again
    EXPECT_TRUE(log.entries().isEmpty());
    unsigned int status = 7;
    EXPECT_TRUE(put(out, 1, &status));
    EXPECT_EQ(clock.sleepsUs(), QList<quint64>{21000});
    EXPECT_EQ(status, 7u);
}

TEST_F(DSoundOutTest, WaitsForTheCursorToLeaveItsBlockThenFillsTheBlockJustPlayed)
{
    // The ring starts silent. The first sleep, (1073 - frame) / 48 ms, ends
    // about a millisecond after the cursor's block; then it waits in 1 ms
    // steps. The block the cursor stands in after the wait decides: block b
    // gets its chunk in b - 1.
    const struct {
        quint32 first, then;
        quint64 afterUs;
        QList<quint64> sleepsUs;
    } cases[] = {
        {B::at(2, 0), B::at(3, 0), 1, {22000}},   {B::at(2, 500), B::at(3, 0), 1, {11000}},
        {B::at(2, 976), B::at(3, 0), 1, {2000}},  {B::at(2, 1000), B::at(3, 0), 1, {1000}},
        {B::at(3, 100), B::at(0, 5), 1, {20000}}, {B::at(0, 100), B::at(1, 5), 1, {20000}},
        {B::at(1, 100), B::at(2, 5), 1, {20000}},
        // The cursor reaches the next block 8 ms after the call, late by 5 ms.
        {B::at(1, 900), B::at(2, 0), 8000, {3000, 1000, 1000, 1000, 1000, 1000}},
    };
    for (const auto& c : cases) {
        const quint32 target = (c.then / 4096 + 3) % 4;
        DSoundOut out(clock, cards());
        B* backend = started(out, c.first, c.then, c.afterUs);
        EXPECT_TRUE(out.start());  // a second start of a running object changes nothing
        EXPECT_TRUE(backend->started && backends.size() == 1);
        unsigned int status = 9;
        ASSERT_TRUE(put(out, char(0x40 + target), &status));
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(clock.sleepsUs(), c.sleepsUs) << "cursor " << c.first << " then " << c.then;
        for (quint32 i = 0; i < 4; ++i)
            EXPECT_EQ(ring(backend, i, 1), QByteArray(4096, i == target ? char(0x40 + target) : 0))
                << "cursor " << c.first << " then " << c.then << ", block " << i;
    }
}

TEST_F(DSoundOutTest, BrokenRingsAreReported)
{
    DSoundOut out(clock, cards());
    B* backend = started(out, B::at(0, 0), B::at(0, 0));
    LogCapture log;
    unsigned int status = 5;
    EXPECT_FALSE(put(out, 1, &status));
    EXPECT_EQ(clock.sleepsUs(), QList<quint64>{22000} + QVector<quint64>(101, 1000).toList());
    EXPECT_EQ(log.count(QtWarningMsg, BROKEN.arg("")), 1);
    EXPECT_EQ(status, 5u);
    EXPECT_EQ(ring(backend), QByteArray(16384, 0));

    // Stuck in the block's last millisecond: only the first sleep, then spinning on the clock.
    DSoundOut spinning(clock, cards());
    backend = started(spinning);
    backend->script = nullptr;  // the cursor reads no clock: every reading of it is the device's
    backend->fixedPosition = B::at(3, 1000);
    clock.setAdvancePerReading(50);
    const quint64 begin = clock.monotonicUs();
    EXPECT_FALSE(put(spinning, 1));
    EXPECT_EQ(clock.sleepsUs(), QList<quint64>{1000});
    EXPECT_EQ(log.count(QtWarningMsg, BROKEN.arg("2")), 1);
    const quint64 spunUs = clock.monotonicUs() - begin - 1000;
    EXPECT_GT(spunUs, 100000u);
    EXPECT_LT(spunUs, 103000u);
    EXPECT_EQ(log.entries().size(), 2);

    // A ring that cannot be locked (the card has gone away) drops the chunk but keeps playing.
    clock.setAdvancePerReading(0);
    DSoundOut lost(clock, cards());
    backend = started(lost, B::at(1, 0), B::at(2, 0));
    backend->lost = true;
    status = 4;
    EXPECT_TRUE(put(lost, 2, &status));
    EXPECT_EQ(log.count(QtWarningMsg, "DSoundOut::putNextChunk: IDirectSoundBuffer8::Lock failed error 0x88780096"), 1);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(ring(backend), QByteArray(16384, 0));
}
