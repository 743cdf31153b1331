#include "Configuration.h"
#include "LogCapture.h"
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
#include <QTest>
#include <gtest/gtest.h>

using namespace SignalAnalysis;

namespace {
// Tone files in the data directory, two of them named in the settings: 300 Hz with 6 kHz, and a broken one.
QDir writeTones()
{
    const QDir data(Configuration::getDataDirectory());
    data.mkpath(".");
    std::vector<double> two = sine(300, 48000, 48000, 5000), high = sine(6000, 48000, 48000, 5000);
    for (size_t i = 0; i < two.size(); ++i)
        two[i] += high[i];
    writeWav(data.filePath("two.wav"), 48000, 1, toInt16(two));
    QFile bad(data.filePath("broken.wav"));
    EXPECT_TRUE(bad.open(QIODevice::WriteOnly) && bad.write("not WAV, but long enough for a 44-byte header") > 44);
    QSettings s(Configuration::settingsFilePath(), QSettings::IniFormat);
    s.setValue("Sounds/Two", "two.wav");
    s.setValue("Sounds/Broken", "broken.wav");
    s.setValue("Mixer/Resample", 2);
    return data;
}
}  // namespace

// The whole mixer on its real thread; tones loop here, so that none ends while the test looks.
TEST(MixerEndToEnd, TonesStartByNameOrFileAndStopById)
{
    const QDir data = writeTones();
    QSharedPointer<Mixer> m = Mixer::getInstance(true, true);
    MixerImpl* impl = MixerAccess::implementation(*m);
    QStringList names = m->getAvailableSignalTones();
    names.sort();
    EXPECT_EQ(names, (QStringList{"Broken", "Two"}));

    LogCapture log;
    const quint64 a = m->setSignalTone("Two", true, false, 1.0);
    const quint64 b = m->setSignalToneFromFile(data.filePath("two.wav"), true, false, 0.5);
    EXPECT_EQ(m->presentationGroups(), QStringList{"LIVE"});
    // An unknown name starts nothing, says nothing and leaves the others alone.
    EXPECT_EQ(m->setSignalTone("Nope", false, false, 1.0), 0u);
    EXPECT_EQ(impl->channelIds().size(), 2);
    EXPECT_EQ(log.count(QtWarningMsg, ""), 0);

    // Stopped by id; one removed by other means is still in the tone map, but no longer in the registry.
    m->stopSignalTone(a);
    EXPECT_EQ(impl->channelIds(), QList<quint64>{b});
    m->stopSignalTone(42);
    impl->removeChannel(b);
    m->stopSignalTone(b);
    m->stopSignalTone(b);

    // Exclusive leaves only the new tone; "none" in any case stops everything and starts nothing.
    m->setSignalTone("Two", true, false, 1.0);
    const quint64 c = m->setSignalTone("Two", true, true, 1.0);
    EXPECT_EQ(impl->channelIds(), QList<quint64>{c});
    EXPECT_EQ(m->setSignalTone("NONE", false, false, 1.0), 0u);
    EXPECT_TRUE(impl->channelIds().isEmpty());

    // Broken and missing files start nothing, but an exclusive one still stops the others first.
    const QString missing = QDir::temp().filePath("kavex-no-such-file.wav"), broken = data.filePath("broken.wav");
    EXPECT_EQ(m->setSignalTone("Broken", false, false, 1.0), 0u);
    m->setSignalTone("Two", true, false, 1.0);
    EXPECT_EQ(m->setSignalToneFromFile(missing, false, true, 1.0), 0u);
    EXPECT_TRUE(impl->channelIds().isEmpty());
    EXPECT_EQ(m->setSignalToneFromFile(broken, false, false, 1.0), 0u);
    const std::pair<QString, int> lines[] = {
        {"MixerImpl::stopSignalTone(): unknown channel id 0x2a", 1},
        {QString("MixerImpl::removeChannel: Unknown id %1").arg(b), 1},
        {QString("MixerImpl::stopSignalTone(): unknown channel id 0x%1").arg(b, 0, 16), 1},
        {"MixerImpl::setSignalToneFromFile(): error while activating sound 'broken.wav'", 1},
        {"MixerImpl::setSignalToneFromFile(): file '" + missing + "' not found", 1},
        {"MixerImpl::setSignalToneFromFile(): 'not a WAV file: it begins with 'not ', not 'RIFF''", 1},
        {"MixerImpl::setSignalToneFromFile(): error while activating sound file '" + broken + "'.", 1}};
    for (const auto& [line, count] : lines)
        EXPECT_EQ(log.count(QtWarningMsg, line), count) << line.toStdString();
}

TEST(MixerEndToEnd, TonesReachTheCardAndTalkBackReachesTheHostUntilDisabled)
{
    const QDir data = writeTones();
    // The output card records into a WAV file; the microphone plays a tone file.
    ScopedEnvironment env("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + data.filePath("out.wav")).toUtf8());
    env.set("OSTKAVEX_INPUT_DEVICE", ("wav:" + data.filePath("two.wav")).toUtf8());
    writeWav(data.filePath("b440.wav"), 16000, 1, toInt16(sine(440, 16000, 16000, 4000)));
    QSharedPointer<Mixer> m = Mixer::getInstance(false, false);
    MixerImpl* impl = MixerAccess::implementation(*m);
    QSignalSpy packets(m.data(), &Mixer::inprocRtpPacket);
    // Low-pass at 2 kHz cuts 6 kHz; balance 100 mutes the left; volume 356 acts as 100 (low 8 bits).
    m->enableFilter(0, true);
    m->setBalance(100);
    m->setMasterVolume(356);
    m->setAnalogMicGain(20);  // no effect
    EXPECT_NE(m->setSignalTone("Two", true, false, 1.0), 0u);
    EXPECT_NE(m->setSignalToneFromFile(data.filePath("b440.wav"), true, false, 1.0), 0u);
    const quint64 start = impl->tick();

    m->enableRtpSink(QHostAddress::LocalHost, 0, SAMPLE_RATE_8000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return packets.count() >= 5; }, 10000));
    SharedPoolBuffer spb = packets.last().at(0).value<SharedPoolBuffer>();
    RTPPacket packet(spb.getBuffer(), spb.getBufferSize());
    EXPECT_EQ(std::make_pair(packet.isHeaderValid(), int(packet.getPayloadType())), std::make_pair(true, 8));
    EXPECT_NEAR(packet.getPayloadSize(), 250, 4);
    m->disableRtpSink();
    QCoreApplication::sendPostedEvents();  // packets sent before the stop
    const int count = packets.count();
    QTest::qWait(200);  // nothing may arrive after the stop: look for a while
    EXPECT_EQ(packets.count(), count);
    m->enableRtpSink(QHostAddress::LocalHost, 0, SAMPLE_RATE_16000);  // starts the stopped capture again
    ASSERT_TRUE(QTest::qWaitFor([&] { return packets.count() >= count + 3; }, 10000));
    spb = packets.last().at(0).value<SharedPoolBuffer>();
    EXPECT_EQ(int(RTPPacket(spb.getBuffer(), spb.getBufferSize()).getPayloadType()), 97);

    ASSERT_TRUE(QTest::qWaitFor([&] { return impl->tick() >= start + 40; }, 20000));
    m.reset();
    const WavData wav = readWav(data.filePath("out.wav"));
    ASSERT_EQ(std::make_tuple(wav.ok, wav.sampleRate, wav.channels), std::make_tuple(true, 48000, 2));
    const std::vector<double> left = channel(wav.samples, 2, 0), right = channel(wav.samples, 2, 1);
    const Window w = strongestWindow(right, 300, 48000, 9600);
    const std::vector<double> mixed = slice(right, w.start, 9600);
    EXPECT_NEAR(w.amplitude, 5000, 300);
    EXPECT_NEAR(strongestWindow(right, 440, 48000, 9600).amplitude, 4000, 250);  // started a little later
    EXPECT_LT(toneAmplitude(mixed, 6000, 48000), 2000);
    EXPECT_EQ(peak(left), 0.0);
    // The file lasts about as long as what was played (40 ticks or more, plus start-up).
    EXPECT_GT(double(right.size()) / 48000.0, 40 * 0.0213);
    EXPECT_LT(double(right.size()) / 48000.0, 3.0);
}
