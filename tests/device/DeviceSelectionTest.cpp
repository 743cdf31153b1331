#include "Configuration.h"
#include "DeviceSelection.h"
#include "LogCapture.h"
#include "PcmDevice.h"
#include "ScopedEnvironment.h"
#include "TestClock.h"
#include "backends/PortAudioLibrary.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

// Each test has a home of its own: the sound system reads the user's
// configuration from $HOME. withNullDevice() adds a device "kavexnull" that
// plays and records nothing (much faster than real time); real devices move
// their cursors on the sound server's thread, so they run on the system clock.
class DeviceSelectionTest : public ::testing::Test
{
protected:
    void withNullDevice()
    {
        QFile rc(m_home.filePath(".asoundrc"));
        ASSERT_TRUE(rc.open(QIODevice::WriteOnly));
        rc.write("pcm.kavexnull {\n    type null\n}\n");
    }
    static std::unique_ptr<PcmDevice> open(PcmDevice::eDirection direction, Clock& clock = Clock::system())
    {
        const int channels = direction == PcmDevice::DirectionOutput ? 2 : 1;
        return std::unique_ptr<PcmDevice>(
            PcmDevice::open(direction, 48000, PcmDevice::SampleWidth16, channels, true, clock));
    }

    QTemporaryDir m_home;
    ScopedEnvironment m_env{"HOME", m_home.path().toUtf8()};
};

TEST_F(DeviceSelectionTest, EnvironmentOverridesTheSettingsFile)
{
    const QString path = Configuration::settingsFilePath();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue("Mixer/OutputDevice", " WAV:/tmp/out put.wav ");
        settings.setValue("Mixer/InputDevice", "USB Audio: Front (hw:1,0)");
    }
    m_env.unset("OSTKAVEX_OUTPUT_DEVICE");
    m_env.unset("OSTKAVEX_INPUT_DEVICE");
    auto configured = [](SoundBackend::Direction direction) {
        const DeviceSelection s = DeviceSelection::configured(direction);
        return qMakePair(s.kind, s.argument);
    };
    const auto output = SoundBackend::DIRECTION_PLAYBACK;
    const auto input = SoundBackend::DIRECTION_CAPTURE;
    EXPECT_EQ(configured(output), qMakePair(DeviceSelection::KIND_WAV, QString("/tmp/out put.wav")));
    EXPECT_EQ(configured(input), qMakePair(DeviceSelection::KIND_NAMED, QString("USB Audio: Front (hw:1,0)")));
    m_env.set("OSTKAVEX_INPUT_DEVICE", "Virtual");
    EXPECT_EQ(configured(input), qMakePair(DeviceSelection::KIND_VIRTUAL, QString()));
    m_env.set("OSTKAVEX_INPUT_DEVICE", " Auto ");
    EXPECT_EQ(configured(input), qMakePair(DeviceSelection::KIND_AUTO, QString()));
    EXPECT_EQ(configured(output).first, DeviceSelection::KIND_WAV);
    QFile::remove(path);
    EXPECT_EQ(configured(output), qMakePair(DeviceSelection::KIND_AUTO, QString()));
}

TEST_F(DeviceSelectionTest, AutoWithoutADeviceFallsBackToTheVirtualOne)
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
    std::unique_ptr<PcmDevice> output = open(PcmDevice::DirectionOutput, clock);
    std::unique_ptr<PcmDevice> input = open(PcmDevice::DirectionInput, clock);
    ASSERT_TRUE(output && input);
    const QString fallback = "SoundBackendFactory::resolve: no %1 device found, using the virtual device (no sound)";
    EXPECT_EQ(log.count(QtWarningMsg, fallback.arg("output")), 1);
    EXPECT_EQ(log.count(QtWarningMsg, fallback.arg("input")), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "SoundBackendFactory"), 2);
    // The virtual card paces like a real one.
    std::vector<unsigned char> chunk(4096, 0);
    EXPECT_EQ(output->write(chunk.data(), 1024, nullptr), 1024);
    EXPECT_EQ(clock.sleepsUs(), QList<quint64>{22000});
}

TEST_F(DeviceSelectionTest, NamedPortAudioDevicePlaysAndRecordsAndAnUnknownNameFails)
{
    withNullDevice();
    m_env.set("OSTKAVEX_OUTPUT_DEVICE", "Front Speakers");
    m_env.set("OSTKAVEX_INPUT_DEVICE", "auto");  // the only device is the default one
    {
        LogCapture log;
        EXPECT_FALSE(open(PcmDevice::DirectionOutput));
        EXPECT_EQ(log.count(QtWarningMsg, "SoundBackendFactory::resolve: there is no output device \"Front "
                                          "Speakers\"; the devices there are: \"kavexnull\""),
                  1)
            << log.dump().toStdString();
        EXPECT_EQ(log.count(QtCriticalMsg, "PcmDevice::PcmDevice(): could not start DSoundOut"), 1);
    }
    m_env.set("OSTKAVEX_OUTPUT_DEVICE", "kavexnull");
    LogCapture log;
    std::unique_ptr<PcmDevice> output = open(PcmDevice::DirectionOutput);
    ASSERT_TRUE(output);
    std::vector<unsigned char> chunk(4096, 0x21);
    for (int i = 0; i < 3; ++i) {
        unsigned int status = 1;
        EXPECT_EQ(output->write(chunk.data(), 1024, &status), 1024);
        EXPECT_EQ(status, 0u);
    }
    std::unique_ptr<PcmDevice> input = open(PcmDevice::DirectionInput);
    ASSERT_TRUE(input);
    std::vector<unsigned char> block(3000, 0x55);
    EXPECT_EQ(input->read(block.data(), 1500), 1500);
    EXPECT_EQ(log.count(QtWarningMsg, ""), 0) << log.dump().toStdString();
    EXPECT_EQ(log.count(QtCriticalMsg, ""), 0) << log.dump().toStdString();
}
