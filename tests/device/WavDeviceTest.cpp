#include "LogCapture.h"
#include "PcmDevice.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

namespace {
constexpr int CHUNK_FRAMES = 1024;

// Chunk `index` of a recognisable stereo signal that is never silent.
std::vector<int16_t> chunkSamples(int index)
{
    std::vector<int16_t> samples(2 * CHUNK_FRAMES);
    for (int f = 0; f < CHUNK_FRAMES; ++f) {
        const int16_t left = int16_t(100 * (index + 1) + f % 97);
        samples[2 * f] = left;
        samples[2 * f + 1] = int16_t(-left);
    }
    return samples;
}

std::unique_ptr<PcmDevice> openInput(int channels)
{
    return std::unique_ptr<PcmDevice>(
        PcmDevice::open(PcmDevice::DirectionInput, 48000, PcmDevice::SampleWidth16, channels, true));
}
}  // namespace

TEST(WavDevice, OutputRecordsWhatTheCardPlays)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("played.wav");
    ScopedEnvironment env("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + path).toUtf8());
    const int chunks = 20;

    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<PcmDevice> device(PcmDevice::open(PcmDevice::DirectionOutput, 48000, PcmDevice::SampleWidth16, 2, true));
    ASSERT_TRUE(device);
    for (int i = 0; i < chunks; ++i) {
        std::vector<int16_t> samples = chunkSamples(i);
        ASSERT_EQ(device->write(reinterpret_cast<unsigned char*>(samples.data()), CHUNK_FRAMES, nullptr), CHUNK_FRAMES);
    }
    device.reset();
    const double elapsedMs = double(timer.nsecsElapsed()) / 1e6;

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray header = file.read(44);
    const qint64 fileSize = file.size();
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 4), quint32(fileSize - 8));
    EXPECT_EQ(qFromLittleEndian<quint32>(header.constData() + 40), quint32(fileSize - 44));

    const SignalAnalysis::WavData wav = SignalAnalysis::readWav(path);
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(std::make_tuple(wav.sampleRate, wav.channels, wav.bitsPerSample), std::make_tuple(48000, 2, 16));
    // The card played from the open until the release.
    const double playedMs = double(wav.samples.size() / 2) / 48.0;
    EXPECT_LE(playedMs, elapsedMs + 1.0);
    EXPECT_GE(playedMs, chunks * 64.0 / 3.0);

    // First the silent ring's round, then the chunks in order, except the
    // last ones that were still ahead of the cursor at the release.
    const size_t ringSamples = 4 * 2 * CHUNK_FRAMES;
    ASSERT_GT(wav.samples.size(), ringSamples);
    EXPECT_EQ(std::vector<int16_t>(wav.samples.begin(), wav.samples.begin() + ringSamples),
              std::vector<int16_t>(ringSamples, 0));
    const size_t playedChunks = (wav.samples.size() - ringSamples) / (2 * CHUNK_FRAMES);
    EXPECT_GE(playedChunks, size_t(chunks - 4));
    EXPECT_LE(playedChunks, size_t(chunks));
    for (size_t i = 0; i < playedChunks; ++i) {
        const auto begin = wav.samples.begin() + ringSamples + i * 2 * CHUNK_FRAMES;
        ASSERT_EQ(std::vector<int16_t>(begin, begin + 2 * CHUNK_FRAMES), chunkSamples(int(i))) << "chunk " << i;
    }
}

TEST(WavDevice, InputDeliversTheFileInALoop)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("mic.wav");
    std::vector<int16_t> ramp(2000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = int16_t(i + 1);
    ASSERT_TRUE(SignalAnalysis::writeWav(path, 48000, 1, ramp));
    ScopedEnvironment env("OSTKAVEX_INPUT_DEVICE", ("wav:" + path).toUtf8());

    std::unique_ptr<PcmDevice> device = openInput(1);
    ASSERT_TRUE(device);
    std::vector<int16_t> received(4500);
    for (int block = 0; block < 3; ++block)
        ASSERT_EQ(device->read(reinterpret_cast<unsigned char*>(received.data() + 1500 * block), 1500), 1500);
    for (size_t i = 0; i < received.size(); ++i)
        ASSERT_EQ(received[i], ramp[i % ramp.size()]) << "sample " << i;
}

TEST(WavDevice, InputRefusesAFileOfAnotherFormat)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("cd.wav");
    ASSERT_TRUE(SignalAnalysis::writeWav(path, 44100, 2, std::vector<int16_t>(2000, 1)));
    ScopedEnvironment env("OSTKAVEX_INPUT_DEVICE", ("wav:" + path).toUtf8());

    for (int channels : {1, 2}) {
        LogCapture log;
        EXPECT_FALSE(openInput(channels));
        const QString expected = QStringLiteral("cannot use %1: it holds PCM 44100 Hz, 2 channel(s), 16 bit; the "
                                                "capture needs PCM 48000 Hz, %2 channel(s), 16 bit")
                                     .arg(path)
                                     .arg(channels);
        EXPECT_EQ(log.count(QtWarningMsg, expected), 1) << log.dump().toStdString();
        EXPECT_EQ(log.count(QtCriticalMsg, "PcmDevice::PcmDevice(): could not start DSoundIn"), 1);
    }

    LogCapture log;
    env.set("OSTKAVEX_INPUT_DEVICE", ("wav:" + dir.filePath("missing.wav")).toUtf8());
    EXPECT_FALSE(openInput(1));
    EXPECT_EQ(log.count(QtWarningMsg, "cannot open"), 1) << log.dump().toStdString();
}
