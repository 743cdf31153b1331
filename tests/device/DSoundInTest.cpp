#include "DSoundIn.h"
#include "LogCapture.h"
#include "ScriptedSoundBackend.h"

#include <QByteArray>
#include <QVector>

class DSoundInTest : public ScriptedDeviceTest
{
protected:
    // Starts `in` over a ring with a recognisable byte at every offset.
    ScriptedSoundBackend* started(DSoundIn& in)
    {
        EXPECT_TRUE(in.start());
        ScriptedSoundBackend* backend = backends.value(backends.size() - 1);
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

TEST_F(DSoundInTest, ReadsInOrderAcrossTheEndOfTheRingOf125msRefusingAWholeRing)
{
    DSoundIn stereo(48000, 2, 2, true, clock, cards());
    ASSERT_TRUE(stereo.start());
    EXPECT_EQ(QList<quint32>({quint32(backends[0]->direction()), backends[0]->format().channels, backends[0]->ringBytes()}),
              QList<quint32>({quint32(SoundBackend::DIRECTION_CAPTURE), 2, 24000}));

    DSoundIn in(48000, 2, 1, false, clock, cards());
    {
        // Not started yet: nothing to take, and nothing to say about it.
        LogCapture log;
        EXPECT_EQ(in.takeCaptureBytes(out(), 3000), -1);
        EXPECT_EQ(in.read(out(), 1500), 0);
        EXPECT_EQ(in.available(), 0);
        EXPECT_TRUE(log.entries().isEmpty());
    }
    ScriptedSoundBackend* backend = started(in);
    ASSERT_EQ(backend->ringBytes(), 12000u);
    EXPECT_TRUE(backend->started);
    backend->fixedPosition = 3000;
    EXPECT_EQ(in.available(), 3000);
    EXPECT_EQ(in.read(out(), 1500), 1500);
    EXPECT_EQ(data.left(3000), ringBytes(backend, 0, 3000));
    // Not blocking: too little recorded returns at once.
    EXPECT_EQ(in.available(), 0);
    EXPECT_EQ(in.read(out(), 1), 0);
    EXPECT_TRUE(clock.sleepsUs().isEmpty());

    // Move the reader close to the end, then across it: tail, then head.
    backend->fixedPosition = 11000;
    EXPECT_EQ(in.read(out(), 3900), 3900);
    backend->fixedPosition = 1000;
    EXPECT_EQ(in.available(), 2200);
    EXPECT_EQ(in.takeCaptureBytes(out(), 2200), 2200);
    EXPECT_EQ(data.left(2200), ringBytes(backend, 10800, 2200));

    // The cursor went round the ring and stands just behind the reader: a
    // whole ring is refused, one frame less fits.
    backend->fixedPosition = 998;
    LogCapture log;
    EXPECT_EQ(in.available(), 11998);
    EXPECT_EQ(in.read(out(), 6000), 0);
    EXPECT_EQ(in.takeCaptureBytes(out(), 12002), -1);
    EXPECT_EQ(log.count(QtCriticalMsg, "DSoundIn::takeCaptureBytes() : cannot take 12000 bytes because capture "
                                       "buffer has only 12000 bytes"),
              1);
    EXPECT_EQ(log.count(QtCriticalMsg, "cannot take 12002 bytes"), 1);
    EXPECT_EQ(in.read(out(), 5999), 5999);
    EXPECT_EQ(data.left(11998), ringBytes(backend, 1000, 11998));
}

TEST_F(DSoundInTest, BlockingReadWaitsInTwoMillisecondStepsButNotForAWholeRing)
{
    // 48 frames of mono 16-bit per millisecond.
    prepare = [](ScriptedSoundBackend* b) { b->script = [](quint64 us) { return quint32(us / 1000 * 96); }; };
    DSoundIn in(48000, 2, 1, true, clock, cards());
    ScriptedSoundBackend* backend = started(in);
    EXPECT_EQ(in.read(out(), 1500), 1500);
    // 3000 bytes are there after 31.25 ms: 16 sleeps of 2 ms.
    EXPECT_EQ(clock.sleepsUs(), QVector<quint64>(16, 2000).toList());
    EXPECT_EQ(data.left(3000), ringBytes(backend, 0, 3000));
    clock.clearSleeps();
    EXPECT_EQ(in.read(out(), 6000), 0);
    EXPECT_TRUE(clock.sleepsUs().isEmpty());

    // A lock that fails (the card has gone away) counts as nothing locked.
    backend->lost = true;
    LogCapture log;
    EXPECT_EQ(in.takeCaptureBytes(out(), 2), 0);
    EXPECT_EQ(log.count(QtCriticalMsg, "DSoundIn::takeCaptureBytes() : Failure number of locked bytes is not equal "
                                       "to number of requested bytes: 0 <-> 2"),
              1);
}
