#include "LogCapture.h"
#include "PcmDevice.h"
#include "ScopedEnvironment.h"
#include "TestClock.h"
#include "backends/PortAudioLibrary.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {
const char* const FALLBACK = "SoundBackendFactory::resolve: no %1 device found, using the virtual device (no sound)";

std::unique_ptr<PcmDevice> openDevice(PcmDevice::eDirection direction, int channels, Clock& clock = Clock::system())
{
    return std::unique_ptr<PcmDevice>(
        PcmDevice::open(direction, 48000, PcmDevice::SampleWidth16, channels, true, clock));
}
}  // namespace

// The sound system reads the user's configuration from $HOME: each test gets
// a home of its own, optionally with a device "kavexnull" that plays and
// records nothing (it runs much faster than real time). Real devices move
// their cursors on the sound server's thread, so they run on the system clock.
class PortAudioDeviceTest : public ::testing::Test
{
protected:
    void withNullDevice()
    {
        QFile rc(m_home.filePath(".asoundrc"));
        ASSERT_TRUE(rc.open(QIODevice::WriteOnly));
        rc.write("pcm.kavexnull {\n    type null\n}\n");
    }

    QTemporaryDir m_home;
    ScopedEnvironment m_env{"HOME", m_home.path().toUtf8()};
};

TEST_F(PortAudioDeviceTest, AutoWithoutADeviceFallsBackToTheVirtualOne)
{
    QString error;
    std::shared_ptr<PortAudioLibrary> library = PortAudioLibrary::acquire(&error);
    if (library && library->defaultDevice(SoundBackend::DIRECTION_PLAYBACK) >= 0)
        GTEST_SKIP() << "this machine has a sound card";
    library.reset();

    TestClock clock;
    m_env.set("OSTKAVEX_OUTPUT_DEVICE", "auto");
    m_env.set("OSTKAVEX_INPUT_DEVICE", "auto");
    LogCapture log;
    std::unique_ptr<PcmDevice> output = openDevice(PcmDevice::DirectionOutput, 2, clock);
    std::unique_ptr<PcmDevice> input = openDevice(PcmDevice::DirectionInput, 1, clock);
    ASSERT_TRUE(output && input);
    EXPECT_EQ(log.count(QtWarningMsg, QString(FALLBACK).arg("output")), 1);
    EXPECT_EQ(log.count(QtWarningMsg, QString(FALLBACK).arg("input")), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "SoundBackendFactory"), 2);
    // The virtual card paces like a real one.
    std::vector<unsigned char> chunk(4096, 0);
    EXPECT_EQ(output->write(chunk.data(), 1024, nullptr), 1024);
    EXPECT_EQ(clock.sleepsUs(), QList<quint64>{22000});
}

TEST_F(PortAudioDeviceTest, UnknownDeviceNameFailsListingTheDevices)
{
    withNullDevice();
    m_env.set("OSTKAVEX_OUTPUT_DEVICE", "Front Speakers");
    LogCapture log;
    EXPECT_FALSE(openDevice(PcmDevice::DirectionOutput, 2));
    EXPECT_EQ(log.count(QtWarningMsg, "SoundBackendFactory::resolve: there is no output device \"Front Speakers\"; "
                                      "the devices there are: \"kavexnull\""),
              1)
        << log.dump().toStdString();
    EXPECT_EQ(log.count(QtCriticalMsg, "PcmDevice::PcmDevice(): could not start DSoundOut"), 1);
}

TEST_F(PortAudioDeviceTest, NamedDevicePlaysAndRecords)
{
    withNullDevice();
    m_env.set("OSTKAVEX_OUTPUT_DEVICE", "kavexnull");
    m_env.set("OSTKAVEX_INPUT_DEVICE", "auto");  // the only device is the default one
    LogCapture log;

    std::unique_ptr<PcmDevice> output = openDevice(PcmDevice::DirectionOutput, 2);
    ASSERT_TRUE(output);
    std::vector<unsigned char> chunk(4096, 0x21);
    for (int i = 0; i < 3; ++i) {
        unsigned int status = 1;
        EXPECT_EQ(output->write(chunk.data(), 1024, &status), 1024);
        EXPECT_EQ(status, 0u);
    }

    std::unique_ptr<PcmDevice> input = openDevice(PcmDevice::DirectionInput, 1);
    ASSERT_TRUE(input);
    std::vector<unsigned char> block(3000, 0x55);
    EXPECT_EQ(input->read(block.data(), 1500), 1500);

    EXPECT_EQ(log.count(QtWarningMsg, ""), 0) << log.dump().toStdString();
    EXPECT_EQ(log.count(QtCriticalMsg, ""), 0) << log.dump().toStdString();
}
