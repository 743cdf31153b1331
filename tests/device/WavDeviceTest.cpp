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
#include <tuple>
#include <vector>

// The WAV cards: the virtual card recording what it plays into a file, and
// a virtual microphone playing a file, both running on the clock they get.
namespace {
constexpr int CHUNK_SAMPLES = 2 * 1024;

// Chunk `index` of a recognisable stereo signal that is never silent.
std::vector<int16_t> chunkSamples(int index)
{
    std::vector<int16_t> samples(CHUNK_SAMPLES);
    for (int i = 0; i < CHUNK_SAMPLES; ++i)
        samples[i] = int16_t((i % 2 ? -1 : 1) * (100 * (index + 1) + i / 2 % 97));
    return samples;
}

std::unique_ptr<PcmDevice> open(PcmDevice::eDirection direction, int channels, Clock& clock)
{
    return std::unique_ptr<PcmDevice>(PcmDevice::open(direction, 48000, PcmDevice::SampleWidth16, channels, true, clock));
}

// Counts the allocations of the thread that is being watched.
thread_local bool t_watching = false;
thread_local int t_allocations = 0;
}  // namespace

void* operator new(std::size_t size)
{
    if (t_watching)
        ++t_allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
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
    // First the silent ring's round, then the chunks in order, then silence.
    std::vector<int16_t> expected(4 * CHUNK_SAMPLES, 0);
    for (int i = 0; i < 20; ++i) {
        std::vector<int16_t> samples = chunkSamples(i);
        ASSERT_EQ(device->write(reinterpret_cast<unsigned char*>(samples.data()), 1024, nullptr), 1024);
        expected.insert(expected.end(), samples.begin(), samples.end());
    }
    // Each write waits for the card to finish a block of 64/3 ms.
    EXPECT_GE(clock.sleptUs(), 20 * 64000u / 3);
    EXPECT_LE(clock.sleptUs(), 20 * 64000u / 3 + 2000);
    // Then the writer stops: the card plays what is left once, then silence.
    clock.advanceMs(200);
    const quint64 playedFrames = (clock.monotonicUs() - openedUs) * 48 / 1000;
    device.reset();

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray header = file.read(44);
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 4), quint32(file.size() - 8));
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 40), quint32(file.size() - 44));
    const SignalAnalysis::WavData wav = SignalAnalysis::readWav(path);
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(std::make_tuple(wav.sampleRate, wav.channels, wav.bitsPerSample), std::make_tuple(48000, 2, 16));
    // The card played from the open until the release, on the clock it was given.
    ASSERT_EQ(wav.samples.size(), 2 * playedFrames);
    expected.resize(wav.samples.size(), 0);
    for (size_t begin = 0; begin < expected.size(); begin += CHUNK_SAMPLES) {
        const size_t end = std::min(expected.size(), begin + CHUNK_SAMPLES);
        ASSERT_TRUE(std::equal(expected.begin() + begin, expected.begin() + end, wav.samples.begin() + begin))
            << "block " << begin / CHUNK_SAMPLES;
    }
}

TEST(WavDevice, InputDeliversTheFileInALoopInRealTime)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("mic.wav");
    std::vector<int16_t> ramp(2000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = int16_t(i + 1);
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
    // 93.75 ms of audio, waited for in 2 ms steps.
    EXPECT_EQ(clock.sleepsUs(), QVector<quint64>(47, 2000).toList());
    // Writing to an input device plays nothing and does not wait.
    EXPECT_EQ(device->write(reinterpret_cast<unsigned char*>(received.data()), 1024, nullptr), 1024);
    EXPECT_EQ(clock.sleepsUs().size(), 47);

    // A reader more than the ring behind reads on from its offset; the ring
    // there holds the microphone's latest round, so the next block is the
    // file's samples of the last 31.25 ms before the read returns.
    clock.advanceMs(400);
    ASSERT_EQ(device->read(reinterpret_cast<unsigned char*>(received.data()), 1500), 1500);
    const quint64 recordedSamples = (clock.monotonicUs() - openedUs) * 48 / 1000;
    for (size_t i = 0; i < 1500; ++i)
        ASSERT_EQ(received[i], ramp[(recordedSamples - 1500 + i) % ramp.size()]) << "sample " << i;
}

TEST(WavDevice, InputRefusesAFileOfAnotherFormat)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("cd.wav");
    ASSERT_TRUE(SignalAnalysis::writeWav(path, 44100, 2, std::vector<int16_t>(2000, 1)));
    ScopedEnvironment env("OSTKAVEX_INPUT_DEVICE", ("wav:" + path).toUtf8());
    TestClock clock;
    for (int channels : {1, 2}) {
        LogCapture log;
        EXPECT_FALSE(open(PcmDevice::DirectionInput, channels, clock));
        EXPECT_EQ(log.count(QtWarningMsg, QStringLiteral("cannot use %1: it holds PCM 44100 Hz, 2 channel(s), 16 bit; "
                                                         "the capture needs PCM 48000 Hz, %2 channel(s), 16 bit")
                                              .arg(path)
                                              .arg(channels)),
                  1)
            << log.dump().toStdString();
        EXPECT_EQ(log.count(QtCriticalMsg, "PcmDevice::PcmDevice(): could not start DSoundIn"), 1);
    }
    LogCapture log;
    env.set("OSTKAVEX_INPUT_DEVICE", ("wav:" + dir.filePath("missing.wav")).toUtf8());
    EXPECT_FALSE(open(PcmDevice::DirectionInput, 1, clock));
    EXPECT_EQ(log.count(QtWarningMsg, "cannot open"), 1) << log.dump().toStdString();
}

// The one test on the system clock: a test clock records its sleeps, which allocates.
TEST(WavDevice, WritingAChunkDoesNotAllocate)
{
    QTemporaryDir dir;
    // The recording card does the most work per chunk: it writes the file.
    ScopedEnvironment env("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + dir.filePath("out.wav")).toUtf8());
    std::unique_ptr<PcmDevice> device = open(PcmDevice::DirectionOutput, 2, Clock::system());
    ASSERT_TRUE(device);
    std::vector<unsigned char> chunk(4096, 3);
    unsigned int status = 0;
    // The first round of the ring is played before watching.
    for (int i = 0; i < 5; ++i)
        device->write(chunk.data(), 1024, &status);
    // The count works: a watched allocation is seen.
    t_watching = true;
    std::unique_ptr<std::vector<char>> probe(new std::vector<char>(16));
    t_watching = false;
    ASSERT_EQ(t_allocations, 2);
    t_allocations = 0;

    t_watching = true;
    for (int i = 0; i < 4; ++i)
        device->write(chunk.data(), 1024, &status);
    t_watching = false;
    EXPECT_EQ(t_allocations, 0);
}
