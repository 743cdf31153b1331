#include "ChannelRegistry.h"
#include "Configuration.h"
#include "LogCapture.h"
#include "SignalAnalysis.h"
#include "SignalTones.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <gtest/gtest.h>
#include <memory>

namespace {
// Writes tone files into the data directory and names them in the settings;
// the tones join a registry of their own.
class SignalToneTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QDir().mkpath(Configuration::getDataDirectory());
        QDir().mkpath(Configuration::getConfigurationDirectory());
        const auto tone = SignalAnalysis::toInt16(SignalAnalysis::sine(880, 48000, 4800, 6000));
        SignalAnalysis::writeWav(Configuration::makeDirectory(Configuration::getDataDirectory(), "beep.wav"), 48000, 1, tone);
        QFile bad(Configuration::makeDirectory(Configuration::getDataDirectory(), "broken.wav"));
        bad.open(QIODevice::WriteOnly);
        bad.write("this is no WAV file, but long enough to hold a header of forty-four bytes");
        bad.close();
        QSettings s(Configuration::settingsFilePath(), QSettings::IniFormat);
        s.clear();
        s.setValue("Sounds/Beep", "beep.wav");
        s.setValue("Sounds/Broken", "broken.wav");
        s.setValue("Mixer/Resample", 2);
        s.sync();
        m_tones.reset(new SignalTones(m_lock, m_registry));
    }
    void TearDown() override { m_registry.removeAll(); }
    QList<quint64> channelIds() const { return m_registry.channels().keys(); }

    KavexRecursiveMutex m_lock;
    ChannelRegistry m_registry;
    std::unique_ptr<SignalTones> m_tones;
};
}  // namespace

TEST_F(SignalToneTest, NamedTonesComeFromTheSoundsSection)
{
    QStringList names = m_tones->getAvailableSignalTones();
    names.sort();
    EXPECT_EQ(names, (QStringList{"Beep", "Broken"}));

    LogCapture log;
    const quint64 a = m_tones->setSignalTone("Beep", true, false, 1.0);
    const quint64 b = m_tones->setSignalTone("Beep", false, false, 0.5);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_EQ(channelIds().size(), 2);
    // Tones join "LIVE" unmuted.
    EXPECT_EQ(m_registry.groups().keys(), QStringList{"LIVE"});
    EXPECT_EQ(int(m_registry.channel(a)->getMuteState()), 0);

    // An unknown name starts nothing, says nothing and leaves the others alone.
    EXPECT_EQ(m_tones->setSignalTone("Nope", false, false, 1.0), 0u);
    EXPECT_EQ(channelIds().size(), 2);
    EXPECT_EQ(log.count(QtWarningMsg, ""), 0);

    // Exclusive leaves only the new tone.
    const quint64 c = m_tones->setSignalTone("Beep", false, true, 1.0);
    EXPECT_EQ(channelIds(), QList<quint64>{c});

    // "none" in any case stops everything and starts nothing.
    EXPECT_EQ(m_tones->setSignalTone("NONE", false, false, 1.0), 0u);
    EXPECT_TRUE(channelIds().isEmpty());
}

TEST_F(SignalToneTest, BrokenAndMissingFilesGiveTheirWarnings)
{
    LogCapture log;
    EXPECT_EQ(m_tones->setSignalTone("Broken", false, false, 1.0), 0u);
    EXPECT_EQ(log.count(QtWarningMsg, "SoundFileChannel::SoundFileChannel: This is not a RIFF file"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "MixerImpl::setSignalToneFromFile(): error while activating sound 'broken.wav'"), 1);

    m_tones->setSignalTone("Beep", true, false, 1.0);
    const QString missing = QDir::temp().filePath("kavex-no-such-file.wav");
    EXPECT_EQ(m_tones->setSignalToneFromFile(missing, false, true, 1.0), 0u);
    EXPECT_EQ(log.count(QtWarningMsg, QString("MixerImpl::setSignalToneFromFile(): file '%1' not found").arg(missing)), 1);
    // Exclusive has already stopped the running tone.
    EXPECT_TRUE(channelIds().isEmpty());

    const QString broken = Configuration::makeDirectory(Configuration::getDataDirectory(), "broken.wav");
    EXPECT_EQ(m_tones->setSignalToneFromFile(broken, false, false, 1.0), 0u);
    EXPECT_EQ(log.count(QtWarningMsg, "MixerImpl::setSignalToneFromFile(): 'std::exception'"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, QString("MixerImpl::setSignalToneFromFile(): error while activating sound file '%1'.").arg(broken)), 1);
}

TEST_F(SignalToneTest, StoppingByIdAndUnknownIds)
{
    LogCapture log;
    const QString path = Configuration::makeDirectory(Configuration::getDataDirectory(), "beep.wav");
    const quint64 a = m_tones->setSignalToneFromFile(path, true, false, 1.0);
    const quint64 b = m_tones->setSignalToneFromFile(path, true, false, 1.0);
    m_tones->stopSignalTone(a);
    EXPECT_EQ(channelIds(), QList<quint64>{b});

    m_tones->stopSignalTone(42);
    EXPECT_EQ(log.count(QtWarningMsg, "MixerImpl::stopSignalTone(): unknown channel id 0x2a"), 1);

    // Removed by other means: the tone map still knows it, the registry does not.
    m_registry.removeChannel(b);
    m_tones->stopSignalTone(b);
    EXPECT_EQ(log.count(QtWarningMsg, QString("MixerImpl::removeChannel: Unknown id %1").arg(b)), 1);
    m_tones->stopSignalTone(b);
    EXPECT_EQ(log.count(QtWarningMsg, QString("MixerImpl::stopSignalTone(): unknown channel id 0x%1").arg(b, 0, 16)), 1);
}
