#include "DSoundIn.h"
#include "LogCapture.h"
#include "ScriptedSoundBackend.h"

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
        ScriptedSoundBackend* backend = backends.value(backends.size() - 1);
        for (quint32 i = 0; backend && i < backend->ringBytes(); ++i)
            backend->ring()[i] = quint8(i * 7 + i / 251);
        clock.clearSleeps();
        return backend;
    }
    static QByteArray ringBytes(SoundBackend* backend, int offset, int count)
    {
        const QByteArray ring(reinterpret_cast<const char*>(backend->ring()), int(backend->ringBytes()));
        return (ring + ring).mid(offset, count);
    }
    unsigned char* out() { return reinterpret_cast<unsigned char*>(data.data()); }

    QByteArray data = QByteArray(24000, 0);
};

TEST_F(DSoundInTest, ReadsInOrderAcrossTheEndOfTheRingOf125msWaitingOnlyWhenBlockingButNotForAWholeRing)
{
    DSoundIn stereo(48000, 2, 2, true, clock, cards());
    ASSERT_TRUE(stereo.start());
    const ScriptedSoundBackend* ring = backends[0];
    EXPECT_EQ(QList<quint32>({quint32(ring->direction()), ring->format().channels, ring->ringBytes()}),
              QList<quint32>({quint32(SoundBackend::DIRECTION_CAPTURE), 2, 24000}));

    DSoundIn in(48000, 2, 1, false, clock, cards());
    LogCapture log;
    // Not started yet: nothing to take, and nothing to say about it.
    EXPECT_EQ(std::make_tuple(in.takeCaptureBytes(out(), 3000), in.read(out(), 1500), in.available()),
              std::make_tuple(-1, 0, 0));
    ScriptedSoundBackend* backend = started(in);
    ASSERT_EQ(std::make_pair(backend->started, backend->ringBytes()), std::make_pair(true, 12000u));
    // Moves the cursor, checks what is recorded, takes `bytes` and checks they are the ring's from `from` on.
    auto take = [&](quint32 position, int available, int bytes, int from) {
        backend->fixedPosition = position;
        EXPECT_EQ(in.available(), available);
        EXPECT_EQ(in.takeCaptureBytes(out(), bytes), bytes);
        EXPECT_EQ(data.left(bytes), ringBytes(backend, from, bytes));
    };
    take(3000, 3000, 3000, 0);
    EXPECT_EQ(std::make_pair(in.available(), in.read(out(), 1)), std::make_pair(0, 0));
    EXPECT_TRUE(clock.sleepsUs().isEmpty());  // not blocking: too little recorded returns at once
    take(11000, 8000, 7800, 3000);            // the reader close to the end
    take(1000, 2200, 2200, 10800);            // across it: tail, then head
    // The cursor went round and stands just behind the reader: a whole ring is refused, one frame less fits.
    backend->fixedPosition = 998;
    EXPECT_EQ(in.available(), 11998);
    EXPECT_EQ(in.read(out(), 6000), 0);
    EXPECT_EQ(in.takeCaptureBytes(out(), 12002), -1);
    EXPECT_EQ(in.read(out(), 5999), 5999);
    EXPECT_EQ(data.left(11998), ringBytes(backend, 1000, 11998));

    // Blocking, at 48 frames of mono 16-bit per millisecond.
    prepare = [](ScriptedSoundBackend* b) { b->script = [](quint64 us) { return quint32(us / 1000 * 96); }; };
    DSoundIn blocking(48000, 2, 1, true, clock, cards());
    backend = started(blocking);
    EXPECT_EQ(blocking.read(out(), 1500), 1500);
    EXPECT_EQ(data.left(3000), ringBytes(backend, 0, 3000));
    EXPECT_EQ(blocking.read(out(), 6000), 0);
    EXPECT_EQ(clock.sleepsUs(), QVector<quint64>(16, 2000).toList());  // 31.25 ms for 3000 bytes, none for a ring
    // A cursor that stands still: the read gives up after its 31.25 ms plus 100 ms.
    backend->script = nullptr;
    backend->fixedPosition = 3000;
    clock.clearSleeps();
    EXPECT_EQ(blocking.read(out(), 1500), 0);
    EXPECT_EQ(clock.sleptUs(), 132000u);
    backend->fixedPosition = 3100;
    backend->lost = true;  // a lock that fails (the card has gone away) counts as nothing locked
    EXPECT_EQ(blocking.takeCaptureBytes(out(), 2), 0);
    const QString prefix = "2: DSoundIn::takeCaptureBytes() : ";
    const QString refused = prefix + "cannot take %1 bytes because capture buffer has only 12000 bytes\n";
    const QString lost = prefix + "Failure number of locked bytes is not equal to number of requested bytes: 0 <-> 2\n";
    const QString expected = refused.arg(12000) + refused.arg(12002) + refused.arg(12000) + lost;
    EXPECT_EQ(log.dump().toStdString(), expected.toStdString());
}
