#include "Configuration.h"
#include "Mixer.h"
#include "ScopedEnvironment.h"
#include "MixerImpl.h"
#include "SignalAnalysis.h"
#include "TestChannel.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <functional>

using namespace SignalAnalysis;

namespace {
// Runs a mixer whose sound card records into a WAV file, lets `scene` set it
// up, plays `ticks` mixing ticks and returns what the card played.
class MixerOutputTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_env.set("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + m_dir.filePath("out.wav")).toUtf8());
        QDir().mkpath(Configuration::getDataDirectory());
        writeWav(Configuration::makeDirectory(Configuration::getDataDirectory(), "a880.wav"), 48000, 1,
                 toInt16(sine(880, 48000, 48000, 8000)));
        writeWav(m_dir.filePath("b440.wav"), 16000, 1, toInt16(sine(440, 16000, 16000, 4000)));
        QSettings s(Configuration::settingsFilePath(), QSettings::IniFormat);
        s.setValue("Sounds/Alarm", "a880.wav");
        s.sync();
    }
    struct Played {
        std::vector<double> left, right;
        WavData wav;
    };

    Played run(quint64 ticks, const std::function<void(Mixer&)>& scene,
               const std::function<void(Mixer&)>& later = nullptr)
    {
        QSharedPointer<Mixer> m = Mixer::getInstance(false, false);
        scene(*m);
        MixerImpl* impl = m->implementation();
        const quint64 start = impl->tick();
        EXPECT_TRUE(QTest::qWaitFor([&] { return impl->tick() >= start + ticks; }, 20000));
        if (later) {
            later(*m);
            const quint64 t = impl->tick();
            EXPECT_TRUE(QTest::qWaitFor([&] { return impl->tick() >= t + ticks; }, 20000));
        }
        m.reset();
        Played p;
        p.wav = readWav(m_dir.filePath("out.wav"));
        EXPECT_TRUE(p.wav.ok);
        EXPECT_EQ(p.wav.sampleRate, 48000);
        EXPECT_EQ(p.wav.channels, 2);
        p.left = channel(p.wav.samples, 2, 0);
        p.right = channel(p.wav.samples, 2, 1);
        return p;
    }

    // The part of a recording between two fractions of its length.
    static std::vector<double> window(const std::vector<double>& v, double from, double to)
    {
        return std::vector<double>(v.begin() + long(from * double(v.size())), v.begin() + long(to * double(v.size())));
    }

    QTemporaryDir m_dir;
    ScopedEnvironment m_env;
};
}  // namespace

TEST_F(MixerOutputTest, TonesFromSettingsAndPathAreHeardAtTheirFrequenciesAndLevels)
{
    const Played p = run(40, [&](Mixer& m) {
        EXPECT_NE(m.setSignalTone("Alarm", true, false, 1.0), 0u);
        EXPECT_NE(m.setSignalToneFromFile(m_dir.filePath("b440.wav"), true, false, 1.0), 0u);
    });
    const std::vector<double> mid = window(p.left, 0.3, 0.9);
    EXPECT_NEAR(toneAmplitude(mid, 880, 48000), 8000, 400);
    EXPECT_NEAR(toneAmplitude(mid, 440, 48000), 4000, 250);
    EXPECT_LT(toneAmplitude(mid, 660, 48000), 100);
    EXPECT_NEAR(toneAmplitude(window(p.right, 0.3, 0.9), 880, 48000), 8000, 400);
    // The file lasts about as long as what was played (40 ticks plus start-up).
    const double seconds = double(p.left.size()) / 48000.0;
    EXPECT_GT(seconds, 40 * 0.0213);
    EXPECT_LT(seconds, 3.0);
}

TEST_F(MixerOutputTest, ExclusiveStopAndEndOfFile)
{
    quint64 keep = 0;
    const Played p = run(30, [&](Mixer& m) {
        m.setSignalTone("Alarm", true, false, 1.0);
        keep = m.setSignalToneFromFile(m_dir.filePath("b440.wav"), true, true, 1.0);
    }, [&](Mixer& m) { m.stopSignalTone(keep); });
    const std::vector<double> first = window(p.left, 0.2, 0.45);
    EXPECT_NEAR(toneAmplitude(first, 440, 48000), 4000, 250);
    EXPECT_LT(toneAmplitude(first, 880, 48000), 50);  // exclusive stopped the first tone
    EXPECT_LT(rms(window(p.left, 0.8, 0.95)), 1.0);    // stopped: silence

    // A 0.2 s tone without loop ends in silence.
    writeWav(m_dir.filePath("short.wav"), 48000, 1, toInt16(sine(1000, 48000, 9600, 8000)));
    const Played q = run(40, [&](Mixer& m) { m.setSignalToneFromFile(m_dir.filePath("short.wav"), false, false, 1.0); });
    EXPECT_GT(peak(q.left), 7000);
    EXPECT_LT(rms(window(q.left, 0.7, 0.95)), 1.0);
}

TEST_F(MixerOutputTest, MixingSumsMutesAndClips)
{
    TestChannel a(1000), b(30000), c(30000);
    a.unmute(CHANNEL_BOTH);
    // One channel: every frame is (1000, 1000); muted left: (0, 1000).
    Played p = run(15, [&](Mixer& m) { m.implementation()->addChannel("LIVE", &a); },
                   [&](Mixer&) { a.mute(CHANNEL_LEFT); });
    const std::vector<double> l1 = window(p.left, 0.3, 0.45), r1 = window(p.right, 0.3, 0.45);
    EXPECT_TRUE(std::all_of(l1.begin(), l1.end(), [](double s) { return s == 1000; }));
    EXPECT_TRUE(std::all_of(r1.begin(), r1.end(), [](double s) { return s == 1000; }));
    const std::vector<double> l2 = window(p.left, 0.8, 0.95), r2 = window(p.right, 0.8, 0.95);
    EXPECT_TRUE(std::all_of(l2.begin(), l2.end(), [](double s) { return s == 0; }));
    EXPECT_TRUE(std::all_of(r2.begin(), r2.end(), [](double s) { return s == 1000; }));

    // Two channels of 30000 clip to 32767; volume 255 clips 20000 too.
    b.unmute(CHANNEL_BOTH);
    c.unmute(CHANNEL_BOTH);
    p = run(15, [&](Mixer& m) {
        m.implementation()->addChannel("LIVE", &b);
        m.implementation()->addChannel("LIVE", &c);
    }, [&](Mixer& m) {
        m.implementation()->removeRtpChannel(MixerImpl::channelId(&c));
        b.m_value = 20000;
        m.setMasterVolume(255);
    });
    EXPECT_EQ(window(p.left, 0.3, 0.45).front(), 32767);
    EXPECT_EQ(window(p.right, 0.8, 0.95).back(), 32767);
}

TEST_F(MixerOutputTest, VolumeAndBalanceShapeTheOutput)
{
    TestChannel a(1000);
    a.unmute(CHANNEL_BOTH);
    // 356 acts as 100 (low 8 bits); volume 0 silences.
    Played p = run(15, [&](Mixer& m) {
        m.implementation()->addChannel("LIVE", &a);
        m.setMasterVolume(356);
    }, [&](Mixer& m) { m.setMasterVolume(0); });
    EXPECT_EQ(window(p.left, 0.3, 0.45).front(), 1000);
    EXPECT_EQ(window(p.left, 0.8, 0.95).back(), 0);
    EXPECT_EQ(window(p.right, 0.8, 0.95).back(), 0);

    // Balance 100 silences the left side only.
    p = run(15, [&](Mixer& m) {
        m.implementation()->addChannel("LIVE", &a);
        m.setBalance(100);
    });
    EXPECT_EQ(window(p.left, 0.5, 0.9).back(), 0);
    EXPECT_EQ(window(p.right, 0.5, 0.9).back(), 1000);
}

TEST_F(MixerOutputTest, FiltersShapeTheSpectrum)
{
    writeWav(m_dir.filePath("two.wav"), 48000, 1,
             toInt16([] {
                 std::vector<double> v = sine(300, 48000, 48000, 5000);
                 const std::vector<double> hi = sine(6000, 48000, 48000, 5000);
                 for (size_t i = 0; i < v.size(); ++i)
                     v[i] += hi[i];
                 return v;
             }()));
    // Low-pass at 2000 Hz (the facade's default) keeps 300 Hz and cuts 6 kHz.
    const Played p = run(25, [&](Mixer& m) {
        m.setSignalToneFromFile(m_dir.filePath("two.wav"), true, false, 1.0);
        m.enableFilter(0, true);
    });
    const std::vector<double> mid = window(p.left, 0.4, 0.9);
    EXPECT_NEAR(toneAmplitude(mid, 300, 48000), 5000, 300);
    EXPECT_LT(toneAmplitude(mid, 6000, 48000), 5000 * 0.4);
}
