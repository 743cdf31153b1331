#include "RtpSink.h"

#include "G711.h"
#include "LogCapture.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"
#include "TestClock.h"
#include "backends/VirtualSoundFaults.h"

#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

namespace sa = SignalAnalysis;

namespace {

const QHostAddress kLocal(QHostAddress::LocalHost);

// The RTP header's fields, read by hand.
struct Rtp {
    explicit Rtp(const QByteArray& datagram) : raw(datagram), payload(datagram.mid(12))
    {
        const uchar* p = reinterpret_cast<const uchar*>(datagram.constData());
        if (datagram.size() < 12)
            return;
        head = qFromBigEndian<quint16>(p);  // version, padding, extension, CSRC count, marker, payload type
        seq = qFromBigEndian<quint16>(p + 2);
        timestamp = qFromBigEndian<quint32>(p + 4);
        ssrc = qFromBigEndian<quint32>(p + 8);
    }
    bool operator==(const Rtp& other) const { return raw == other.raw; }
    QByteArray raw, payload;
    quint16 head = 0, seq = 0;
    quint32 timestamp = 0, ssrc = 0;
};

// G.711 A-law expansion after the ITU reference, independent of the library.
int expandALaw(uchar code)
{
    code ^= 0x55;
    const int segment = (code & 0x70) >> 4;
    int magnitude = (code & 0x0f) << 4;
    magnitude = segment == 0 ? magnitude + 8 : (magnitude + 0x108) << (segment - 1);
    return (code & 0x80) ? magnitude : -magnitude;
}

std::vector<double> decode(const QList<Rtp>& packets, int first, int count = -1)
{
    std::vector<double> out;
    for (const Rtp& packet : packets.mid(first, count))
        for (char c : packet.payload)
            out.push_back(expandALaw(uchar(c)));
    return out;
}

// A UDP endpoint on 127.0.0.1 that waits on its socket for packets.
struct UdpPeer {
    UdpPeer() { socket.bind(kLocal, 0); }
    // Everything received so far, after waiting (5 s at most) for `count`.
    QList<Rtp> packets(int count = 0)
    {
        static_cast<void>(QTest::qWaitFor(
            [&] {
                while (socket.hasPendingDatagrams())
                    received.append(Rtp(socket.receiveDatagram().data()));
                return received.size() >= count;
            },
            5000));
        return received;
    }
    QUdpSocket socket;
    QList<Rtp> received;
};

// Signed normalised correlation of `decoded` (at 48000 / step Hz) with the
// looping 48 kHz source at the best of all start samples.
double bestCorrelation(const std::vector<double>& decoded, const std::vector<double>& source, size_t step)
{
    double best = 0.0;
    std::vector<double> shifted(decoded.size());
    for (size_t start = 0; start < source.size(); ++start) {
        for (size_t i = 0; i < decoded.size(); ++i)
            shifted[i] = source[(start + i * step) % source.size()];
        const double c = sa::align(decoded, shifted, 0).correlation;
        best = std::fabs(c) > std::fabs(best) ? c : best;
    }
    return best;
}

// Moves only when slept on, like TestClock, but lets a little real time pass
// per sleep so that a file loop paced on it cannot flood the sockets.
struct ThrottledClock : TestClock {
    void sleepUs(quint64 us) override
    {
        TestClock::sleepUs(us);
        QThread::msleep(1);
    }
};

struct RtpSinkTest : ::testing::Test {
    void SetUp() override { _G711_SetALawMode(false, false, 0x55, 0x55); }
    // The virtual microphone loops a 48 kHz WAV file.
    void useMicrophone(const QString& path) { m_env.set("OSTKAVEX_INPUT_DEVICE", ("wav:" + path).toUtf8()); }
    void add(UdpPeer& peer, eSampleRate rate) { m_sink.addDestination(kLocal, peer.socket.localPort(), rate, {}); }

    QTemporaryDir m_dir;
    ScopedEnvironment m_env;
    ThrottledClock m_clock;
    RtpSink m_sink{m_clock};
};

// Microphone, then file input: one packet per rate and cycle to every destination, each
// carrying the source. stop() forgets the gain and the destinations; the stream goes on.
TEST_F(RtpSinkTest, SendsOnePacketPerRateAndCycleToEveryDestination)
{
    // Tones above the high-pass looping every 0.1 s, so that the packets compared span the
    // loop; 1200 and 2400 Hz keep every shift of the loop from looking like an inverted copy.
    std::vector<double> source(4800, 0.0);
    for (const double hz : {1200, 1910, 2400, 2790})
        for (size_t i = 0; i < source.size(); ++i)
            source[i] += 2000 * std::sin(2 * M_PI * hz * double(i) / 48000 + hz / 1000);
    const QString file = m_dir.filePath("talk.wav"), other = m_dir.filePath("other.wav");
    ASSERT_TRUE(sa::writeWav(file, 48000, 1, sa::toInt16(source)));
    useMicrophone(file);
    m_clock.setAdvancePerReading(1000);  // time passes while the file loop works
    QObject context;                     // in-process packets arrive queued, as at the mixer
    QList<Rtp> inproc, narrow[2];
    QObject::connect(&m_sink, &RtpSink::inprocRtpPacket, &context,
                     [&](const SharedPoolBuffer& spb) { inproc.append(Rtp(spb.toByteArray())); });
    UdpPeer a[2], b[2], wide[2];
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run ? "file" : "microphone");
        inproc.clear();
        if (run)
            m_sink.startReadingFromFile(file);
        add(a[run], SAMPLE_RATE_8000);
        m_sink.addDestination(kLocal, 0, SAMPLE_RATE_8000, QHostAddress());
        add(b[run], SAMPLE_RATE_8000);
        add(wide[run], SAMPLE_RATE_16000);
        add(b[run], SAMPLE_RATE_NONE);
        m_sink.start(QThread::TimeCriticalPriority);
        ASSERT_GE(wide[run].packets(12).size(), 12);
        LogCapture log;
        if (run) {
            m_sink.startReadingFromFile(other);
            EXPECT_EQ(log.count(QtCriticalMsg, QStringLiteral("RtpSink::startReadingFromFile() : Already reading "
                                                              "from %1 could not read from %2")
                                                   .arg(file, other)),
                      1);
        } else {
            // +3 dB doubles; count from the second packet, whose converters start afresh.
            m_sink.setDigitalMicGain(3);
            const int before = a[0].packets().size();
            EXPECT_NEAR(sa::rms(decode(a[0].packets(before + 6), before + 2, 4)) / sa::rms(source), 2.0, 0.15);
        }
        m_sink.stop();

        const QList<Rtp>& n = narrow[run] = a[run].packets();
        const QList<Rtp> w = wide[run].packets();
        ASSERT_EQ(n.size(), w.size());
        EXPECT_EQ(b[run].packets(), n);
        EXPECT_TRUE(QTest::qWaitFor([&] { return inproc.size() >= n.size(); }, 5000));
        EXPECT_EQ(inproc, n);
        const int size = run ? 320 : 250;  // 40 ms file blocks, 31.25 ms microphone blocks at 8 kHz
        const auto rates = {std::make_tuple(n, 0x8008, size), std::make_tuple(w, 0x8061, 2 * size)};
        for (const auto& [packets, head, bytes] : rates)
            for (int i = 1; i < 12; ++i) {  // before the gain change, which restarts the converters
                SCOPED_TRACE(i);
                const Rtp &p = packets[i], &previous = packets[i - 1];
                EXPECT_EQ(
                    std::make_tuple(p.head, p.ssrc, p.seq, p.timestamp - previous.timestamp),
                    std::make_tuple(head, m_sink.ssrc(), quint16(n[i - 1].seq + 1), quint32(previous.payload.size())));
                EXPECT_NEAR(p.payload.size(), bytes, 4);
            }
        // The sink's A-law mode makes a standard decoder hear the source
        // inverted; after the restart at unity gain.
        const std::vector<double> decoded8 = decode(n, 2, 8);
        EXPECT_LT(bestCorrelation(decoded8, source, 6), -0.95);
        EXPECT_LT(bestCorrelation(decode(w, 2, 4), source, 3), -0.95);
        EXPECT_NEAR(sa::rms(decoded8), sa::rms(source), 0.1 * sa::rms(source));
    }
    EXPECT_EQ(a[0].packets(), narrow[0]);
    const Rtp &last = narrow[0].last(), &next = narrow[1][0];
    EXPECT_EQ(std::make_tuple(next.ssrc, next.seq, next.timestamp),
              std::make_tuple(last.ssrc, quint16(last.seq + 1), last.timestamp + quint32(last.payload.size())));
    // Every file cycle sleeps what is left of its 37 ms, not 37 ms after its work.
    const QList<quint64> sleeps = m_clock.sleepsUs();
    ASSERT_GE(sleeps.size(), 11);
    for (quint64 us : sleeps)
        ASSERT_TRUE(us >= 30000 && us < 37000) << us;
}

TEST_F(RtpSinkTest, ThreadEndsWhenItHasNothingToCapture)
{
    UdpPeer peer;
    add(peer, SAMPLE_RATE_8000);
    useMicrophone(m_dir.filePath("missing.wav"));
    LogCapture log;
    m_sink.start(QThread::TimeCriticalPriority);
    ASSERT_TRUE(m_sink.wait(5000));
    EXPECT_EQ(log.count(QtWarningMsg, "RtpSink::run: Unable to open PCM device"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "RtpSink::run: No PCM device available."), 1);
    EXPECT_TRUE(peer.packets().isEmpty());
}

// A virtual microphone that stands still, twice: each time the sink says so once, reopens it and
// says when it is back. A slot connected directly to the in-process packet (it runs on the capture
// thread) may add destinations and stop the sink.
TEST_F(RtpSinkTest, DeadCaptureIsReopenedSlotsMayCallBackAndStopsAreQuick)
{
    VirtualSoundFaults& faults = VirtualSoundFaults::of(SoundBackend::DIRECTION_CAPTURE);
    faults.reset();
    m_env.set("OSTKAVEX_INPUT_DEVICE", "virtual");
    std::atomic<int> packets{0}, stopAt{0};
    std::atomic<bool> addedInTime{false};
    QObject::connect(
        &m_sink, &RtpSink::inprocRtpPacket, &m_sink,
        [&](const SharedPoolBuffer&) {
            if (++packets == 1) {  // from another thread, as a host's call would come, while this slot runs
                std::unique_ptr<QThread> adder(
                    QThread::create([&] { m_sink.addDestination(kLocal, 0, SAMPLE_RATE_16000, {}); }));
                adder->start();
                addedInTime = adder->wait(1000);
                adder->wait();
            } else if (packets == stopAt) {
                m_sink.stop();
            }
        },
        Qt::DirectConnection);
    m_sink.addDestination(kLocal, 0, SAMPLE_RATE_8000, {});
    LogCapture log;
    m_sink.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return packets >= 3; }, 5000));
    EXPECT_TRUE(addedInTime);
    for (int round = 1; round <= 2; ++round) {
        faults.stalled = true;
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return log.count(QtWarningMsg, "capture delivers nothing") == round; }, 5000));
        // Into the reopening: past the first pause (25 slices of 10 ms) and a try on the stalled card.
        m_clock.clearSleeps();
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_clock.sleepsUs().count(10000) > 25; }, 5000));
        faults.stalled = false;
        const int before = packets;
        EXPECT_TRUE(QTest::qWaitFor([&] { return packets >= before + 4; }, 5000));
        EXPECT_EQ(log.count(QtWarningMsg, "RtpSink::run: capture is back"), round);
    }
    EXPECT_EQ(log.count(QtWarningMsg, "RtpSink::run: capture delivers nothing, reopening the capture device"), 2);
    m_sink.stop();

    // Stopped from the slot: the thread ends by itself, and starts again.
    stopAt = packets + 2;
    m_sink.addDestination(kLocal, 0, SAMPLE_RATE_8000, {});
    m_sink.start();
    ASSERT_TRUE(m_sink.wait(5000));
    EXPECT_EQ(packets, stopAt);
    m_sink.addDestination(kLocal, 0, SAMPLE_RATE_8000, {});
    m_sink.start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return packets >= stopAt + 2; }, 5000));
}

}  // namespace
