#include "Configuration.h"
#include "Mixer.h"
#include "MixerAccess.h"
#include "MixerImpl.h"
#include "RealTimePriority.h"
#include "RtpReceiverTestSupport.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"
#include "StreamUnitDecrypter.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace RtpReceiverTestSupport;
using namespace RtpTestPackets;
using namespace SignalAnalysis;

// Live sources on the real mixer thread, whose sound card records into a WAV file.

namespace {

class RtpReceiverMixerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_env.set("OSTKAVEX_OUTPUT_DEVICE", ("wav:" + m_dir.filePath("out.wav")).toUtf8());
        m_mixer = Mixer::getInstance(false, true);
    }
    void TearDown() override { m_mixer.reset(); }

    quint64 addSource(const QString& sdp, quint16& rtpPort, quint16& rtcpPort,
                      const QHostAddress& tcpServer = QHostAddress())
    {
        const quint64 id = m_mixer->addUnicastRtpChannel("Ignored", rtpPort, rtcpPort, sdp, nullptr, tcpServer, 1.0);
        m_mixer->unmute(id, CHANNEL_BOTH);
        return id;
    }
    int registered() { return MixerAccess::implementation(*m_mixer)->channelIds().size(); }

    // Stops the mixer; the left channel from its first loud sample to its last, less 50 ms each end.
    std::vector<double> loudPart(double threshold)
    {
        m_mixer.reset();
        const WavData wav = readWav(m_dir.filePath("out.wav"));
        const std::vector<double> v = channel(wav.samples, 2, 0);
        const auto loud = [threshold](double x) { return std::abs(x) > threshold; };
        const auto first = std::find_if(v.begin(), v.end(), loud);
        const auto last = std::find_if(v.rbegin(), v.rend(), loud).base();
        if (last - first < 4800)
            return {};
        return std::vector<double>(first + 2400, last - 2400);
    }

    QTemporaryDir m_dir;
    ScopedEnvironment m_env;
    QSharedPointer<Mixer> m_mixer;
};

// The ffmpeg tool sending a sine as RTP, with RTCP sender reports, in real time.
std::unique_ptr<QProcess> ffmpegSend(const QStringList& codec, double frequency, int rate, quint16 rtpPort,
                                     quint16 rtcpPort)
{
    auto p = std::make_unique<QProcess>();
    const QString source = QString("sine=frequency=%1:sample_rate=%2:samples_per_frame=%3:duration=1.6")
                               .arg(frequency)
                               .arg(rate)
                               .arg(rate / 50);
    const QString url = QString("rtp://127.0.0.1:%1?rtcpport=%2&pkt_size=300").arg(rtpPort).arg(rtcpPort);
    p->start("ffmpeg", QStringList{"-loglevel", "error", "-nostdin", "-re", "-f", "lavfi", "-i", source, "-ac", "1",
                                   "-ar", QString::number(rate)} +
                           codec + QStringList{"-f", "rtp", url});
    return p;
}

}  // namespace

TEST_F(RtpReceiverMixerTest, FfmpegStreamsAreHeardMixedAtTheirFrequencies)
{
    if (QStandardPaths::findExecutable("ffmpeg").isEmpty())
        GTEST_SKIP() << "the ffmpeg tool is not installed";
    quint16 pcmaRtp = 0, pcmaRtcp = 0, pcmuRtp = 0, pcmuRtcp = 0, mpaRtp = 0, mpaRtcp = 0;
    const quint64 pcma = addSource(pcmaSdp(), pcmaRtp, pcmaRtcp);
    const quint64 pcmu = addSource(sdp(0, "PCMU", 8000), pcmuRtp, pcmuRtcp);
    const quint64 mpa = addSource(sdp(14, "MPA", 90000), mpaRtp, mpaRtcp);
    ASSERT_TRUE(pcma && pcmu && mpa);

    // Two senders to the PCMA source: two SSRCs, two channels, both heard.
    std::vector<std::unique_ptr<QProcess>> senders;
    senders.push_back(ffmpegSend({"-c:a", "pcm_alaw"}, 500, 8000, pcmaRtp, pcmaRtcp));
    senders.push_back(ffmpegSend({"-c:a", "pcm_alaw"}, 700, 8000, pcmaRtp, pcmaRtcp));
    senders.push_back(ffmpegSend({"-c:a", "pcm_mulaw"}, 1100, 8000, pcmuRtp, pcmuRtcp));
    senders.push_back(ffmpegSend({"-c:a", "mp2", "-b:a", "64k"}, 1500, 48000, mpaRtp, mpaRtcp));
    // The mixer's side of the hand-over runs in this thread's event loop.
    const auto done = [](const std::unique_ptr<QProcess>& p) { return p->state() == QProcess::NotRunning; };
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::all_of(senders.begin(), senders.end(), done); }, 20000));
    for (auto& p : senders)
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().constData();
    EXPECT_EQ(registered(), 3 + 4);

    // Removing a source takes its channels along.
    m_mixer->removeRtpChannel(pcma);
    EXPECT_EQ(registered(), 1 + 1 + 1 + 1);
    const quint64 tick = MixerAccess::implementation(*m_mixer)->tick();
    EXPECT_TRUE(QTest::qWaitFor([&] { return MixerAccess::implementation(*m_mixer)->tick() > tick + 5; }, 5000));

    const std::vector<double> heard = loudPart(300);
    ASSERT_GT(heard.size(), 48000u) << "too little audio was played";
    // The senders are separate processes that may start at different times
    // under load: each tone is measured where it is strongest.
    for (double f : {500.0, 700.0, 1100.0, 1500.0})
        EXPECT_NEAR(strongestWindow(heard, f, 48000, 9600).amplitude, 4096, 1000) << f << " Hz";
    for (double f : {300.0, 900.0, 1300.0, 2000.0})
        EXPECT_LT(toneAmplitude(heard, f, 48000), 100) << f << " Hz";
}

// A stream the host removes on its own leaves its receiver, which must not hand it over again when it goes.
TEST_F(RtpReceiverMixerTest, AStreamRemovedOnItsOwnIsNotRemovedAgainWithItsReceiver)
{
    quint16 rtpPort = 0, rtcpPort = 0;
    const quint64 receiver = addSource(pcmaSdp(), rtpPort, rtcpPort);
    UdpSender sender;
    for (quint16 seq = 0; seq < 4; ++seq)
        sender.send(rtp(0x1234, seq, seq * 160u, 8, alawLevel(1000, 160)), rtpPort);
    ASSERT_TRUE(QTest::qWaitFor([&] { return registered() == 2; }, 5000));
    const QList<quint64> ids = MixerAccess::implementation(*m_mixer)->channelIds();
    m_mixer->removeRtpChannel(ids.at(0) == receiver ? ids.at(1) : ids.at(0));
    EXPECT_EQ(registered(), 1);
    m_mixer->removeRtpChannel(receiver);
    EXPECT_EQ(registered(), 0);
}

TEST_F(RtpReceiverMixerTest, RelayCarriesTalkBackUpAndUndecryptableAudioSoundsTheMarkerTone)
{
    QByteArray secret, publicKey;
    StreamUnitDecrypter::generateKeyPair(secret, publicKey);
    Relay relay;
    quint16 rtpPort = 0, rtcpPort = 0;
    const quint64 id = addSource(pcmaSdp(), rtpPort, rtcpPort, QHostAddress(QHostAddress::LocalHost));
    ASSERT_NE(id, 0u);
    // The host's talk-back goes up the source's connection, after the peer's
    // address, framed as (bool isRtcp, packet).
    m_mixer->setUpstreamAddress(id, "10.9.8.7", relay.port(), 0);
    ASSERT_TRUE(relay.waitForMessages(1));
    EXPECT_EQ(relay.messages().at(0), QByteArray("\x0a\x09\x08\x07", 4));
    const QByteArray talkBack = rtp(77, 9, 1440, 8, alawLevel(500, 250));  // 262 bytes
    m_mixer->sendTcpUpstreamRtpData(id, SharedPoolBuffer::fromByteArray(talkBack));
    ASSERT_TRUE(relay.waitForMessages(2));
    EXPECT_EQ(relay.messages().at(1), QByteArray("\x00\x00\x00\x01\x06", 5) + talkBack);
    // Nobody holds the key: a tone plays instead, 125 ms of every second.
    QElapsedTimer clock;
    clock.start();
    quint16 seq = 0;
    while (clock.elapsed() < 1300) {
        ++seq;
        relay.relay(false,
                    StreamUnitDecrypter::encrypt(rtp(3, seq, 160u * seq, 8, alawSine(1000, 8000, 0, 160)), publicKey));
        QTest::qWait(20);
    }
    EXPECT_EQ(registered(), 1 + 1);
    const std::vector<double> heard = loudPart(1000);
    ASSERT_GT(heard.size(), 1200u);
    EXPECT_NEAR(dominantFrequency(heard, 48000, 100, 4000), 440, 5);
    EXPECT_LT(toneAmplitude(heard, 1000, 48000), 100);
}

// A 1 kHz stream plays on while spoofed SSRCs, random bytes and other
// listeners' receiver reports flood its port, and the flood makes no channel.
// The receiving thread at real-time priority (where the system allows it)
// keeps up with the flood even while other work loads the host.
// Live playback hands out each frame as soon as it is queued, so a stream
// starts with almost no slack: once every 320 ms (15 ticks against 16
// packets) its packet is due within about a millisecond of its tick, and the
// first hiccup there costs one tick of silence, after which the stream plays
// a tick later with a tick of slack. That one gap is allowed, no more; apart
// from it every 100 ms keeps its energy.
TEST_F(RtpReceiverMixerTest, StreamKeepsItsLevelWhileItsPortIsFlooded)
{
    const auto removeSettings = qScopeGuard([] { QFile::remove(Configuration::settingsFilePath()); });
    QSettings(Configuration::settingsFilePath(), QSettings::IniFormat).setValue("RtpReceiver/RealTimePriority", 10);
    quint16 rtpPort = 0, rtcpPort = 0;
    ASSERT_NE(addSource(pcmaSdp(), rtpPort, rtcpPort), 0u);
    std::atomic<bool> done{false};
    std::thread sender([&] {  // 2 s of stream, 10,000 flood packets a second from 0.4 s to 1.6 s
        // It stands for another host: this one's load must not make it late.
        RealTimePriority::raiseCurrentThread(QStringLiteral("test sender"), 10);
        UdpSender s;
        QRandomGenerator random(11);
        QByteArray noise(172, 0);
        const auto start = std::chrono::steady_clock::now();
        for (quint32 ms = 0; ms < 2000; ++ms) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
            if (ms % 20 == 0)
                s.send(rtp(4242, quint16(ms / 20), 8 * ms, 8, alawSine(1000, 8000, 8 * ms, 160)), rtpPort);
            for (int i = 0; ms >= 400 && ms < 1600 && i < 5; ++i) {
                s.send(rtp(random.generate(), quint16(random.generate()), 0, 8, noise), rtpPort);
                random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
                s.send(noise, rtpPort);
                s.send(QByteArray("\x80\xc9\x00\x01\x00\x00\x0d\x05", 8), rtcpPort);  // a receiver report
            }
        }
        done = true;
    });
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, 10000);
    sender.join();
    ASSERT_TRUE(finished);
    QTest::qWait(300);  // the last packets played
    EXPECT_EQ(registered(), 1 + 1);

    const std::vector<double> heard = loudPart(1000);
    ASSERT_GT(heard.size(), 48000u * 17 / 10) << "the stream was cut short";
    EXPECT_NEAR(dominantFrequency(heard, 48000, 100, 4000), 1000, 2);
    int gaps = 0;
    size_t silent = 0;
    for (double x : heard) {
        silent = std::abs(x) < 1 ? silent + 1 : 0;
        gaps += silent == 480;  // 10 ms of silence
    }
    EXPECT_LE(gaps, 1) << "the stream was interrupted";
    // One tick of silence leaves a 100-ms window 0.89 of its RMS; two leave 0.76.
    double lo = 1e9, hi = 0;
    size_t loAt = 0;
    for (size_t at = 0; at + 4800 <= heard.size(); at += 4800) {
        const double a = rms(slice(heard, at, 4800));
        if (a < lo)
            loAt = at;
        lo = std::min(lo, a);
        hi = std::max(hi, a);
    }
    EXPECT_GT(lo, hi * 0.85) << "the stream's level fell from " << hi << " to " << lo << " at "
                             << loAt * 1000 / 48000 << " ms of it";
}
