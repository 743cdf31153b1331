#include "Configuration.h"
#include "LogCapture.h"
#include "Mixer.h"
#include "MixerAccess.h"
#include "MixerImpl.h"
#include "RTPPacket.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace SignalAnalysis;

namespace {
// The whole mixer on its real thread, with sound cards that record the
// output into a WAV file and read the microphone from one; tone files in the
// data directory, two of them named in the settings.
class MixerEndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_env.set("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + m_dir.filePath("out.wav")).toUtf8());
        m_env.set("OSTKAVEX_INPUT_DEVICE", ("wav:" + m_dir.filePath("mic.wav")).toUtf8());
        writeWav(m_dir.filePath("mic.wav"), 48000, 1, toInt16(sine(500, 48000, 48000, 8000)));
        std::vector<double> two = sine(300, 48000, 48000, 5000);
        const std::vector<double> high = sine(6000, 48000, 48000, 5000);
        for (size_t i = 0; i < two.size(); ++i)
            two[i] += high[i];
        QDir().mkpath(Configuration::getDataDirectory());
        QDir().mkpath(Configuration::getConfigurationDirectory());
        writeWav(dataFile("two.wav"), 48000, 1, toInt16(two));
        writeWav(m_dir.filePath("b440.wav"), 16000, 1, toInt16(sine(440, 16000, 16000, 4000)));
        QFile bad(dataFile("broken.wav"));
        bad.open(QIODevice::WriteOnly);
        bad.write("this is no WAV file, but long enough to hold a header of forty-four bytes");
        bad.close();
        QSettings s(Configuration::settingsFilePath(), QSettings::IniFormat);
        s.clear();
        s.setValue("Sounds/Two", "two.wav");
        s.setValue("Sounds/Broken", "broken.wav");
        s.setValue("Mixer/Resample", 2);
        s.sync();
    }
    static QString dataFile(const QString& name)
    {
        return Configuration::makeDirectory(Configuration::getDataDirectory(), name);
    }

    QTemporaryDir m_dir;
    ScopedEnvironment m_env;
};
}  // namespace

// Tones loop here, so that none ends while the test looks.
TEST_F(MixerEndToEndTest, NamedTonesComeFromTheSoundsSection)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, true);
    MixerImpl* impl = MixerAccess::implementation(*m);
    QStringList names = m->getAvailableSignalTones();
    names.sort();
    EXPECT_EQ(names, (QStringList{"Broken", "Two"}));

    LogCapture log;
    const quint64 a = m->setSignalTone("Two", true, false, 1.0);
    EXPECT_NE(a, 0u);
    EXPECT_NE(m->setSignalTone("Two", true, false, 0.5), 0u);
    EXPECT_EQ(impl->channelIds().size(), 2);
    EXPECT_EQ(m->presentationGroups(), QStringList{"LIVE"});

    // An unknown name starts nothing, says nothing and leaves the others alone.
    EXPECT_EQ(m->setSignalTone("Nope", false, false, 1.0), 0u);
    EXPECT_EQ(impl->channelIds().size(), 2);
    EXPECT_EQ(log.count(QtWarningMsg, ""), 0);

    // Exclusive leaves only the new tone; "none" in any case stops everything and starts nothing.
    const quint64 c = m->setSignalTone("Two", true, true, 1.0);
    EXPECT_EQ(impl->channelIds(), QList<quint64>{c});
    EXPECT_EQ(m->setSignalTone("NONE", false, false, 1.0), 0u);
    EXPECT_TRUE(impl->channelIds().isEmpty());
}

TEST_F(MixerEndToEndTest, BrokenAndMissingToneFilesGiveTheirWarnings)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, true);
    LogCapture log;
    EXPECT_EQ(m->setSignalTone("Broken", false, false, 1.0), 0u);
    EXPECT_EQ(log.count(QtWarningMsg, "SoundFileChannel::SoundFileChannel: This is not a RIFF file"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "MixerImpl::setSignalToneFromFile(): error while activating sound 'broken.wav'"), 1);

    m->setSignalTone("Two", true, false, 1.0);
    const QString missing = QDir::temp().filePath("kavex-no-such-file.wav");
    EXPECT_EQ(m->setSignalToneFromFile(missing, false, true, 1.0), 0u);
    EXPECT_EQ(log.count(QtWarningMsg, QString("MixerImpl::setSignalToneFromFile(): file '%1' not found").arg(missing)), 1);
    EXPECT_TRUE(MixerAccess::implementation(*m)->channelIds().isEmpty());  // exclusive stopped the tone first

    EXPECT_EQ(m->setSignalToneFromFile(dataFile("broken.wav"), false, false, 1.0), 0u);
    EXPECT_EQ(log.count(QtWarningMsg, "MixerImpl::setSignalToneFromFile(): 'std::exception'"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, QString("MixerImpl::setSignalToneFromFile(): error while activating sound file '%1'.")
                                          .arg(dataFile("broken.wav"))),
              1);
}

TEST_F(MixerEndToEndTest, TonesAreStoppedByIdAndUnknownIdsAreReported)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, true);
    MixerImpl* impl = MixerAccess::implementation(*m);
    LogCapture log;
    const quint64 a = m->setSignalToneFromFile(dataFile("two.wav"), true, false, 1.0);
    const quint64 b = m->setSignalToneFromFile(dataFile("two.wav"), true, false, 1.0);
    m->stopSignalTone(a);
    EXPECT_EQ(impl->channelIds(), QList<quint64>{b});
    m->stopSignalTone(42);
    EXPECT_EQ(log.count(QtWarningMsg, "MixerImpl::stopSignalTone(): unknown channel id 0x2a"), 1);

    // Removed by other means: the tone map still knows it, the registry does not.
    impl->removeChannel(b);
    m->stopSignalTone(b);
    EXPECT_EQ(log.count(QtWarningMsg, QString("MixerImpl::removeChannel: Unknown id %1").arg(b)), 1);
    m->stopSignalTone(b);
    EXPECT_EQ(log.count(QtWarningMsg, QString("MixerImpl::stopSignalTone(): unknown channel id 0x%1").arg(b, 0, 16)), 1);
}

TEST_F(MixerEndToEndTest, TonesThroughTheOutputStageReachTheCard)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(false, true);
    // The facade's low-pass at 2000 Hz cuts 6 kHz; balance 100 silences the
    // left side; volume 356 acts as 100 (low 8 bits).
    m->enableFilter(0, true);
    m->setBalance(100);
    m->setMasterVolume(356);
    EXPECT_NE(m->setSignalTone("Two", true, false, 1.0), 0u);
    EXPECT_NE(m->setSignalToneFromFile(m_dir.filePath("b440.wav"), true, false, 1.0), 0u);
    MixerImpl* impl = MixerAccess::implementation(*m);
    const quint64 start = impl->tick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return impl->tick() >= start + 40; }, 20000));
    m.reset();

    const WavData wav = readWav(m_dir.filePath("out.wav"));
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.sampleRate, 48000);
    EXPECT_EQ(wav.channels, 2);
    const std::vector<double> left = channel(wav.samples, 2, 0), right = channel(wav.samples, 2, 1);
    const Window w = strongestWindow(right, 300, 48000, 9600);
    const std::vector<double> mixed = slice(right, w.start, 9600);
    EXPECT_NEAR(w.amplitude, 5000, 300);
    EXPECT_NEAR(strongestWindow(right, 440, 48000, 9600).amplitude, 4000, 250);  // started a little later
    EXPECT_LT(toneAmplitude(mixed, 6000, 48000), 2000);
    EXPECT_LT(toneAmplitude(mixed, 660, 48000), 100);
    EXPECT_EQ(peak(left), 0.0);
    // The file lasts about as long as what was played (40 ticks plus start-up).
    EXPECT_GT(double(right.size()) / 48000.0, 40 * 0.0213);
    EXPECT_LT(double(right.size()) / 48000.0, 3.0);
}

TEST_F(MixerEndToEndTest, TalkBackInProcessReachesTheHostUntilDisabled)
{
    QSharedPointer<Mixer> m = Mixer::getInstance(true, false);
    QSignalSpy packets(m.data(), &Mixer::inprocRtpPacket);
    m->setAnalogMicGain(20);  // no effect
    m->enableRtpSink(QHostAddress::LocalHost, 0, SAMPLE_RATE_8000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return packets.count() >= 5; }, 10000));
    SharedPoolBuffer spb = packets.last().at(0).value<SharedPoolBuffer>();
    RTPPacket packet(spb.getBuffer(), spb.getBufferSize());
    ASSERT_TRUE(packet.isHeaderValid());
    EXPECT_EQ(int(packet.getPayloadType()), 8);
    EXPECT_NEAR(packet.getPayloadSize(), 250, 4);

    m->disableRtpSink();
    QCoreApplication::sendPostedEvents();  // packets sent before the stop
    const int count = packets.count();
    QTest::qWait(200);  // nothing may arrive after the stop: look for a while
    EXPECT_EQ(packets.count(), count);

    // Enabling again starts the stopped capture again.
    m->enableRtpSink(QHostAddress::LocalHost, 0, SAMPLE_RATE_16000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return packets.count() >= count + 3; }, 10000));
    spb = packets.last().at(0).value<SharedPoolBuffer>();
    EXPECT_EQ(int(RTPPacket(spb.getBuffer(), spb.getBufferSize()).getPayloadType()), 97);
}
