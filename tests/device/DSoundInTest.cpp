#include "DSoundIn.h"
#include "LogCapture.h"
#include "ScriptedDeviceTest.h"
#include "ScopedEnvironment.h"

#include <QByteArray>
#include <QVector>
#include <tuple>

class DSoundInTest : public ScriptedDeviceTest
{
protected:
    // Starts `in` over a ring with a recognisable byte at every offset.
    ScriptedSoundBackend* started(DSoundIn& in)
    {
        EXPECT_TRUE(in.start());
        EXPECT_EQ(backends.size(), 1);
        ScriptedSoundBackend* backend = backends.value(0);
        for (quint32 i = 0; backend && i < backend->ringBytes(); ++i)
            backend->ring()[i] = quint8(i * 7 + i / 251);
        clock.clearSleeps();
        return backend;
    }
    static QByteArray ringBytes(SoundBackend* backend, quint32 offset, int count)
    {
        QByteArray out;
        for (int i = 0; i < count; ++i)
            out.append(char(backend->ring()[(offset + quint32(i)) % backend->ringBytes()]));
        return out;
    }
    unsigned char* out() { return reinterpret_cast<unsigned char*>(data.data()); }

    QByteArray data = QByteArray(24000, 0);
};

TEST_F(DSoundInTest, RingHolds125msOfTheRequestedFormat)
{
    DSoundIn mono(48000, 2, 1, true);
    DSoundIn stereo(48000, 2, 2, true);
    ASSERT_TRUE(mono.start() && stereo.start());
    ASSERT_EQ(requests.size(), 2);
    EXPECT_EQ(requests[0].ringBytes, 12000u);
    EXPECT_EQ(std::make_tuple(requests[1].direction, requests[1].format.channels, requests[1].ringBytes),
              std::make_tuple(SoundBackend::DIRECTION_CAPTURE, 2u, 24000u));
    EXPECT_TRUE(backends[0]->started);
}

TEST_F(DSoundInTest, ReadsFramesInOrderAndWrapsAroundTheRing)
{
    DSoundIn in(48000, 2, 1, false);
    ScriptedSoundBackend* backend = started(in);
    backend->fixedPosition = 3000;
    EXPECT_EQ(in.available(), 3000);
    EXPECT_EQ(in.read(out(), 1500), 1500);
    EXPECT_EQ(data.left(3000), ringBytes(backend, 0, 3000));
    // Not blocking: too little recorded returns at once.
    EXPECT_EQ(in.available(), 0);
    EXPECT_EQ(in.read(out(), 1), 0);
    EXPECT_TRUE(clock.sleeps().isEmpty());

    // Move the reader close to the end, then across it: tail, then head.
    backend->fixedPosition = 11000;
    EXPECT_EQ(in.read(out(), 3900), 3900);
    backend->fixedPosition = 1000;
    EXPECT_EQ(in.available(), 2200);
    EXPECT_EQ(in.takeCaptureBytes(out(), 2200), 2200);
    EXPECT_EQ(data.left(2200), ringBytes(backend, 10800, 2200));

    // The cursor went round the ring and stands just behind the reader.
    backend->fixedPosition = 500;
    EXPECT_EQ(in.available(), 11500);
    EXPECT_EQ(in.read(out(), 1500), 1500);
    EXPECT_EQ(data.left(3000), ringBytes(backend, 1000, 3000));
}

TEST_F(DSoundInTest, BlockingReadWaitsInTwoMillisecondSteps)
{
    // 48 frames of mono 16-bit per millisecond.
    prepare = [](ScriptedSoundBackend* b) { b->script = [](quint64 us) { return quint32(us / 1000 * 96); }; };
    DSoundIn in(48000, 2, 1, true);
    ScriptedSoundBackend* backend = started(in);
    EXPECT_EQ(in.read(out(), 1500), 1500);
    // 3000 bytes are there after 31.25 ms: 16 sleeps of 2 ms.
    EXPECT_EQ(clock.sleeps(), QVector<quint32>(16, 2).toList());
    EXPECT_EQ(data.left(3000), ringBytes(backend, 0, 3000));
}

TEST_F(DSoundInTest, ReadsAsLargeAsTheRingAreRefused)
{
    for (bool blocking : {false, true}) {
        backends.clear();
        DSoundIn in(48000, 2, 1, blocking);
        started(in)->fixedPosition = 11998;
        LogCapture log;
        EXPECT_EQ(in.read(out(), 6000), 0);
        EXPECT_EQ(in.takeCaptureBytes(out(), 12002), -1);
        EXPECT_EQ(log.count(QtCriticalMsg, "DSoundIn::takeCaptureBytes() : cannot take 12000 bytes because capture "
                                           "buffer has only 12000 bytes"),
                  1);
        EXPECT_EQ(log.count(QtCriticalMsg, "cannot take 12002 bytes"), 1);
        EXPECT_TRUE(clock.sleeps().isEmpty());
        // One frame less fits.
        EXPECT_EQ(in.takeCaptureBytes(out(), 11998), 11998);
    }
}

TEST_F(DSoundInTest, UnstartedObjectTakesNothingWithoutALogLine)
{
    DSoundIn in(48000, 2, 1, true);
    LogCapture log;
    EXPECT_EQ(in.takeCaptureBytes(out(), 3000), -1);
    EXPECT_EQ(in.read(out(), 1500), 0);
    EXPECT_EQ(in.available(), 0);
    EXPECT_TRUE(log.entries().isEmpty());
}

TEST_F(DSoundInTest, StartFailuresAreLogged)
{
    auto startFails = [](QtMsgType type, const char* text) {
        DSoundIn in(48000, 2, 1, true);
        LogCapture log;
        EXPECT_FALSE(in.start());
        EXPECT_EQ(log.count(type, text), 1) << text;
    };
    allowedBackends = 0;
    startFails(QtDebugMsg, "DSoundIn::start() : creation of capture buffer failed: 80004005");
    allowedBackends = 1000;
    prepare = [](ScriptedSoundBackend* b) { b->refuseStart = true; };
    startFails(QtCriticalMsg, "DSoundIn::start() : Could not start buffer!");
    // Without a maker the configured device counts; this one does not exist.
    useConfiguredDevices();
    ScopedEnvironment env("OSTKAVEX_INPUT_DEVICE", "no such microphone");
    startFails(QtCriticalMsg, "DSoundIn::start() : creation of capture device failed");
}
