#include "Clock.h"
#include "LogCapture.h"
#include "Mixer.h"
#include "PostgresCluster.h"
#include "Recorder.h"
#include "RecordingStore.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"
#include "StoreLocation.h"
#include "StreamUnitDecrypter.h"
#include "UnitServer.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>

using namespace SignalAnalysis;

// Recorded playback as a host sees it: the ffmpeg tool sends a chirp as RTP with sender reports, a
// Recorder stores it, and the mixer plays it back on its real thread into a WAV sound card.

namespace {

// The chirp rises from 300 Hz by 900 Hz a second for 3 s, at 0.4 of full scale, between a second of silence
// before and after, as a channel goes quiet, up to half a second early, when it finds no further unit.
const double kSeconds = 3.0, kLead = 1.0, kUnitSeconds = 0.5, kAmplitude = 0.4 * 32768;
const double kStartEarly = 0.3;  // playing starts ahead of the chirp: its clock runs while the first unit comes
double chirpHz(double t)
{
    return 300 + 900 * t;
}
const QString kGroup = QStringLiteral("replay");

enum Codec { CODEC_PCMA, CODEC_SEALED, CODEC_MP2, CODEC_AAC };
// Where the recording is played from: its store; a copy lacking its start and a second of the chirp, then the
// store (a stream kept twice); a store that is not there, then the store.
enum Stores { STORES_ONE, STORES_GAPPED_FIRST, STORES_ONE_DOWN };
const char* const kCodecNames[] = {"pcma", "sealed", "mp2", "aac"};

// Where the recordings are made; the one place to point the tests at another store.
QString storeLocation()
{
    static QTemporaryDir dir;
    return dir.filePath("store.db");
}

const QByteArray kServerToken = "e2e token";

struct Recording {
    QString store;
    NTPTimestamp begin, end;
    QByteArray secretKey;
};

// The frequency in `length` samples around `centre`, moved inside `v`: one broken mixing frame does not move it.
double hzAround(const std::vector<double>& v, size_t centre, size_t length = 2400)
{
    const size_t start = std::min(centre - std::min(centre, length / 2), v.size() - std::min(v.size(), length));
    return dominantFrequency(slice(v, start, length), 48000, 100, 4000);
}

// 10 ms windows whose peak stays below `level` (by default: gaps in the chirp).
int quietWindows(const std::vector<double>& v, double level = 0.5 * kAmplitude)
{
    int quiet = 0;
    for (size_t i = 0; i + 480 <= v.size(); i += 480)
        quiet += peak(slice(v, i, 480)) < level;
    return quiet;
}

class PlaybackEndToEndTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable("ffmpeg").isEmpty())
            GTEST_SKIP() << "the ffmpeg tool is not installed";
    }

    // Records the chirp into the store file shared by every codec, or into a database of its own.
    static void record(Codec codec, StoreLocation::Kind kind, Recording* out)
    {
        const auto finished = [](QProcess& p) {
            return QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 30000) && p.exitCode() == 0;
        };
        Recorder::Options options;
        options.store =
            kind == StoreLocation::KIND_POSTGRESQL ? PostgresCluster::shared().newDatabase() : storeLocation();
        options.namePattern = kCodecNames[codec];
        options.unitSeconds = kUnitSeconds;
        QByteArray publicKey;
        StreamUnitDecrypter::generateKeyPair(out->secretKey, publicKey);  // the secret key opens a sealed recording
        if (codec == CODEC_SEALED)
            options.publicKeys = {publicKey};
        const int rate = codec == CODEC_PCMA || codec == CODEC_SEALED ? 8000 : 48000;
        const char* const encoders[] = {"pcm_alaw", "pcm_alaw", "mp2 -b:a 128k", "aac -b:a 96k"};
        const QStringList args =
            QString("-loglevel error -nostdin -readrate 8 -f lavfi -i aevalsrc=%1*(1+sgn(t-%2))*(1+sgn(%3-t))/4"
                    "*sin(2*PI*(300*(t-%2)+450*(t-%2)*(t-%2))):s=%4:n=%5:d=%6 -ac 1 -ar %4 -c:a %7 -f rtp")
                .arg(kAmplitude / 32768)
                .arg(kLead)
                .arg(kLead + kSeconds)
                .arg(rate)
                .arg(rate / 10)
                .arg(kSeconds + 2 * kLead)
                .arg(encoders[codec])
                .split(' ');
        if (codec == CODEC_AAC) {
            // The stream's SDP, as ffmpeg prints it when it writes the stream to nowhere.
            QProcess p;
            p.start("ffmpeg", args + QStringList{"-y", "/dev/null"});
            ASSERT_TRUE(finished(p)) << p.readAllStandardError().constData();
            options.sdp = QString::fromUtf8(p.readAllStandardOutput()).section("SDP:\n", 1);
        }
        Recorder recorder(options);
        quint16 rtpPort = 0, rtcpPort = 0;
        ASSERT_TRUE(recorder.listenUnicast(rtpPort, rtcpPort, QHostAddress(QHostAddress::LocalHost)));
        QProcess sender;
        sender.start("ffmpeg",
                     args + QStringList{QString("rtp://127.0.0.1:%1?rtcpport=%2").arg(rtpPort).arg(rtcpPort)});
        ASSERT_TRUE(finished(sender)) << sender.readAllStandardError().constData();
        // Done once the units reach well into the silence after the chirp.
        RecordingStore store(Clock::system());
        ASSERT_TRUE(store.open(options.store, RecordingStore::OPEN_EXISTING));
        const auto span = [&] { return store.streamSpan(store.findStream(kCodecNames[codec])); };
        ASSERT_TRUE(QTest::qWaitFor([&] { return (span().end() - span().start()).toMilliseconds() >= 4600; }, 10000))
            << "recorded span " << (span().end() - span().start()).toMilliseconds() << " ms";
        recorder.stop();  // writes the unit still open, if any
        *out = Recording{options.store, span().start(), span().end(), out->secretKey};
    }

    // A mixer recording its output, with the recording (made once per process) in the playback group.
    void open(Codec codec, bool withKey = false, StoreLocation::Kind kind = StoreLocation::KIND_SQLITE,
              Stores stores = STORES_ONE)
    {
        static Recording recordings[4][2];
        Recording& made = recordings[codec][kind == StoreLocation::KIND_POSTGRESQL];
        if (made.store.isEmpty()) {
            ASSERT_NO_FATAL_FAILURE(record(codec, kind, &made));
        }
        m_rec = made;
        QString locations = m_rec.store;
        const auto stored = [this](double s) { return RecordingStore::toStored(at(s)); };
        const QString gap = "DELETE FROM units WHERE ntp_begin < %1 OR ntp_begin BETWEEN %2 AND %3";
        if (stores == STORES_GAPPED_FIRST)  // its span starts late: the union's start is the second's
            locations =
                alteredCopy("gapped.db", {gap.arg(stored(-0.5)).arg(stored(1.0)).arg(stored(1.99))}) + ";" + locations;
        else if (stores == STORES_ONE_DOWN)
            locations = m_dir.filePath("missing.db") + ";" + m_rec.store;
        ASSERT_NO_FATAL_FAILURE(openStore(locations, kCodecNames[codec], withKey ? m_rec.secretKey : QByteArray()));
        const auto unixMs = [](const NTPTimestamp& t) { return t.toMilliseconds() - 2208988800000ULL; };
        EXPECT_EQ(m_mixer->getStreamInfo(kGroup), QString("%1-%2").arg(unixMs(m_rec.begin)).arg(unixMs(m_rec.end)));
    }
    // A copy of the recording's store, named `name`, in which each SQL statement changes at least one row.
    QString alteredCopy(const QString& name, const QStringList& statements)
    {
        const QString path = m_dir.filePath(name);
        EXPECT_TRUE(QFile::copy(m_rec.store, path));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "alter");
            db.setDatabaseName(path);
            EXPECT_TRUE(db.open());
            QSqlQuery q(db);
            for (const QString& statement : statements) {
                EXPECT_TRUE(q.exec(statement)) << statement.toStdString();
                EXPECT_GT(q.numRowsAffected(), 0) << statement.toStdString();
            }
            db.close();
        }
        QSqlDatabase::removeDatabase("alter");
        return path;
    }
    // Serves `store` on the port it had before, if any.
    void startServer(const QString& store)
    {
        UnitServer::Options options;
        options.store = store;
        options.listen = "127.0.0.1";
        options.port = m_port;
        options.token = kServerToken;
        m_server = std::make_unique<UnitServer>(options);
        QString error;
        ASSERT_TRUE(m_server->start(&error)) << error.toStdString();
        m_port = m_server->port();
    }
    // Plays from `store`, or from each of several separated by ';'; its session is ready if one exists
    // (and, through a unit server, the token is right).
    void openStore(const QString& store, const QString& stream, const QByteArray& key = {})
    {
        if (m_viaServer && !m_server) {
            ASSERT_NO_FATAL_FAILURE(startServer(store));
        }
        m_mixer.reset();
        m_env.set("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + m_dir.filePath(QString("out%1.wav").arg(++m_runs))).toUtf8());
        m_mixer = Mixer::getInstance(false, true);
        if (!key.isEmpty())
            m_mixer->setListOfPossiblePrivateKeys({key});
        QSignalSpy session(m_mixer.data(), &Mixer::playbackSessionState);
        const QStringList stores = store.split(';');
        ASSERT_NE(m_viaServer ? m_mixer->addPlaybackChannel(kGroup, "127.0.0.1", stream, "e2e", m_token, m_port, 1.0)
                  : stores.size() > 1 ? m_mixer->addMulPlayChannel(kGroup, store, "", stream, "e2e", 1.0)
                                      : m_mixer->addInprocPlayChannel(kGroup, store, "", stream, "e2e", 1.0),
                  0u);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !session.isEmpty(); }, 10000));
        const auto exists = [](const QString& s) { return QFile::exists(s) || s.startsWith("postgresql:"); };
        EXPECT_EQ(session.first().at(1).toBool(),
                  std::any_of(stores.begin(), stores.end(), exists) && m_token == kServerToken);
    }

    // `s` seconds into the chirp.
    NTPTimestamp at(double s) const { return m_rec.begin + NTPTimestamp::fromMicroseconds(quint64((kLead + s) * 1e6)); }
    // Moves to `from`, starts playing at `speed` unless told not to, and waits until the position passes `until`.
    void playUntil(double from, int speed, double until, bool start = true)
    {
        m_mixer->ctrlSetAbsolutePlaybackPosition(kGroup, at(from));
        if (start)
            m_mixer->ctrlStartPlayback(kGroup, speed);
        const auto passed = [&] { return (m_mixer->getPlaybackStreamPosition(kGroup) >= at(until)) == (speed > 0); };
        ASSERT_TRUE(QTest::qWaitFor(passed, 20000)) << "the position did not pass " << until << " s";
    }

    // Stops the mixer; its left output from the first to the last sample louder than `threshold`.
    std::vector<double> heard(double threshold = 3000)
    {
        m_mixer.reset();
        const WavData wav = readWav(m_dir.filePath(QString("out%1.wav").arg(m_runs)));
        EXPECT_TRUE(wav.ok);
        const std::vector<double> v = channel(wav.samples, 2, 0);
        const auto loud = [threshold](double x) { return std::abs(x) > threshold; };
        const auto first = std::find_if(v.begin(), v.end(), loud);
        const auto last = std::find_if(v.rbegin(), v.rend(), loud).base();
        return first < last ? std::vector<double>(first, last) : std::vector<double>();
    }

    QTemporaryDir m_dir;
    ScopedEnvironment m_env;
    QSharedPointer<Mixer> m_mixer;
    Recording m_rec;
    int m_runs = 0;
    // Through a unit server (addPlaybackChannel) instead of in-process.
    bool m_viaServer = false;
    QString m_token = kServerToken;
    std::unique_ptr<UnitServer> m_server;
    quint16 m_port = 0;
};

struct Chirp {
    const char* name;
    Codec codec;
    int speed;
    bool viaServer = false;
    StoreLocation::Kind store = StoreLocation::KIND_SQLITE;
    Stores stores = STORES_ONE;
};
class ChirpPlaybackTest : public PlaybackEndToEndTest, public ::testing::WithParamInterface<Chirp>
{
};

}  // namespace

// The whole chirp, forwards or backwards: as long as the speed says, at its level, without gaps, rising or falling.
TEST_P(ChirpPlaybackTest, PlaysTheWholeChirp)
{
    const Chirp& c = GetParam();
    const bool forward = c.speed > 0;
    m_viaServer = c.viaServer;
    if (c.store == StoreLocation::KIND_POSTGRESQL)
        KAVEX_REQUIRE_POSTGRES();
    ASSERT_NO_FATAL_FAILURE(open(c.codec, c.codec == CODEC_SEALED, c.store, c.stores));
    ASSERT_NO_FATAL_FAILURE(
        playUntil(forward ? -kStartEarly : kSeconds + kStartEarly, c.speed, forward ? kSeconds + 0.1 : -0.1));
    const std::vector<double> loud = heard();
    ASSERT_NEAR(loud.size() / 48000.0, kSeconds * 100 / std::abs(c.speed), 0.06);
    EXPECT_NEAR(dbfs(rms(loud)), dbfs(kAmplitude / std::sqrt(2.0)), 1.0);
    // Known fault: backwards, one mixing frame at each unit boundary is broken.
    EXPECT_LE(quietWindows(loud), forward ? 0 : int(kSeconds / kUnitSeconds));
    for (double p : {0.05, 0.25, 0.5, 0.75, 0.95})  // in windows of 50 ms of the chirp
        EXPECT_NEAR(hzAround(loud, size_t(p * double(loud.size())), size_t(240000 / std::abs(c.speed))),
                    chirpHz(kSeconds * (forward ? p : 1 - p)), 60)
            << p;
    if (c.codec != CODEC_PCMA || c.speed != 100)
        return;
    // The very waveform: the chirp made here, compared after alignment. From either kind of store.
    std::vector<double> reference(size_t(kSeconds * 48000));
    for (size_t i = 0; i < reference.size(); ++i)
        reference[i] = kAmplitude * std::sin(2 * M_PI * (300 * i / 48000.0 + 450 * std::pow(i / 48000.0, 2)));
    const Alignment start = align(slice(reference, 0, 9600), loud, 960);
    EXPECT_GE(start.correlation, 0.95);
    EXPECT_NEAR(start.lag, 0, 48);  // none of its beginning is missing
    // After that, window by window (0.1 s), each within a millisecond of the start's alignment.
    double worst = 1.0;
    for (size_t w = 4800; w + 4800 <= reference.size(); w += 4800) {
        const std::vector<double> heard = slice(loud, size_t(long(w) + start.lag - 48), 4896);
        worst = std::min(worst, align(slice(reference, w, 4800), heard, 48).correlation);
    }
    EXPECT_GE(worst, 0.95);
}

// Through a unit server, the recordings come from PostgreSQL: the shared store of an installation.
const StoreLocation::Kind kPg = StoreLocation::KIND_POSTGRESQL, kSqlite = StoreLocation::KIND_SQLITE;
INSTANTIATE_TEST_SUITE_P(
    Cases, ChirpPlaybackTest,
    ::testing::Values(Chirp{"Forward", CODEC_PCMA, 100}, Chirp{"Backwards", CODEC_PCMA, -100},
                      Chirp{"Sealed", CODEC_SEALED, 100}, Chirp{"MpegAudio", CODEC_MP2, 100},
                      Chirp{"Aac", CODEC_AAC, 100}, Chirp{"FromPostgres", CODEC_PCMA, 100, false, kPg},
                      Chirp{"ServerForward", CODEC_PCMA, 100, true, kPg},
                      Chirp{"ServerBackwards", CODEC_PCMA, -100, true, kPg},
                      Chirp{"ServerDoubleSpeed", CODEC_PCMA, 200, true, kPg},
                      Chirp{"ServerSealed", CODEC_SEALED, 100, true, kPg},
                      // Stretches missing from the first store play from the second.
                      Chirp{"TwoStoresForward", CODEC_PCMA, 100, false, kSqlite, STORES_GAPPED_FIRST},
                      Chirp{"TwoStoresBackwards", CODEC_PCMA, -100, false, kSqlite, STORES_GAPPED_FIRST},
                      Chirp{"OneOfTwoStoresDownDoubleSpeed", CODEC_PCMA, 200, false, kSqlite, STORES_ONE_DOWN}),
    [](const ::testing::TestParamInfo<Chirp>& info) { return std::string(info.param.name); });

TEST_F(PlaybackEndToEndTest, SeekLandsWhereAsked)
{
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 100, 0.5));
    ASSERT_NO_FATAL_FAILURE(playUntil(2.0, 100, kSeconds + 0.1, false));
    const std::vector<double> loud = heard();
    // Before the seek the chirp stays below 1500 Hz; the seek is where it first leaps past.
    size_t jump = 0;
    while (jump + 2 * 960 < loud.size() && hzAround(loud, jump + 480, 960) < 1500)
        jump += 960;
    EXPECT_GE(jump / 48000.0, 0.45);
    EXPECT_NEAR(hzAround(loud, jump + 1440, 960), chirpHz(2.0), 900 * kUnitSeconds);
    // From there on the rest of the recording plays: one second up to 3000 Hz.
    EXPECT_NEAR((loud.size() - jump) / 48000.0, kSeconds - 2.0, 0.1);
    EXPECT_NEAR(hzAround(loud, loud.size() - 1200, 2400), chirpHz(kSeconds - 0.025), 60);
}

TEST_F(PlaybackEndToEndTest, RangeStopsAtItsEnd)
{
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));
    QSignalSpy end(m_mixer.data(), &Mixer::endOfRangeReached);
    QSignalSpy state(m_mixer.data(), &Mixer::stateChanged);
    m_mixer->ctrlSetPlaybackRange(kGroup, NTPRange(at(1.0), at(2.0)));
    m_mixer->ctrlStartPlayback(kGroup, 100);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !end.isEmpty(); }, 20000));
    EXPECT_EQ(end.first().at(0).toString(), kGroup);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.isEmpty() && state.last().at(1).toInt() == 0; }, 5000));
    // Audio stops at the range's end (0.8 to 1.02 s); it starts as soon as the unit at its start has come.
    const std::vector<double> loud = heard();
    EXPECT_NEAR(loud.size() / 48000.0, 0.91, 0.11);
    EXPECT_EQ(quietWindows(loud), 0);
    EXPECT_NEAR(hzAround(loud, 1200), chirpHz(1.0) + 50, 100);
    EXPECT_NEAR(hzAround(loud, loud.size() - 1200), chirpHz(2.0) - 50, 100);
}

TEST_F(PlaybackEndToEndTest, SealedWithoutItsKeyPlaysTheMarkerPing)
{
    // Every unit is the marker ping: 440 Hz for 125 ms at each unit's start.
    ASSERT_NO_FATAL_FAILURE(open(CODEC_SEALED));
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 100, 1.2));
    const std::vector<double> pings = heard(1000);
    ASSERT_GT(pings.size(), 48000u);
    EXPECT_NEAR(dominantFrequency(pings, 48000, 100, 4000), 440, 5);
    EXPECT_GT(quietWindows(pings, 1000) * 480.0 / pings.size(), 0.6);
}

TEST_F(PlaybackEndToEndTest, MissingStoreReportsNoStream)
{
    LogCapture log;
    ASSERT_NO_FATAL_FAILURE(openStore(m_dir.filePath("missing.db"), "pcma"));
    EXPECT_EQ(m_mixer->getStreamInfo(kGroup), "0-0");
    EXPECT_EQ(log.count(QtWarningMsg, "pcma/e2e: Session interaction failed"), 1) << log.dump().toStdString();
}

TEST_F(PlaybackEndToEndTest, DamagedUnitsAreSilenceWithAWarning)
{
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));
    // The unit at 1.0 s of the chirp gets an SDP no decoder takes; the one at 2.0 s loses most of its payload.
    const QString unitAt = "(SELECT ntp_begin FROM units WHERE ntp_begin <= %1 ORDER BY ntp_begin DESC LIMIT 1)";
    const QString damaged = alteredCopy(
        "damaged.db", {QString("UPDATE units SET sdp = 'not an sdp' WHERE ntp_begin = " + unitAt)
                           .arg(RecordingStore::toStored(at(1.1))),
                       QString("UPDATE units SET payload = substr(payload, 1, 80) WHERE ntp_begin = " + unitAt)
                           .arg(RecordingStore::toStored(at(2.1)))});
    LogCapture log;
    ASSERT_NO_FATAL_FAILURE(openStore(damaged, "pcma"));
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 100, kSeconds + 0.1));
    const std::vector<double> loud = heard();
    EXPECT_EQ(log.count(QtWarningMsg, "pcma/e2e: No decoder for the unit's SDP; its span stays silent"), 1);
    // The chirp plays on around two silent half-second units (10 ms windows).
    EXPECT_NEAR(loud.size() / 48000.0, kSeconds, 0.15);  // loose: sanitized builds start late
    EXPECT_NEAR(quietWindows(loud), 92, 12);
    EXPECT_NEAR(hzAround(loud, loud.size() - 1200), chirpHz(kSeconds - 0.025), 60);
}

TEST_F(PlaybackEndToEndTest, ServerRefusingTheTokenGivesNoStreamAndSilence)
{
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));  // makes the recording
    m_viaServer = true;
    m_token = "wrong";
    LogCapture log;
    ASSERT_NO_FATAL_FAILURE(openStore(m_rec.store, "pcma"));
    EXPECT_EQ(m_mixer->getStreamInfo(kGroup), "0-0");
    ASSERT_NO_FATAL_FAILURE(playUntil(0, 100, 0.5));
    EXPECT_TRUE(heard(100).empty());
    // The server's refusal, the session's and the channel's; requests made while playing are answered as missing.
    QStringList warnings;
    for (const LogCapture::Entry& e : log.entries())
        if (e.type == QtWarningMsg)
            warnings << e.text;
    ASSERT_EQ(warnings.size(), 3) << warnings.join('\n').toStdString();
    EXPECT_TRUE(warnings.filter("UnitServer: Wrong access token").size() == 1);
    EXPECT_TRUE(warnings.filter("e2e: PlaybackSession: Unit server 127.0.0.1:").size() == 1);
    EXPECT_EQ(log.count(QtWarningMsg, "pcma/e2e: Session interaction failed"), 1);
}

TEST_F(PlaybackEndToEndTest, ServerLossIsSilenceUntilItIsBackAndTheHostSeeks)
{
    m_viaServer = true;
    ASSERT_NO_FATAL_FAILURE(open(CODEC_PCMA));
    LogCapture log;
    ASSERT_NO_FATAL_FAILURE(playUntil(-kStartEarly, 100, 0.5));
    m_server.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.contains(QtWarningMsg, "Session interaction failed"); }, 5000));
    // The mixer goes on, silent where the units are missing.
    ASSERT_NO_FATAL_FAILURE(playUntil(2.0, 100, 2.3));
    ASSERT_NO_FATAL_FAILURE(startServer(m_rec.store));
    ASSERT_NO_FATAL_FAILURE(playUntil(2.0, 100, kSeconds + 0.1));
    const std::vector<double> loud = heard();
    EXPECT_EQ(log.count(QtWarningMsg, "Session interaction failed"), 1);
    // Only the loss is reported; closing the mixer ends its sessions quietly.
    EXPECT_EQ(log.count(QtWarningMsg, "PlaybackSession: Unit server"), 1);
    // Up to a second of what was queued, a silence of at least the 0.3 s played without a server, then the
    // last second of the chirp.
    EXPECT_GE(quietWindows(loud), 30);
    EXPECT_NEAR(hzAround(loud, 1200), chirpHz(0.05), 60);
    EXPECT_NEAR(hzAround(loud, loud.size() - 1200), chirpHz(kSeconds - 0.025), 60);
}
