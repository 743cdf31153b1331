#include "LogCapture.h"
#include "PcmDevice.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"
#include "TestClock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

// The WAV cards: a virtual card recording what it plays into a file, a virtual microphone playing one.
static std::unique_ptr<PcmDevice> open(PcmDevice::eDirection d, int channels, Clock& clock)
{
    return std::unique_ptr<PcmDevice>(PcmDevice::open(d, 48000, PcmDevice::SampleWidth16, channels, true, clock));
}

// Counts the allocations of the thread that is being watched.
static thread_local bool t_watching = false;
static thread_local int t_allocations = 0;

void* operator new(std::size_t size)
{
    t_allocations += t_watching ? 1 : 0;
    void* p = std::malloc(size ? size : 1);
    return p ? p : throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

TEST(WavDevice, OutputRecordsWhatTheCardPlays)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("played.wav");
    ScopedEnvironment env("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + path).toUtf8());
    TestClock clock;
    const quint64 openedUs = clock.monotonicUs();
    std::unique_ptr<PcmDevice> device = open(PcmDevice::DirectionOutput, 2, clock);
    ASSERT_TRUE(device);
    // The card plays the silent ring's round, then the chunks (a stereo signal never silent), then silence.
    std::vector<int16_t> expected(24 * 2048, 0);
    for (size_t i = 4 * 2048; i < expected.size(); ++i)
        expected[i] = int16_t((i % 2 ? -1 : 1) * (100 * (i / 2048 - 3) + i % 2048 / 2 % 97));
    for (size_t c = 4; c < 24; ++c)
        ASSERT_EQ(device->write(reinterpret_cast<unsigned char*>(&expected[c * 2048]), 1024, nullptr), 1024);
    EXPECT_NEAR(double(clock.sleptUs()), 20 * 64000.0 / 3 + 1000, 1000);  // each write waits for a block of 64/3 ms
    clock.advanceMs(200);  // the writer stops: the card plays what is left once, then silence
    const quint64 playedFrames = (clock.monotonicUs() - openedUs) * 48 / 1000;
    device.reset();

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray header = file.read(44);
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 4), quint32(file.size() - 8));
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 40), quint32(file.size() - 44));
    const SignalAnalysis::WavData wav = SignalAnalysis::readWav(path);
    const std::vector<int> format = {wav.ok, wav.sampleRate, wav.channels, wav.bitsPerSample};
    ASSERT_EQ(format, std::vector<int>({true, 48000, 2, 16}));
    ASSERT_EQ(wav.samples.size(), 2 * playedFrames);  // from the open until the release, on the clock it was given
    expected.resize(wav.samples.size(), 0);
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(wav.samples[i], expected[i]) << "sample " << i;
}

TEST(WavDevice, InputPlaysAFileOfItsFormatInALoopInRealTimeAndRefusesOthers)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("mic.wav");
    std::vector<int16_t> ramp(2000);
    std::iota(ramp.begin(), ramp.end(), 1);
    ASSERT_TRUE(SignalAnalysis::writeWav(path, 48000, 1, ramp));
    ScopedEnvironment env("OSTKAVEX_INPUT_DEVICE", ("wav:" + path).toUtf8());
    TestClock clock;
    const quint64 openedUs = clock.monotonicUs();
    std::unique_ptr<PcmDevice> device = open(PcmDevice::DirectionInput, 1, clock);
    ASSERT_TRUE(device);
    std::vector<int16_t> received(4500);
    for (int block = 0; block < 3; ++block)
        ASSERT_EQ(device->read(reinterpret_cast<unsigned char*>(received.data() + 1500 * block), 1500), 1500);
    for (size_t i = 0; i < received.size(); ++i)
        ASSERT_EQ(received[i], ramp[i % ramp.size()]) << "sample " << i;
    EXPECT_EQ(clock.sleepsUs(), QVector<quint64>(47, 2000).toList());  // 93.75 ms of audio in 2 ms steps
    EXPECT_EQ(device->write(reinterpret_cast<unsigned char*>(received.data()), 1024, nullptr), 1024);
    EXPECT_EQ(clock.sleepsUs().size(), 47);  // writing to an input plays nothing and does not wait

    // A reader more than the ring behind reads on from its offset, where the ring holds the latest
    // round: the next block is the file's samples of the last 31.25 ms before the read returns.
    clock.advanceMs(400);
    ASSERT_EQ(device->read(reinterpret_cast<unsigned char*>(received.data()), 1500), 1500);
    const quint64 recordedSamples = (clock.monotonicUs() - openedUs) * 48 / 1000;
    for (size_t i = 0; i < 1500; ++i)
        ASSERT_EQ(received[i], ramp[(recordedSamples - 1500 + i) % ramp.size()]) << "sample " << i;

    // A file of another format is refused for any channel count; a missing file cannot be opened.
    ASSERT_TRUE(SignalAnalysis::writeWav(dir.filePath("cd.wav"), 44100, 2, std::vector<int16_t>(2000, 1)));
    const QString refusal = "cannot use %1: it holds PCM 44100 Hz, 2 channel(s), 16 bit; "
                            "the capture needs PCM 48000 Hz, %2 channel(s), 16 bit";
    for (const auto& [name, channels] : {std::make_pair("cd.wav", 1), {"cd.wav", 2}, {"missing.wav", 1}}) {
        const QString file = dir.filePath(name);
        env.set("OSTKAVEX_INPUT_DEVICE", ("wav:" + file).toUtf8());
        LogCapture log;
        EXPECT_FALSE(open(PcmDevice::DirectionInput, channels, clock));
        const QString warning = file.endsWith("missing.wav") ? "cannot open" : refusal.arg(file).arg(channels);
        EXPECT_EQ(log.count(QtWarningMsg, warning), 1) << log.dump().toStdString();
        EXPECT_EQ(log.count(QtCriticalMsg, "PcmDevice::PcmDevice(): could not start DSoundIn"), 1);
    }
}

// On the system clock, as a test clock allocates to record sleeps; the recording card does the most work.
TEST(WavDevice, WritingAChunkDoesNotAllocate)
{
    QTemporaryDir dir;
    ScopedEnvironment env("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + dir.filePath("out.wav")).toUtf8());
    std::unique_ptr<PcmDevice> device = open(PcmDevice::DirectionOutput, 2, Clock::system());
    ASSERT_TRUE(device);
    std::vector<unsigned char> chunk(4096, 3);
    unsigned int status = 0;
    t_allocations = 0;  // from this run only, when tests are repeated
    for (int i = 0; i < 9; ++i) {
        t_watching = i >= 5;  // the first round of the ring is played before watching
        device->write(chunk.data(), 1024, &status);
    }
    const std::vector<char> probe(16);  // still watched: the count works if it sees this one alone
    t_watching = false;
    EXPECT_EQ(t_allocations, 1);
}
