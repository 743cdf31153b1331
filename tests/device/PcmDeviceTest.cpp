#include "LogCapture.h"
#include "PcmDevice.h"
#include "ScriptedSoundBackend.h"

#include <QByteArray>

#include <memory>

namespace {
const char* const REBUILD = "PcmDevice::write putNextChunk failed, reinstantiating DSoundOut";
const char* const OPEN_FAILED = "PcmDevice::open: Failed to open PCM device";

// A cursor that runs in real time on the test clock, as a card does.
quint32 runningCursor(quint64 us)
{
    return quint32(us * 48 / 1000 * 4);
}
}  // namespace

class PcmDeviceTest : public ScriptedDeviceTest
{
protected:
    // A stereo output or a mono input of 16-bit samples at 48 kHz.
    std::unique_ptr<PcmDevice> open(PcmDevice::eDirection direction, bool blocking = true,
                                    PcmDevice::eSampleWidth width = PcmDevice::SampleWidth16)
    {
        const int channels = direction == PcmDevice::DirectionOutput ? 2 : 1;
        return std::unique_ptr<PcmDevice>(PcmDevice::open(direction, 48000, width, channels, blocking, clock, cards()));
    }
    int write(PcmDevice& device, unsigned int* status = nullptr)
    {
        return device.write(reinterpret_cast<unsigned char*>(m_chunk.data()), 1024, status);
    }
    QByteArray m_chunk = QByteArray(4096, 0x11);
};

TEST_F(PcmDeviceTest, OpenFailuresAreLoggedAndReturnNothing)
{
    {
        // An unknown sample width fails before any card is asked for.
        LogCapture log;
        EXPECT_EQ(open(PcmDevice::DirectionOutput, true, PcmDevice::eSampleWidth(3)), nullptr);
        EXPECT_EQ(log.count(QtDebugMsg, "PcmDevice::open: Trying to open PCM device with params 1 48000 3 2 true"), 1);
        EXPECT_EQ(log.count(QtWarningMsg, OPEN_FAILED), 1);
        EXPECT_EQ(log.entries().size(), 2);
        EXPECT_EQ(ringRequests, 0);
    }
    // What fails, and what the output or capture logs about it on its own.
    enum Failure { NO_CARD, NO_CAPS, NO_STEREO48, NO_RING, NO_START };
    const auto out = PcmDevice::DirectionOutput;
    const auto in = PcmDevice::DirectionInput;
    const struct {
        PcmDevice::eDirection direction;
        Failure failure;
        QtMsgType type;
        const char* text;
    } cases[] = {
        {out, NO_CARD, QtDebugMsg, nullptr},
        {out, NO_RING, QtDebugMsg, nullptr},
        {out, NO_START, QtDebugMsg, nullptr},
        {in, NO_CARD, QtCriticalMsg, "DSoundIn::start() : creation of capture device failed"},
        {in, NO_CAPS, QtCriticalMsg, "DSoundIn::start() : not able to read capabilities of the capture device"},
        // Without 48 kHz stereo no format is prepared, and the card refuses the empty one.
        {in, NO_STEREO48, QtDebugMsg, "DSoundIn::start() : creation of capture buffer failed: 88780064"},
        {in, NO_RING, QtDebugMsg, "DSoundIn::start() : creation of capture buffer failed: 80004005"},
        {in, NO_START, QtCriticalMsg, "DSoundIn::start() : Could not start buffer!"},
    };
    for (const auto& c : cases) {
        cardExists = c.failure != NO_CARD;
        capsReadable = c.failure != NO_CAPS;
        takesStereo48 = c.failure != NO_STEREO48;
        allowedBackends = c.failure == NO_RING ? ringRequests : 1000;
        prepare = [&](ScriptedSoundBackend* b) { b->refuseStart = c.failure == NO_START; };
        LogCapture log;
        EXPECT_EQ(open(c.direction), nullptr);
        const QString side = c.direction == out ? "DSoundOut" : "DSoundIn";
        EXPECT_EQ(log.count(QtCriticalMsg, "PcmDevice::PcmDevice(): could not start " + side), 1);
        EXPECT_EQ(log.count(QtWarningMsg, OPEN_FAILED), 1);
        if (c.text)
            EXPECT_EQ(log.count(c.type, c.text), 1) << c.text;
        // Besides the debug line of open.
        EXPECT_EQ(log.entries().size(), c.text ? 4 : 3) << log.dump().toStdString();
    }
}

TEST_F(PcmDeviceTest, NonBlockingOutputWritesNothingAndOutputReadsSilence)
{
    std::unique_ptr<PcmDevice> device = open(PcmDevice::DirectionOutput, false);
    ASSERT_TRUE(device);
    EXPECT_EQ(write(*device), 0);
    EXPECT_TRUE(clock.sleepsUs().isEmpty());

    QByteArray data(100, 0x7f);
    EXPECT_EQ(device->read(reinterpret_cast<unsigned char*>(data.data()), 60), 60);
    EXPECT_EQ(data, QByteArray(60, 0) + QByteArray(40, 0x7f));
}

TEST_F(PcmDeviceTest, BrokenOutputIsRebuiltElseWritesPaceOnAGridOf64Over3ms)
{
    // Start just before the millisecond clock wraps, to cross the wrap.
    const quint64 startMs = 0xFFFFFFFFull - 30;
    clock.setNowUs(startMs * 1000);
    // The first card stalls, its replacement runs; a third cannot be made.
    prepare = [this](ScriptedSoundBackend* b) {
        if (!backends.isEmpty())
            b->script = runningCursor;
    };
    allowedBackends = 2;
    std::unique_ptr<PcmDevice> device = open(PcmDevice::DirectionOutput);
    ASSERT_TRUE(device);
    {
        LogCapture log;
        EXPECT_EQ(write(*device), 1024);
        EXPECT_EQ(log.count(QtWarningMsg, "loopCount exceeded"), 1);
        EXPECT_EQ(log.count(QtWarningMsg, REBUILD), 1);
        ASSERT_EQ(backends.size(), 2);
        EXPECT_TRUE(backends[1]->started);

        unsigned int status = 3;
        EXPECT_EQ(write(*device, &status), 1024);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(backends[1]->ring()), 4096), m_chunk);
        EXPECT_EQ(log.count(QtWarningMsg, REBUILD), 1);

        // The replacement stalls as well and cannot be replaced.
        backends[1]->script = nullptr;
        EXPECT_EQ(write(*device), 1024);
        EXPECT_EQ(log.count(QtWarningMsg, REBUILD), 2);
        EXPECT_EQ(ringRequests, 3);
    }

    LogCapture log;
    const QList<QPair<qint64, quint64>> steps{
        {0, 21}, {20, 1}, {21, 21}, {42, 22},
        // Before the start: the start moves back onto the grid, which stays where it was.
        {-10, 10}, {0, 21}, {62, 2}, {63, 22}};
    for (const auto& step : steps) {
        clock.setNowUs(quint64(qint64(startMs) + step.first) * 1000);
        clock.clearSleeps();
        EXPECT_EQ(write(*device), 1024);
        EXPECT_EQ(clock.sleepsUs(), QList<quint64>{step.second * 1000}) << "at " << step.first << " ms";
    }
    // The card is never tried again.
    EXPECT_EQ(ringRequests, 3);
    EXPECT_TRUE(log.entries().isEmpty()) << log.dump().toStdString();
}
