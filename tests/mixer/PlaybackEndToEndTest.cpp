#include "Clock.h"
#include "LogCapture.h"
#include "Mixer.h"
#include "Recorder.h"
#include "RecordingStore.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"
#include "StreamUnitDecrypter.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace SignalAnalysis;

// Recorded playback as a host sees it: the ffmpeg tool sends a chirp as RTP
// with sender reports, a Recorder stores it, and the mixer plays it back on
// its real thread into a WAV sound card, following the host's commands.

namespace {

// The chirp rises from 300 Hz by 900 Hz a second for 3 s, at 0.4 of full scale,
// between a second of silence before and after: a channel goes quiet as soon as
// it finds no further unit, with up to half a second still queued, so the
// recording's first and last half second are not heard in full.
const double kSeconds = 3.0;
const double kLead = 1.0;
// Playing starts this far ahead of the chirp: the group's clock runs from the
// start command on, while the first unit is still on its way.
const double kStartEarly = 0.3;
const double kAmplitude = 0.4 * 32768;
const double kUnitSeconds = 0.5;
double chirpHz(double t) { return 300 + 900 * t; }
const QString kGroup = QStringLiteral("replay");
const quint64 kUnixEpochNtpMs = 2208988800000ULL;

enum Codec { CODEC_PCMA, CODEC_SEALED, CODEC_MP2, CODEC_AAC };

struct Recording {
    QString store;
    QString stream;
    NTPTimestamp begin, end;
    QByteArray secretKey;  // opens a sealed recording
    // `seconds` into the chirp.
    NTPTimestamp at(double seconds) const
    {
        return begin + NTPTimestamp::fromMicroseconds(quint64((kLead + seconds) * 1e6));
    }
};

bool finished(QProcess& p)
{
    return QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 30000) && p.exitCode() == 0;
}

// Frequency from zero crossings (with hysteresis) in [start, start + length).
double crossingHz(const std::vector<double>& v, size_t start, size_t length)
{
    int crossings = 0, sign = 0;
    for (size_t i = start; i < std::min(v.size(), start + length); ++i) {
        const int s = v[i] > 500 ? 1 : v[i] < -500 ? -1 : 0;
        if (s != 0 && s != sign) {
            crossings += sign != 0;
            sign = s;
        }
    }
    return crossings * 48000.0 / 2 / double(length);
}

// From the first to the last sample louder than `threshold`.
std::vector<double> loudPart(const std::vector<double>& v, double threshold = 3000)
{
    const auto loud = [threshold](double x) { return std::abs(x) > threshold; };
    const auto first = std::find_if(v.begin(), v.end(), loud);
    const auto last = std::find_if(v.rbegin(), v.rend(), loud).base();
    return first < last ? std::vector<double>(first, last) : std::vector<double>();
}

// The median of five 20 ms zero-crossing frequencies around `centre`: one
// broken mixing frame does not move it.
double frequencyAround(const std::vector<double>& v, size_t centre)
{
    std::vector<double> f;
    for (int k = -2; k <= 2; ++k)
        f.push_back(crossingHz(v, size_t(long(centre) + k * 960 - 480), 960));
    std::nth_element(f.begin(), f.begin() + 2, f.end());
    return f[2];
}

// 10 ms windows without the chirp's level in them.
int gapsIn(const std::vector<double>& loud)
{
    int gaps = 0;
    for (size_t i = 0; i + 480 <= loud.size(); i += 480)
        gaps += peak(slice(loud, i, 480)) < 0.5 * kAmplitude;
    return gaps;
}

// `heard` is the chirp from `from` to `to` seconds (to < from: backwards),
// lasting `seconds`, at its level, with at most `gaps` broken 10 ms windows.
void expectChirp(const std::vector<double>& heard, double from, double to, double seconds, int gaps = 0)
{
    const std::vector<double> loud = loudPart(heard);
    ASSERT_NEAR(loud.size() / 48000.0, seconds, 0.06);
    EXPECT_NEAR(dbfs(rms(loud)), dbfs(kAmplitude / std::sqrt(2.0)), 1.0);
    EXPECT_LE(gapsIn(loud), gaps);
    for (double p : {0.05, 0.25, 0.5, 0.75, 0.95})
        EXPECT_NEAR(frequencyAround(loud, size_t(p * double(loud.size()))), chirpHz(from + (to - from) * p), 60)
            << "at " << p << " of the span";
}

class PlaybackEndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable("ffmpeg").isEmpty())
            GTEST_SKIP() << "the ffmpeg tool is not installed";
    }
    void TearDown() override { m_mixer.reset(); }

    // Records the chirp once per codec and process, into one store.
    static void record(Codec codec, Recording* out)
    {
        static QTemporaryDir dir;
        static std::map<Codec, Recording> done;
        if (done.count(codec)) {
            *out = done[codec];
            return;
        }
        const char* names[] = {"pcma", "sealed", "mp2", "aac"};
        Recorder::Options options;
        options.store = dir.filePath("store.db");
        options.namePattern = names[codec];
        options.unitSeconds = kUnitSeconds;
        QByteArray publicKey;
        if (codec == CODEC_SEALED) {
            StreamUnitDecrypter::generateKeyPair(out->secretKey, publicKey);
            options.publicKeys = {publicKey};
        }
        const int rate = codec == CODEC_PCMA || codec == CODEC_SEALED ? 8000 : 48000;
        QStringList args{"-loglevel", "error", "-nostdin", "-readrate", "8", "-f", "lavfi", "-i",
                         QString("aevalsrc=%1*(1+sgn(t-%2))*(1+sgn(%3-t))/4*sin(2*PI*(300*(t-%2)+450*(t-%2)*(t-%2)))"
                                 ":s=%4:n=%5:d=%6")
                             .arg(kAmplitude / 32768).arg(kLead).arg(kLead + kSeconds).arg(rate).arg(rate / 10)
                             .arg(kSeconds + 2 * kLead),
                         "-ac", "1", "-ar", QString::number(rate), "-c:a"};
        args += codec == CODEC_MP2 ? QStringList{"mp2", "-b:a", "128k"}
                : codec == CODEC_AAC ? QStringList{"aac", "-b:a", "96k"}
                                     : QStringList{"pcm_alaw"};
        args += {"-f", "rtp"};
        if (codec == CODEC_AAC) {
            // The stream's SDP, as ffmpeg writes it for a short run to a socket nobody reads.
            QUdpSocket sink;
            ASSERT_TRUE(sink.bind(QHostAddress(QHostAddress::LocalHost), 0));
            QProcess p;
            p.start("ffmpeg", args + QStringList{"-sdp_file", dir.filePath("aac.sdp"),
                                                 QString("rtp://127.0.0.1:%1").arg(sink.localPort())});
            ASSERT_TRUE(finished(p)) << p.readAllStandardError().constData();
            QFile sdp(dir.filePath("aac.sdp"));
            ASSERT_TRUE(sdp.open(QIODevice::ReadOnly));
            options.sdp = QString::fromUtf8(sdp.readAll());
        }
        Recorder recorder(options);
        quint16 rtpPort = 0, rtcpPort = 0;
        ASSERT_TRUE(recorder.listenUnicast(rtpPort, rtcpPort, QHostAddress(QHostAddress::LocalHost)));
        QProcess sender;
        sender.start("ffmpeg", args + QStringList{QString("rtp://127.0.0.1:%1?rtcpport=%2").arg(rtpPort).arg(rtcpPort)});
        ASSERT_TRUE(finished(sender)) << sender.readAllStandardError().constData();
        // Done once the units reach well into the silence after the chirp.
        RecordingStore store(Clock::system());
        ASSERT_TRUE(store.open(options.store, RecordingStore::OPEN_EXISTING));
        NTPRange span;
        ASSERT_TRUE(QTest::qWaitFor([&] {
            span = store.streamSpan(store.findStream(names[codec]));
            return !span.isNull() && (span.end() - span.start()).toMilliseconds() >= (kSeconds + kLead + 0.6) * 1000;
        }, 10000)) << "recorded span " << (span.end() - span.start()).toMilliseconds() << " ms";
        recorder.stop();  // writes the unit still open, if any
        span = store.streamSpan(store.findStream(names[codec]));
        out->store = options.store;
        out->stream = names[codec];
        out->begin = span.start();
        out->end = span.end();
        done[codec] = *out;
    }

    // A mixer recording its output, with the recording in the playback group
    // and its session ready.
    void open(Codec codec, const std::vector<QByteArray>& keys = {})
    {
        ASSERT_NO_FATAL_FAILURE(record(codec, &m_rec));
        ASSERT_NO_FATAL_FAILURE(openStore(m_rec.store, m_rec.stream, keys));
        const auto unixMs = [](const NTPTimestamp& t) { return t.toMilliseconds() - kUnixEpochNtpMs; };
        EXPECT_EQ(m_mixer->getStreamInfo(kGroup).toStdString(),
              QString("%1-%2").arg(unixMs(m_rec.begin)).arg(unixMs(m_rec.end)).toStdString());
    }
    void openStore(const QString& store, const QString& stream, const std::vector<QByteArray>& keys = {},
                   bool ready = true)
    {
        m_mixer.reset();
        m_env.set("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + m_dir.filePath(QString("out%1.wav").arg(++m_runs))).toUtf8());
        m_mixer = Mixer::getInstance(false, true);
        m_mixer->setListOfPossiblePrivateKeys(keys);
        QSignalSpy session(m_mixer.data(), &Mixer::playbackSessionState);
        ASSERT_NE(m_mixer->addInprocPlayChannel(kGroup, store, "", stream, "e2e", 1.0), 0u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !session.isEmpty(); }, 10000));
        EXPECT_EQ(session.first().at(1).toBool(), ready);
    }

    // Plays from `from` at `speed` until the group's position has passed `until`.
    void playUntil(double from, int speed, double until)
    {
        m_mixer->ctrlSetAbsolutePlaybackPosition(kGroup, m_rec.at(from));
        m_mixer->ctrlStartPlayback(kGroup, speed);
        waitForPosition(until, speed > 0);
    }
    void waitForPosition(double seconds, bool forward)
    {
        const NTPTimestamp t = m_rec.at(seconds);
        ASSERT_TRUE(QTest::qWaitFor([&] {
            const NTPTimestamp pos = m_mixer->getPlaybackStreamPosition(kGroup);
            return forward ? pos >= t : pos <= t;
        }, 20000)) << "the position did not pass " << seconds << " s";
    }

    // Stops the mixer; its left output.
    std::vector<double> heard()
    {
        m_mixer.reset();
        const WavData wav = readWav(m_dir.filePath(QString("out%1.wav").arg(m_runs)));
        EXPECT_TRUE(wav.ok);
        return channel(wav.samples, 2, 0);
    }

    QTemporaryDir m_dir;
    ScopedEnvironment m_env;
    QSharedPointer<Mixer> m_mixer;
    Recording m_rec;
    int m_runs = 0;
};

}  // namespace

TEST_F(PlaybackEndToEndTest, ForwardPlaysTheChirpAsSent)
{
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 100, kSeconds + 0.1));
    const std::vector<double> loud = loudPart(heard());
    ASSERT_NO_FATAL_FAILURE(expectChirp(loud, 0, kSeconds, kSeconds));
    // The very waveform: the chirp made here, compared after alignment.
    std::vector<double> reference(size_t(kSeconds * 48000));
    for (size_t i = 0; i < reference.size(); ++i) {
        const double t = double(i) / 48000;
        reference[i] = kAmplitude * std::sin(2 * M_PI * (300 * t + 450 * t * t));
    }
    std::vector<double> padded(480, 0.0);
    padded.insert(padded.end(), loud.begin(), loud.end());
    const Alignment start = align(slice(reference, 0, 9600), padded, 960);
    EXPECT_GE(start.correlation, 0.95);
    // None of its beginning is missing.
    EXPECT_NEAR(480 - start.lag, 0, 48);
    // After that, window by window (0.1 s), each within a millisecond of the start's alignment.
    double worst = 1.0;
    for (size_t w = 4800; w + 4800 <= reference.size(); w += 4800) {
        const size_t at = w + size_t(start.lag) - 48;
        worst = std::min(worst, align(slice(reference, w, 4800), slice(padded, at, 4800 + 96), 48).correlation);
    }
    EXPECT_GE(worst, 0.95);
}

TEST_F(PlaybackEndToEndTest, BackwardsFromTheEndIsAFallingChirp)
{
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));
    ASSERT_NO_FATAL_FAILURE(playUntil(kSeconds + kStartEarly, -100, -0.1));
    // Known fault: backwards, one mixing frame at each unit boundary is broken.
    expectChirp(heard(), kSeconds, 0, kSeconds, int(kSeconds / kUnitSeconds));
}

TEST_F(PlaybackEndToEndTest, DoubleSpeedTakesHalfTheTime)
{
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 200, kSeconds + 0.1));
    expectChirp(heard(), 0, kSeconds, kSeconds / 2);
}

TEST_F(PlaybackEndToEndTest, SeekLandsWhereAsked)
{
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 100, 0.5));
    m_mixer->ctrlSetAbsolutePlaybackPosition(kGroup, m_rec.at(2.0));
    ASSERT_NO_FATAL_FAILURE(waitForPosition(kSeconds + 0.1, true));
    const std::vector<double> loud = loudPart(heard());
    // Before the seek the chirp stays below 1500 Hz; the seek is where it first leaps past.
    size_t jump = 0;
    while (jump + 2 * 960 < loud.size() && crossingHz(loud, jump, 960) < 1500)
        jump += 960;
    EXPECT_GE(jump / 48000.0, 0.45);
    EXPECT_NEAR(crossingHz(loud, jump + 960, 960), chirpHz(2.0), 900 * kUnitSeconds);
    // From there on the rest of the recording plays: one second up to 3000 Hz.
    EXPECT_NEAR((loud.size() - jump) / 48000.0, kSeconds - 2.0, 0.1);
    EXPECT_NEAR(crossingHz(loud, loud.size() - 2400, 2400), chirpHz(kSeconds - 0.025), 60);
}

TEST_F(PlaybackEndToEndTest, RangeStopsAtItsEnd)
{
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));
    QSignalSpy end(m_mixer.data(), &Mixer::endOfRangeReached);
    QSignalSpy state(m_mixer.data(), &Mixer::stateChanged);
    m_mixer->ctrlSetPlaybackRange(kGroup, NTPRange(m_rec.at(1.0), m_rec.at(2.0)));
    m_mixer->ctrlStartPlayback(kGroup, 100);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !end.isEmpty(); }, 20000));
    EXPECT_EQ(end.first().at(0).toString(), kGroup);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.isEmpty() && state.last().at(1).toInt() == 0; }, 5000));
    // Audio stops at the range's end; it starts as soon as the unit at its start has come.
    const std::vector<double> loud = loudPart(heard());
    EXPECT_GE(loud.size() / 48000.0, 0.8);
    EXPECT_LE(loud.size() / 48000.0, 1.02);
    EXPECT_EQ(gapsIn(loud), 0);
    EXPECT_NEAR(frequencyAround(loud, 1200), chirpHz(1.0) + 50, 100);
    EXPECT_NEAR(frequencyAround(loud, loud.size() - 1200), chirpHz(2.0) - 50, 100);
}

TEST_F(PlaybackEndToEndTest, SealedRecordingNeedsItsKey)
{
    // Without the key every unit is the marker ping: 440 Hz for 125 ms at each unit's start.
    ASSERT_NO_FATAL_FAILURE(open(CODEC_SEALED));
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 100, 1.2));
    const std::vector<double> pings = loudPart(heard(), 1000);
    ASSERT_GT(pings.size(), 48000u);
    EXPECT_NEAR(dominantFrequency(pings, 48000, 100, 4000), 440, 5);
    int loudWindows = 0;
    for (size_t i = 0; i + 480 <= pings.size(); i += 480)
        loudWindows += peak(slice(pings, i, 480)) > 1000;
    EXPECT_LT(loudWindows * 480.0 / pings.size(), 0.4);

    ASSERT_NO_FATAL_FAILURE(open(CODEC_SEALED, {m_rec.secretKey}));
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 100, kSeconds + 0.1));
    expectChirp(heard(), 0, kSeconds, kSeconds);
}

class CompressedPlaybackTest : public PlaybackEndToEndTest, public ::testing::WithParamInterface<Codec>
{
};

TEST_P(CompressedPlaybackTest, PlaysTheChirp)
{
    ASSERT_NO_FATAL_FAILURE(open(GetParam()));
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 100, kSeconds + 0.1));
    expectChirp(heard(), 0, kSeconds, kSeconds);
}

INSTANTIATE_TEST_SUITE_P(MpegAudioAndAac, CompressedPlaybackTest, ::testing::Values(CODEC_MP2, CODEC_AAC));

TEST_F(PlaybackEndToEndTest, MissingStoreReportsNoStream)
{
    LogCapture log;
    ASSERT_NO_FATAL_FAILURE(openStore(m_dir.filePath("missing.db"), "pcma", {}, false));
    EXPECT_EQ(m_mixer->getStreamInfo(kGroup), "0-0");
    EXPECT_EQ(log.count(QtWarningMsg, "pcma/e2e: Session interaction failed"), 1) << log.dump().toStdString();
}
