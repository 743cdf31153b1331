#include "DSoundIn.h"
#include "LogCapture.h"
#include "ScriptedDeviceTest.h"
#include "ScopedEnvironment.h"

#include <QByteArray>

namespace {
// A recognisable byte at every offset of a ring.
void number(SoundBackend* backend)
{
    for (quint32 i = 0; i < backend->ringBytes(); ++i)
        backend->ring()[i] = quint8(i * 7 + i / 251);
}

QByteArray ringBytes(SoundBackend* backend, quint32 offset, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out.append(char(backend->ring()[(offset + quint32(i)) % backend->ringBytes()]));
    return out;
}
}  // namespace

class DSoundInTest : public ScriptedDeviceTest
{
protected:
    ScriptedSoundBackend* started(DSoundIn& in)
    {
        EXPECT_TRUE(in.start());
        EXPECT_EQ(backends.size(), 1);
        ScriptedSoundBackend* backend = backends.value(0);
        if (backend)
            number(backend);
        clock.clearSleeps();
        return backend;
    }
};

TEST_F(DSoundInTest, RingHolds125msOfTheRequestedFormat)
{
    DSoundIn mono(48000, 2, 1, true);
    DSoundIn stereo(48000, 2, 2, true);
    ASSERT_TRUE(mono.start());
    ASSERT_TRUE(stereo.start());
    ASSERT_EQ(requests.size(), 2);
    EXPECT_EQ(requests[0].ringBytes, 12000u);
    EXPECT_EQ(requests[1].ringBytes, 24000u);
    EXPECT_EQ(requests[1].direction, SoundBackend::DIRECTION_CAPTURE);
    EXPECT_EQ(requests[1].format.channels, 2u);
    EXPECT_TRUE(backends[0]->started);
}

TEST_F(DSoundInTest, ReadsFramesInOrderAndWrapsAroundTheRing)
{
    DSoundIn in(48000, 2, 1, false);
    ScriptedSoundBackend* backend = started(in);
    QByteArray data(12000, 0);
    auto* out = reinterpret_cast<unsigned char*>(data.data());

    backend->fixedPosition = 3000;
    EXPECT_EQ(in.available(), 3000);
    EXPECT_EQ(in.read(out, 1500), 1500);
    EXPECT_EQ(data.left(3000), ringBytes(backend, 0, 3000));
    // Not blocking: too little recorded returns at once.
    EXPECT_EQ(in.available(), 0);
    EXPECT_EQ(in.read(out, 1), 0);
    EXPECT_TRUE(clock.sleeps().isEmpty());

    // Move the reader close to the end, then across it: tail, then head.
    backend->fixedPosition = 11000;
    EXPECT_EQ(in.read(out, 3900), 3900);
    backend->fixedPosition = 1000;
    EXPECT_EQ(in.available(), 2200);
    EXPECT_EQ(in.takeCaptureBytes(out, 2200), 2200);
    EXPECT_EQ(data.left(1200), ringBytes(backend, 10800, 1200));
    EXPECT_EQ(data.mid(1200, 1000), ringBytes(backend, 0, 1000));
    EXPECT_EQ(data.left(2200), ringBytes(backend, 10800, 2200));
}

TEST_F(DSoundInTest, BlockingReadWaitsInTwoMillisecondSteps)
{
    // 48 frames of mono 16-bit per millisecond.
    prepare = [](ScriptedSoundBackend* b) { b->script = [](quint64 us) { return quint32(us / 1000 * 96); }; };
    DSoundIn in(48000, 2, 1, true);
    ScriptedSoundBackend* backend = started(in);
    QByteArray data(3000, 0);
    EXPECT_EQ(in.read(reinterpret_cast<unsigned char*>(data.data()), 1500), 1500);
    // 3000 bytes are there after 31.25 ms: 16 sleeps of 2 ms.
    QList<quint32> expected;
    for (int i = 0; i < 16; ++i)
        expected.append(2);
    EXPECT_EQ(clock.sleeps(), expected);
    EXPECT_EQ(data, ringBytes(backend, 0, 3000));
}

TEST_F(DSoundInTest, ReadsAsLargeAsTheRingAreRefused)
{
    for (bool blocking : {false, true}) {
        backends.clear();
        DSoundIn in(48000, 2, 1, blocking);
        ScriptedSoundBackend* backend = started(in);
        backend->fixedPosition = 11998;
        QByteArray data(24000, 0);
        auto* out = reinterpret_cast<unsigned char*>(data.data());
        LogCapture log;
        EXPECT_EQ(in.read(out, 6000), 0);
        EXPECT_EQ(in.takeCaptureBytes(out, 12002), -1);
        EXPECT_EQ(log.count(QtCriticalMsg,
                            "DSoundIn::takeCaptureBytes() : cannot take 12000 bytes because capture buffer has only "
                            "12000 bytes"),
                  1);
        EXPECT_EQ(log.count(QtCriticalMsg, "cannot take 12002 bytes"), 1);
        EXPECT_TRUE(clock.sleeps().isEmpty());
        // One frame less fits.
        EXPECT_EQ(in.takeCaptureBytes(out, 11998), 11998);
    }
}

TEST_F(DSoundInTest, ReaderThatFallsBehindReadsOnFromItsOffset)
{
    DSoundIn in(48000, 2, 1, false);
    ScriptedSoundBackend* backend = started(in);
    QByteArray data(3000, 0);
    auto* out = reinterpret_cast<unsigned char*>(data.data());
    backend->fixedPosition = 4000;
    EXPECT_EQ(in.read(out, 1000), 1000);
    // The cursor went round the ring and stands just behind the reader.
    backend->fixedPosition = 1000;
    EXPECT_EQ(in.available(), 11000);
    EXPECT_EQ(in.read(out, 1500), 1500);
    EXPECT_EQ(data, ringBytes(backend, 2000, 3000));
}

TEST_F(DSoundInTest, UnstartedObjectTakesNothingWithoutALogLine)
{
    DSoundIn in(48000, 2, 1, true);
    QByteArray data(3000, 0);
    LogCapture log;
    EXPECT_EQ(in.takeCaptureBytes(reinterpret_cast<unsigned char*>(data.data()), 3000), -1);
    EXPECT_EQ(in.read(reinterpret_cast<unsigned char*>(data.data()), 1500), 0);
    EXPECT_EQ(in.available(), 0);
    EXPECT_TRUE(log.entries().isEmpty());
}

TEST_F(DSoundInTest, StartFailuresAreLogged)
{
    {
        allowedBackends = 0;
        DSoundIn in(48000, 2, 1, true);
        LogCapture log;
        EXPECT_FALSE(in.start());
        EXPECT_EQ(log.count(QtDebugMsg, "DSoundIn::start() : creation of capture buffer failed: 80004005"), 1);
    }
    {
        allowedBackends = 1000;
        prepare = [](ScriptedSoundBackend* b) { b->refuseStart = true; };
        DSoundIn in(48000, 2, 1, true);
        LogCapture log;
        EXPECT_FALSE(in.start());
        EXPECT_EQ(log.count(QtCriticalMsg, "DSoundIn::start() : Could not start buffer!"), 1);
    }
    {
        // Without a maker the configured device counts; this one does not exist.
        SoundBackendFactory::setMaker({});
        ScopedEnvironment env("OSTKAVEX_INPUT_DEVICE", "no such microphone");
        DSoundIn in(48000, 2, 1, true);
        LogCapture log;
        EXPECT_FALSE(in.start());
        EXPECT_EQ(log.count(QtCriticalMsg, "DSoundIn::start() : creation of capture device failed"), 1);
    }
}
