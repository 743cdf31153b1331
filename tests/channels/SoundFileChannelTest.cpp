#include "LogCapture.h"
#include "SignalAnalysis.h"
#include "SoundFileChannel.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>
#include <memory>

using namespace SignalAnalysis;

namespace {
struct Deleter {
    void operator()(SoundFileChannel* c) const { c->deleteThis(); }
};
using ChannelPtr = std::unique_ptr<SoundFileChannel, Deleter>;

class SoundFileChannelTest : public ::testing::Test
{
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    QString writeMono(const QString& name, int rate, const std::vector<int16_t>& samples)
    {
        writeWav(path(name), rate, 1, samples);
        return path(name);
    }

    // Writes a file, then lets `patch` change its bytes.
    QString writePatched(const QString& name, const std::function<void(QByteArray&)>& patch)
    {
        const QString p = writeMono(name, 48000, std::vector<int16_t>(480, 1000));
        QFile f(p);
        f.open(QIODevice::ReadOnly);
        QByteArray bytes = f.readAll();
        f.close();
        patch(bytes);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(bytes);
        return p;
    }

    std::vector<int16_t> play(SoundFileChannel& c, int requests, int bytesPerRequest = 2048)
    {
        std::vector<int16_t> out;
        std::vector<int16_t> block(size_t(bytesPerRequest / 2));
        for (int i = 0; i < requests; ++i) {
            c.getData(reinterpret_cast<unsigned char*>(block.data()), quint64(bytesPerRequest));
            out.insert(out.end(), block.begin(), block.end());
        }
        return out;
    }

    QTemporaryDir m_dir;
};

void put32(QByteArray& b, int at, quint32 v)
{
    qToLittleEndian<quint32>(v, reinterpret_cast<uchar*>(b.data() + at));
}
void put16(QByteArray& b, int at, quint16 v)
{
    qToLittleEndian<quint16>(v, reinterpret_cast<uchar*>(b.data() + at));
}

std::vector<int16_t> ramp(size_t n)
{
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = int16_t(i % 30000);
    return v;
}
}  // namespace

TEST_F(SoundFileChannelTest, RejectsBadHeadersWithTheirWarnings)
{
    struct Case {
        const char* name;
        std::function<void(QByteArray&)> patch;
        const char* warning;
    };
    const QList<Case> cases = {
        {"riff", [](QByteArray& b) { b[0] = 'X'; }, "SoundFileChannel::SoundFileChannel: This is not a RIFF file"},
        {"size", [](QByteArray& b) { put32(b, 4, quint32(b.size() - 8 + 1)); },
         "SoundFileChannel::SoundFileChannel: WAV file sizes do not match"},
        {"wave", [](QByteArray& b) { b[8] = 'X'; }, "SoundFileChannel::SoundFileChannel: This is not a WAV file"},
        {"fmt", [](QByteArray& b) { b[12] = 'X'; }, "SoundFileChannel::SoundFileChannel: First sub chunk is not fmt"},
        {"pcm", [](QByteArray& b) { put16(b, 20, 3); }, "SoundFileChannel::SoundFileChannel: Wav file is not raw PCM"},
        {"extra chunk", [](QByteArray& b) {
             b.insert(36, QByteArray("LIST\x04\x00\x00\x00" "abcd", 12));
             put32(b, 4, quint32(b.size() - 8));
         }, "SoundFileChannel::SoundFileChannel: No data chunk"},
        {"stereo 8 bit", [](QByteArray& b) { put16(b, 22, 2); put16(b, 34, 8); },
         "SoundFileChannel::SoundFileChannel: Only mono files supported"},
        {"8 bit", [](QByteArray& b) { put16(b, 34, 8); }, "SoundFileChannel::SoundFileChannel: Only 16bit samples supported"},
        {"short", [](QByteArray& b) { b.truncate(30); }, "SoundFileChannel::SoundFileChannel: Failed to read Header"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        const QString p = writePatched(QString(c.name) + ".wav", c.patch);
        EXPECT_THROW(SoundFileChannel(p, 48000, false, 1.0), std::exception) << c.name;
        EXPECT_EQ(log.count(QtWarningMsg, c.warning), 1) << c.name << "\n" << log.dump().toStdString();
    }
    LogCapture log;
    EXPECT_THROW(SoundFileChannel(path("missing.wav"), 48000, false, 1.0), std::exception);
    EXPECT_EQ(log.count(QtWarningMsg, "SoundFileChannel::SoundFileChannel: Failed to open WAV file"), 1);
}

TEST_F(SoundFileChannelTest, PlaysOnceThenSilenceOrLoopsWithoutAGap)
{
    const std::vector<int16_t> data = ramp(5000);  // 10000 bytes: not a multiple of the request
    for (bool loop : {false, true}) {
        ChannelPtr c(new SoundFileChannel(writeMono("ramp.wav", 48000, data), 48000, loop, 1.0));
        EXPECT_TRUE(c->getCurrentTimestamp().isNull());
        EXPECT_EQ(c->getSampleRate(), SAMPLE_RATE_NONE);
        const std::vector<int16_t> out = play(*c, 12);
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], loop || i < data.size() ? data[i % data.size()] : 0) << loop << " sample " << i;
        EXPECT_EQ(c->hasEnded(), !loop);
    }
    // One byte more data, declared: the odd byte is not played.
    const QString p = writePatched("odd.wav", [](QByteArray& b) {
        b.append('\x7f');
        put32(b, 40, quint32(b.size() - 44));
        put32(b, 4, quint32(b.size() - 8));
    });
    ChannelPtr odd(new SoundFileChannel(p, 48000, false, 1.0));
    const std::vector<int16_t> out = play(*odd, 1);
    EXPECT_TRUE(out[479] == 1000 && out[480] == 0);
}

TEST_F(SoundFileChannelTest, OtherRatesPlayAtTheirPitchAndGain)
{
    for (int rate : {8000, 16000, 44100}) {
        const std::vector<double> tone = sine(440.0, rate, size_t(rate), 8000.0);
        ChannelPtr c(new SoundFileChannel(writeMono(QString("t%1.wav").arg(rate), rate, toInt16(tone)), 48000, true, 0.5));
        const std::vector<double> out = toDouble(play(*c, 30));  // 0.64 s at 48 kHz
        const std::vector<double> steady(out.begin() + 4800, out.end());
        EXPECT_NEAR(dominantFrequency(steady, 48000, 100, 2000), 440.0, 2.0) << rate;
        EXPECT_NEAR(toneAmplitude(steady, 440.0, 48000), 4000.0, 250.0) << rate;
    }
}
