#include "PcmDevice.h"
#include "DSoundOut.h"
#include "LogCapture.h"
#include "ScriptedSoundBackend.h"

#include <QByteArray>

#include <memory>
#include <tuple>
#include <vector>

// The output path: DSoundOut filling a ring behind the cursor, and PcmDevice over it.
using B = ScriptedSoundBackend;
constexpr auto OUT = PcmDevice::DirectionOutput, IN = PcmDevice::DirectionInput;
constexpr int kRing = int(DSoundOut::RING_BYTES);

class DSoundOutTest : public ScriptedDeviceTest
{
protected:
    // Starts an output over a ring of noise whose cursor is at `first`, from `afterUs` on at `then`; clears the sleeps.
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
    // Puts a chunk of `value` bytes: the result and the status, which was 9 before.
    static std::pair<bool, unsigned int> put(DSoundOut& out, char value)
    {
        QByteArray data(int(DSoundOut::BLOCK_BYTES), value);
        unsigned int status = 9;
        return {out.putNextChunk(reinterpret_cast<unsigned char*>(data.data()), &status), status};
    }
    static QByteArray ring(B* backend) { return QByteArray(reinterpret_cast<const char*>(backend->ring()), kRing); }
};

TEST_F(DSoundOutTest, WaitsForTheCursorToLeaveItsBlockThenFillsTheBlockJustPlayed)
{
    // The ring of eight blocks starts silent. The first chunk goes four blocks after the cursor's block b, once the
    // cursor has entered b + 1: the first sleep, (1073 - frame) / 48 ms, ends about 1 ms after b, then 1 ms steps.
    const std::vector<std::tuple<quint32, quint32, quint64, QList<quint64>>> cases = {
        {B::at(2, 0), B::at(3, 0), 1, {22000}},
        {B::at(2, 500), B::at(3, 0), 1, {11000}},
        {B::at(2, 976), B::at(3, 0), 1, {2000}},
        {B::at(2, 1000), B::at(3, 0), 1, {1000}},
        {B::at(7, 100), B::at(0, 5), 1, {20000}},
        {B::at(0, 100), B::at(1, 5), 1, {20000}},
        {B::at(1, 100), B::at(2, 5), 1, {20000}},
        // The cursor reaches the next block 8 ms after the call, late by 5 ms.
        {B::at(1, 900), B::at(2, 0), 8000, {3000, 1000, 1000, 1000, 1000, 1000}},
    };
    for (const auto& [first, then, afterUs, sleepsUs] : cases) {
        SCOPED_TRACE(testing::Message() << "cursor " << first << " then " << then);
        const int target = int(first / 4096 + 4) % 8;
        DSoundOut out(clock, cards());
        B* backend = started(out, first, then, afterUs);
        EXPECT_TRUE(out.start() && backend->started && backends.size() == 1);  // a second start changes nothing
        EXPECT_EQ(put(out, char(0x40 + target)), std::make_pair(true, 0u));
        EXPECT_EQ(clock.sleepsUs(), sleepsUs);
        const QByteArray chunk(4096, char(0x40 + target));
        EXPECT_EQ(ring(backend), QByteArray(kRing, 0).replace(target * 4096, 4096, chunk));
    }
}

TEST_F(DSoundOutTest, FailedStartsAndBrokenRingsLoseTheChunkButKeepThePace)
{
    // A start that fails stays failed without a word; puts only pace.
    prepare = [](B* b) { b->refuseStart = true; };
    DSoundOut failed(clock, cards());
    LogCapture log;
    EXPECT_FALSE(failed.start() || failed.start());
    EXPECT_EQ(ringRequests, 1);  // the second start did not try again
    EXPECT_EQ(put(failed, 1), std::make_pair(true, 9u));
    EXPECT_EQ(clock.sleepsUs(), QList<quint64>{21000});

    DSoundOut out(clock, cards());
    B* backend = started(out, B::at(0, 0), B::at(0, 0));
    EXPECT_EQ(put(out, 1), std::make_pair(false, 9u));
    EXPECT_EQ(clock.sleepsUs(), QList<quint64>{22000} + QVector<quint64>(101, 1000).toList());
    EXPECT_EQ(ring(backend), QByteArray(kRing, 0));

    // Stuck in the block's last millisecond: the first sleep, then naps of 0.1 ms, the clock checked every 1000.
    DSoundOut spinning(clock, cards());
    backend = started(spinning);
    backend->script = nullptr;  // the cursor reads no clock: every reading of it is the device's
    backend->fixedPosition = B::at(3, 1000);
    EXPECT_FALSE(put(spinning, 1).first);
    EXPECT_EQ(clock.sleepsUs().mid(0, 2), (QList<quint64>{1000, 100}));
    EXPECT_NEAR(double(clock.sleptUs()), 201000, 500);  // broken once 100 ms have passed at a check

    const QString broken = "1: DSoundOut::putNextChunk: loopCount%1 exceeded DSoundOut object seems to be broken\n";
    EXPECT_EQ(log.dump().toStdString(), (broken.arg("") + broken.arg("2")).toStdString());
}

class PcmDeviceTest : public ScriptedDeviceTest
{
protected:
    // A stereo output or a mono input of 16-bit samples at 48 kHz.
    std::unique_ptr<PcmDevice> open(PcmDevice::eDirection direction, bool blocking = true,
                                    PcmDevice::eSampleWidth width = PcmDevice::SampleWidth16)
    {
        const int channels = direction == OUT ? 2 : 1;
        return std::unique_ptr<PcmDevice>(PcmDevice::open(direction, 48000, width, channels, blocking, clock, cards()));
    }
    std::vector<unsigned char> m_chunk = std::vector<unsigned char>(4096, 0x11);
};

TEST_F(PcmDeviceTest, OpenFailuresAreLoggedAndReturnNothing)
{
    // What fails, and what the output or capture says about it on its own.
    enum Failure { BAD_WIDTH, NO_CARD, NO_CAPS, NO_STEREO48, NO_RING, NO_START };
    const std::vector<std::tuple<PcmDevice::eDirection, Failure, const char*>> cases = {
        {OUT, BAD_WIDTH, ""},
        {OUT, NO_CARD, ""},
        {OUT, NO_RING, ""},
        {OUT, NO_START, ""},
        {IN, NO_CARD, "2: DSoundIn::start() : creation of capture device failed\n"},
        {IN, NO_CAPS, "2: DSoundIn::start() : not able to read capabilities of the capture device\n"},
        // Without 48 kHz stereo no format is prepared, and the card refuses the empty one.
        {IN, NO_STEREO48, "0: DSoundIn::start() : creation of capture buffer failed: 88780064\n"},
        {IN, NO_RING, "0: DSoundIn::start() : creation of capture buffer failed: 80004005\n"},
        {IN, NO_START, "2: DSoundIn::start() : Could not start buffer!\n"},
    };
    for (const auto& [direction, failure, says] : cases) {
        cardExists = failure != NO_CARD;
        capsReadable = failure != NO_CAPS;
        takesStereo48 = failure != NO_STEREO48;
        allowedBackends = failure == NO_RING ? ringRequests : 1000;
        prepare = [refuse = failure == NO_START](B* b) { b->refuseStart = refuse; };
        const auto width = failure == BAD_WIDTH ? PcmDevice::eSampleWidth(3) : PcmDevice::SampleWidth16;
        LogCapture log;
        EXPECT_EQ(open(direction, true, width), nullptr);
        const QString side = direction == OUT ? "DSoundOut" : "DSoundIn";
        const QString start = failure == BAD_WIDTH ? "" : "2: PcmDevice::PcmDevice(): could not start " + side + "\n";
        const QString tried = "0: PcmDevice::open: Trying to open PCM device with params %1 48000 %2 %3 true\n";
        const QString expected = tried.arg(direction).arg(width).arg(direction == OUT ? 2 : 1) + says + start +
                                 "1: PcmDevice::open: Failed to open PCM device\n";
        EXPECT_EQ(log.dump().toStdString(), expected.toStdString());
        EXPECT_TRUE(failure != BAD_WIDTH || ringRequests == 0);  // a bad width fails before a card is asked for
    }
}

TEST_F(PcmDeviceTest, NonBlockingOutputWritesNothingAndOutputReadsSilence)
{
    std::unique_ptr<PcmDevice> device = open(OUT, false);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->write(m_chunk.data(), 1024, nullptr), 0);
    EXPECT_TRUE(clock.sleepsUs().isEmpty());
    QByteArray data(100, 0x7f);
    EXPECT_EQ(device->read(reinterpret_cast<unsigned char*>(data.data()), 60), 60);
    EXPECT_EQ(data, QByteArray(60, 0) + QByteArray(40, 0x7f));
}

TEST_F(PcmDeviceTest, BrokenOutputIsRebuiltElseWritesPaceOnAGridOf64Over3ms)
{
    const quint64 startMs = 0xFFFFFFFFull - 30;  // just before the millisecond clock wraps, to cross the wrap
    clock.setNowUs(startMs * 1000);
    // The first card stalls, its replacement runs in real time on the test clock; a third cannot be made.
    const auto runningCursor = [](quint64 us) { return quint32(us * 48 / 1000 * 4); };
    prepare = [this, runningCursor](B* b) { b->script = backends.isEmpty() ? decltype(b->script)() : runningCursor; };
    allowedBackends = 2;
    std::unique_ptr<PcmDevice> device = open(OUT);
    ASSERT_TRUE(device);
    LogCapture log;
    EXPECT_EQ(device->write(m_chunk.data(), 1024, nullptr), 1024);
    ASSERT_TRUE(backends.size() == 2 && backends[1]->started);
    unsigned int status = 3;
    EXPECT_EQ(std::make_pair(device->write(m_chunk.data(), 1024, &status), status), std::make_pair(1024, 0u));
    EXPECT_TRUE(std::equal(m_chunk.begin(), m_chunk.end(), backends[1]->ring() + 4 * 4096));
    backends[1]->script = nullptr;  // the replacement stalls as well and cannot be replaced
    EXPECT_EQ(device->write(m_chunk.data(), 1024, nullptr), 1024);

    // Ms after the start, and the sleep; before the start (-10) the start moves back onto the grid, which stays.
    const QList<QPair<int, int>> steps{{0, 21}, {20, 1}, {21, 21}, {42, 22}, {-10, 10}, {0, 21}, {62, 2}, {63, 22}};
    for (const auto& step : steps) {
        clock.setNowUs(quint64(qint64(startMs) + step.first) * 1000);
        clock.clearSleeps();
        EXPECT_EQ(device->write(m_chunk.data(), 1024, nullptr), 1024);
        EXPECT_EQ(clock.sleepsUs(), QList<quint64>{quint64(step.second) * 1000}) << "at " << step.first << " ms";
    }
    EXPECT_EQ(ringRequests, 2);  // a rebuilt output that breaks before it proved itself is not rebuilt at once
    const QString broken = "1: DSoundOut::putNextChunk: loopCount exceeded DSoundOut object seems to be broken\n";
    EXPECT_EQ(log.dump().toStdString(),
              (broken + "1: PcmDevice::write putNextChunk failed, reinstantiating DSoundOut\n" + broken +
               "1: PcmDevice::write: sound output lost, pacing without it and trying it again in the background\n")
                  .toStdString());
}
