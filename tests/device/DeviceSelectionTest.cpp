#include "DeviceSelection.h"
#include "Configuration.h"
#include "LogCapture.h"
#include "PcmDevice.h"
#include "ScopedEnvironment.h"
#include "TestClock.h"
#include "backends/PortAudioLibrary.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

const QString OPEN_OUT = "0: PcmDevice::open: Trying to open PCM device with params 1 48000 1 2 true\n";
const QString OPEN_IN = "0: PcmDevice::open: Trying to open PCM device with params 0 48000 1 1 true\n";

// Each test has its own $HOME (the sound system's configuration); real devices run on the system clock.
class DeviceSelectionTest : public ::testing::Test
{
protected:
    // A stereo output (direction 1) or a mono input (direction 0).
    static std::unique_ptr<PcmDevice> open(PcmDevice::eDirection d, Clock& clock = Clock::system())
    {
        return std::unique_ptr<PcmDevice>(PcmDevice::open(d, 48000, PcmDevice::SampleWidth16, 1 + d, true, clock));
    }
    QTemporaryDir m_home;
    ScopedEnvironment m_env{"HOME", m_home.path().toUtf8()};
};

TEST_F(DeviceSelectionTest, EnvironmentOverridesTheSettingsFile)
{
    using DS = DeviceSelection;
    const QString path = Configuration::settingsFilePath();
    QSettings(path, QSettings::IniFormat).setValue("Mixer/OutputDevice", " WAV:/tmp/out put.wav ");
    QSettings(path, QSettings::IniFormat).setValue("Mixer/InputDevice", "USB Audio: Front (hw:1,0)");
    m_env.unset("OSTKAVEX_OUTPUT_DEVICE");
    m_env.unset("OSTKAVEX_INPUT_DEVICE");
    auto configured = [](auto d) { return qMakePair(DS::configured(d).kind, DS::configured(d).argument); };
    const auto output = SoundBackend::DIRECTION_PLAYBACK, input = SoundBackend::DIRECTION_CAPTURE;
    EXPECT_EQ(configured(output), qMakePair(DS::KIND_WAV, QString("/tmp/out put.wav")));
    EXPECT_EQ(configured(input), qMakePair(DS::KIND_NAMED, QString("USB Audio: Front (hw:1,0)")));
    m_env.set("OSTKAVEX_INPUT_DEVICE", "Virtual");
    EXPECT_EQ(configured(input), qMakePair(DS::KIND_VIRTUAL, QString()));
    m_env.set("OSTKAVEX_INPUT_DEVICE", " Auto ");
    EXPECT_EQ(configured(input), qMakePair(DS::KIND_AUTO, QString()));
    EXPECT_EQ(configured(output).first, DS::KIND_WAV);
    QFile::remove(path);
    EXPECT_EQ(configured(output), qMakePair(DS::KIND_AUTO, QString()));
}

TEST_F(DeviceSelectionTest, AutoWithoutADeviceFallsBackToTheVirtualOne)
{
    QString error;
    if (const auto library = PortAudioLibrary::acquire(&error);
        library && library->defaultDevice(SoundBackend::DIRECTION_PLAYBACK) >= 0)
        GTEST_SKIP() << "this machine has a sound card";
    TestClock clock;
    m_env.set("OSTKAVEX_OUTPUT_DEVICE", "auto");
    m_env.set("OSTKAVEX_INPUT_DEVICE", "auto");
    LogCapture log;
    std::unique_ptr<PcmDevice> output = open(PcmDevice::DirectionOutput, clock);
    ASSERT_TRUE(output && open(PcmDevice::DirectionInput, clock));
    const QString none = "1: SoundBackendFactory::resolve: no %1 device found, using the virtual device (no sound)\n";
    EXPECT_EQ(log.dump().toStdString(), (OPEN_OUT + none.arg("output") + OPEN_IN + none.arg("input")).toStdString());
    unsigned char chunk[4096] = {};
    EXPECT_EQ(output->write(chunk, 1024, nullptr), 1024);
    EXPECT_EQ(clock.sleepsUs(), QList<quint64>{22000});  // the virtual card paces like a real one
}

TEST_F(DeviceSelectionTest, NamedPortAudioDevicePlaysAndRecordsAndAnUnknownNameFails)
{
    // A device "kavexnull" that plays and records nothing, much faster than real time.
    QFile rc(m_home.filePath(".asoundrc"));
    ASSERT_TRUE(rc.open(QIODevice::WriteOnly) && rc.write("pcm.kavexnull {\n    type null\n}\n") > 0 && rc.flush());
    m_env.set("OSTKAVEX_OUTPUT_DEVICE", "Front Speakers");
    m_env.set("OSTKAVEX_INPUT_DEVICE", "auto");  // the only device is the default one
    LogCapture log;
    EXPECT_FALSE(open(PcmDevice::DirectionOutput));
    m_env.set("OSTKAVEX_OUTPUT_DEVICE", "kavexnull");
    std::unique_ptr<PcmDevice> output = open(PcmDevice::DirectionOutput);
    ASSERT_TRUE(output);
    unsigned char buffer[4096] = {};
    unsigned int status = 1;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(output->write(buffer, 1024, &status), 1024);
    EXPECT_EQ(status, 0u);
    const std::unique_ptr<PcmDevice> input = open(PcmDevice::DirectionInput);
    EXPECT_TRUE(input && input->read(buffer, 1500) == 1500);
    const QString refused = "1: SoundBackendFactory::resolve: there is no output device \"Front Speakers\"; the "
                            "devices there are: \"kavexnull\"\n2: PcmDevice::PcmDevice(): could not start DSoundOut\n"
                            "1: PcmDevice::open: Failed to open PCM device\n";
    EXPECT_EQ(log.dump().toStdString(), (OPEN_OUT + refused + OPEN_OUT + OPEN_IN).toStdString());
}
