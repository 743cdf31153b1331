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

TEST_F(PcmDeviceTest, OpenFailuresReturnNothingWithAWarning)
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
    allowedBackends = 0;
    const QPair<PcmDevice::eDirection, QString> cases[] = {{PcmDevice::DirectionOutput, "DSoundOut"},
                                                           {PcmDevice::DirectionInput, "DSoundIn"}};
    for (const auto& c : cases) {
        LogCapture log;
        EXPECT_EQ(open(c.first), nullptr);
        EXPECT_EQ(log.count(QtCriticalMsg, "PcmDevice::PcmDevice(): could not start " + c.second), 1);
        EXPECT_EQ(log.count(QtWarningMsg, OPEN_FAILED), 1);
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
        EXPECT_EQ(sleepsMs(), QList<quint64>{step.second}) << "at " << step.first << " ms";
    }
    // The card is never tried again.
    EXPECT_EQ(ringRequests, 3);
    EXPECT_TRUE(log.entries().isEmpty()) << log.dump().toStdString();
}
