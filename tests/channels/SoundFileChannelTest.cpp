#include "SoundFileChannel.h"
#include "LogCapture.h"
#include "SignalAnalysis.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <functional>
#include <gtest/gtest.h>
#include <numeric>

using namespace SignalAnalysis;

namespace {

using Patch = std::function<void(QByteArray&)>;

class SoundFileChannelTest : public ::testing::Test
{
protected:
    // A mono WAV file, its bytes then changed by `patch` if given.
    QString write(const QString& name, const std::vector<int16_t>& samples, int rate = 48000, const Patch& patch = {})
    {
        const QString path = m_dir.filePath(name);
        writeWav(path, rate, 1, samples);
        QFile f(path);
        if (patch && f.open(QIODevice::ReadWrite)) {
            QByteArray bytes = f.readAll();
            patch(bytes);
            f.resize(0);
            f.write(bytes);
        }
        return path;
    }

    QTemporaryDir m_dir;
};

}  // namespace

// Each failed check has its warning, and the exception says why with the value found.
TEST_F(SoundFileChannelTest, RejectsBadHeadersWithTheirWarningsAndReasons)
{
    const std::tuple<const char*, Patch, const char*, const char*> cases[] = {
        {"riff", [](QByteArray& b) { b[0] = 'X'; }, "This is not a RIFF file",
         "not a WAV file: it begins with 'XIFF', not 'RIFF'"},
        {"size", [](QByteArray& b) { qToLittleEndian<quint32>(b.size() - 8 + 1, b.data() + 4); },
         "WAV file sizes do not match", "its header gives 51 bytes, the file has 50"},
        {"wave", [](QByteArray& b) { b[8] = 'X'; }, "This is not a WAV file", "RIFF file of form 'XAVE'"},
        {"fmt", [](QByteArray& b) { b[12] = 'X'; }, "First sub chunk is not fmt", "first chunk is 'Xmt '"},
        {"pcm", [](QByteArray& b) { qToLittleEndian<quint16>(3, b.data() + 20); }, "Wav file is not raw PCM",
         "format 3: only PCM"},
        {"extra chunk",
         [](QByteArray& b) {
             b.insert(36, QByteArray("LIST\x04\x00\x00\x00"
                                     "abcd",
                                     12));
             qToLittleEndian<quint32>(b.size() - 8, b.data() + 4);
         },
         "No data chunk", "'LIST' where the 'data' chunk"},
        {"stereo 8 bit",
         [](QByteArray& b) {
             qToLittleEndian<quint16>(2, b.data() + 22);
             qToLittleEndian<quint16>(8, b.data() + 34);
         },
         "Only mono files supported", "2 channels, only mono"},
        {"8 bit", [](QByteArray& b) { qToLittleEndian<quint16>(8, b.data() + 34); }, "Only 16bit samples supported",
         "8 bits per sample"},
        {"4 GHz", [](QByteArray& b) { qToLittleEndian<quint32>(0xFFFFFFFFu, b.data() + 24); },
         "Sample rate above 384000 Hz cannot be played", "above 384000"},
        {"short", [](QByteArray& b) { b.truncate(30); }, "Failed to read Header",
         "30 bytes, shorter than a WAV header"},
        {"missing", nullptr, "Failed to open WAV file", "cannot open it: No such file or directory"},
    };
    for (const auto& [name, patch, warning, reason] : cases) {
        LogCapture log;
        const QString p = patch ? write(QString(name) + ".wav", {1, 2, 3}, 48000, patch) : m_dir.filePath(name);
        try {
            SoundFileChannel(p, 48000, false, 1.0);
            ADD_FAILURE() << name << " was accepted";
        } catch (const std::exception& e) {
            EXPECT_TRUE(strstr(e.what(), reason)) << name << ": " << e.what();
        }
        EXPECT_EQ(log.count(QtWarningMsg, QString("SoundFileChannel::SoundFileChannel: ") + warning), 1)
            << name << "\n"
            << log.dump().toStdString();
    }
}

// The file holds one byte more than its samples, declared in its sizes: the odd byte is never played.
TEST_F(SoundFileChannelTest, PlaysOnceThenSilenceOrLoopsWithoutAGap)
{
    std::vector<int16_t> data(5000);  // 10000 bytes: not a multiple of the request
    std::iota(data.begin(), data.end(), int16_t(0));
    const QString path = write("ramp.wav", data, 48000, [](QByteArray& b) {
        b.append('\x7f');
        qToLittleEndian<quint32>(b.size() - 44, b.data() + 40);
        qToLittleEndian<quint32>(b.size() - 8, b.data() + 4);
    });
    for (bool loop : {false, true}) {
        SoundFileChannel c(path, 48000, loop, 1.0);
        EXPECT_TRUE(c.getCurrentTimestamp().isNull() && c.getSampleRate() == SAMPLE_RATE_NONE);
        std::vector<int16_t> out(12 * 1024);
        for (size_t i = 0; i < out.size(); i += 1024)
            c.getData(reinterpret_cast<unsigned char*>(&out[i]), 2048);
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], loop || i < data.size() ? data[i % data.size()] : 0) << loop << " sample " << i;
        EXPECT_EQ(c.hasEnded(), !loop);
    }
}

TEST_F(SoundFileChannelTest, OtherRatesPlayAtTheirPitchAndGain)
{
    for (int rate : {8000, 16000, 44100}) {
        const QString path = write(QString("t%1.wav").arg(rate), toInt16(sine(440, rate, size_t(rate), 8000)), rate);
        SoundFileChannel c(path, 48000, true, 0.5);
        std::vector<int16_t> out(30 * 1024);  // 0.64 s at 48 kHz
        for (size_t i = 0; i < out.size(); i += 1024)
            c.getData(reinterpret_cast<unsigned char*>(&out[i]), 2048);
        const std::vector<double> steady = slice(toDouble(out), 4800, out.size());
        EXPECT_NEAR(dominantFrequency(steady, 48000, 100, 2000), 440.0, 2.0) << rate;
        EXPECT_NEAR(toneAmplitude(steady, 440.0, 48000), 4000.0, 250.0) << rate;
    }
}
