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

    // Frames whose (left, right) pair satisfies `match`.
    static size_t countFrames(const Played& p, const std::function<bool(double, double)>& match)
    {
        size_t n = 0;
        for (size_t i = 0; i < p.left.size(); ++i)
            n += match(p.left[i], p.right[i]) ? 1 : 0;
        return n;
    }
    static size_t lastFrame(const Played& p, const std::function<bool(double, double)>& match)
    {
        for (size_t i = p.left.size(); i-- > 0;)
            if (match(p.left[i], p.right[i]))
                return i;
        return 0;
    }
    // The end of a recording: played well after the last change of a test.
    static std::vector<double> tail(const std::vector<double>& v) { return slice(v, v.size() - kTail, kTail); }

    // A phase of 15 ticks holds 15360 frames; timing jitter, start-up and the
    // last chunks the card had not played yet take a part of that.
    static constexpr size_t kPhase = 8000;
    static constexpr size_t kTail = 14400;  // 0.3 s
    static constexpr size_t kWindow = 9600;  // 0.2 s

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
    const Window w = strongestWindow(p.left, 880, 48000, kWindow);
    const std::vector<double> both = slice(p.left, w.start, kWindow);
    EXPECT_NEAR(w.amplitude, 8000, 400);
    EXPECT_NEAR(toneAmplitude(both, 440, 48000), 4000, 250);
    EXPECT_LT(toneAmplitude(both, 660, 48000), 100);
    EXPECT_NEAR(toneAmplitude(slice(p.right, w.start, kWindow), 880, 48000), 8000, 400);
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
    const Window w = strongestWindow(p.left, 440, 48000, kWindow);
    EXPECT_NEAR(w.amplitude, 4000, 250);
    // Exclusive stopped the first tone; the stopped tone is silence.
    EXPECT_LT(toneAmplitude(slice(p.left, w.start, kWindow), 880, 48000), 50);
    EXPECT_LT(rms(tail(p.left)), 1.0);

    // A 0.2 s tone without loop ends in silence.
    writeWav(m_dir.filePath("short.wav"), 48000, 1, toInt16(sine(1000, 48000, 9600, 8000)));
    const Played q = run(40, [&](Mixer& m) { m.setSignalToneFromFile(m_dir.filePath("short.wav"), false, false, 1.0); });
    EXPECT_GT(peak(q.left), 7000);
    EXPECT_LT(rms(tail(q.left)), 1.0);
}

TEST_F(MixerOutputTest, MixingSumsMutesAndClips)
{
    TestChannel a(1000), b(30000), c(30000);
    a.unmute(CHANNEL_BOTH);
    // One channel: every frame is (1000, 1000); muted left: (0, 1000).
    Played p = run(15, [&](Mixer& m) { m.implementation()->addChannel("LIVE", &a); },
                   [&](Mixer&) { a.mute(CHANNEL_LEFT); });
    const auto both = [](double l, double r) { return l == 1000 && r == 1000; };
    const auto rightOnly = [](double l, double r) { return l == 0 && r == 1000; };
    const auto silent = [](double l, double r) { return l == 0 && r == 0; };
    EXPECT_GT(countFrames(p, both), kPhase);
    EXPECT_GT(countFrames(p, rightOnly), kPhase);
    EXPECT_LT(lastFrame(p, both), lastFrame(p, rightOnly));
    // Nothing else: the card plays silence only before the first tick.
    EXPECT_EQ(countFrames(p, both) + countFrames(p, rightOnly) + countFrames(p, silent), p.left.size());

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
    // Both phases clip: no frame holds the unclipped 20000 or 30000.
    EXPECT_GT(countFrames(p, [](double l, double r) { return l == 32767 && r == 32767; }), 2 * kPhase);
    EXPECT_EQ(countFrames(p, [](double l, double r) { return (l != 0 && l != 32767) || (r != 0 && r != 32767); }), 0u);
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
    const auto loud = [](double l, double r) { return l == 1000 && r == 1000; };
    const auto silent = [](double l, double r) { return l == 0 && r == 0; };
    EXPECT_GT(countFrames(p, loud), kPhase);
    EXPECT_EQ(countFrames(p, loud) + countFrames(p, silent), p.left.size());
    EXPECT_GT(p.left.size() - lastFrame(p, loud), kPhase);  // silence after volume 0

    // Balance 100 silences the left side only.
    p = run(15, [&](Mixer& m) {
        m.implementation()->addChannel("LIVE", &a);
        m.setBalance(100);
    });
    EXPECT_GT(countFrames(p, [](double l, double r) { return l == 0 && r == 1000; }), kPhase);
    EXPECT_EQ(countFrames(p, [](double l, double) { return l != 0; }), 0u);
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
    const std::vector<double> mid = tail(p.left);
    EXPECT_NEAR(toneAmplitude(mid, 300, 48000), 5000, 300);
    EXPECT_LT(toneAmplitude(mid, 6000, 48000), 5000 * 0.4);
}
