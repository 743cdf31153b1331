#include "Configuration.h"
#include "Mixer.h"
#include "MixerAccess.h"
#include "MixerImpl.h"
#include "RTPPacket.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace SignalAnalysis;

namespace {
// The whole mixer on its real thread, with sound cards that record the
// output into a WAV file and read the microphone from one.
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
        writeWav(Configuration::makeDirectory(Configuration::getDataDirectory(), "two.wav"), 48000, 1, toInt16(two));
        writeWav(m_dir.filePath("b440.wav"), 16000, 1, toInt16(sine(440, 16000, 16000, 4000)));
        QSettings s(Configuration::settingsFilePath(), QSettings::IniFormat);
        s.setValue("Sounds/Two", "two.wav");
        s.sync();
    }

    QTemporaryDir m_dir;
    ScopedEnvironment m_env;
};
}  // namespace

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
