#include "RtpSink.h"

#include "G711.h"
#include "LogCapture.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"
#include "TestClock.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtEndian>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
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
        version = p[0] >> 6;
        extraBits = (p[0] & 0x3f) | (p[1] & 0x80);  // padding, extension, CSRC count, marker
        payloadType = p[1] & 0x7f;
        seq = qFromBigEndian<quint16>(p + 2);
        timestamp = qFromBigEndian<quint32>(p + 4);
        ssrc = qFromBigEndian<quint32>(p + 8);
    }
    bool operator==(const Rtp& other) const { return raw == other.raw; }
    QByteArray raw, payload;
    int version = -1, extraBits = -1, payloadType = -1;
    quint16 seq = 0;
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
class UdpPeer
{
public:
    UdpPeer() { m_socket.bind(kLocal, 0); }
    quint16 port() const { return m_socket.localPort(); }
    // Everything received so far, after waiting (5 s at most) for `count`.
    QList<Rtp> packets(int count = 0)
    {
        static_cast<void>(QTest::qWaitFor([&] {
            while (m_socket.hasPendingDatagrams())
                m_packets.append(Rtp(m_socket.receiveDatagram().data()));
            return m_packets.size() >= count;
        }, 5000));
        return m_packets;
    }

private:
    QUdpSocket m_socket;
    QList<Rtp> m_packets;
};

// A sum of sines at 48 kHz looping seamlessly over `period` samples.
std::vector<double> tones(size_t period, const std::vector<double>& frequencies, double amplitude)
{
    std::vector<double> sum(period, 0.0);
    for (size_t k = 0; k < frequencies.size(); ++k) {
        const std::vector<double> s = sa::sine(frequencies[k], 48000, period, amplitude, 0.3 + 1.1 * double(k));
        for (size_t i = 0; i < period; ++i)
            sum[i] += s[i];
    }
    return sum;
}

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
class ThrottledClock : public TestClock
{
public:
    void sleepUs(quint64 us) override
    {
        TestClock::sleepUs(us);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

class RtpSinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        _G711_SetALawMode(false, false, 0x55, 0x55);
        ASSERT_TRUE(m_dir.isValid());
    }
    void TearDown() override { m_sink.stop(); }
    QString writeWav(const QString& name, const std::vector<double>& mono)
    {
        EXPECT_TRUE(sa::writeWav(m_dir.filePath(name), 48000, 1, sa::toInt16(mono)));
        return m_dir.filePath(name);
    }
    // The virtual microphone loops a 48 kHz WAV file.
    void useMicrophone(const QString& path) { m_env.set("OSTKAVEX_INPUT_DEVICE", ("wav:" + path).toUtf8()); }
    void add(const UdpPeer& peer, eSampleRate rate) { m_sink.addDestination(kLocal, peer.port(), rate, {}); }
    void start() { m_sink.start(QThread::TimeCriticalPriority); }

    QTemporaryDir m_dir;
    ScopedEnvironment m_env;
    ThrottledClock m_clock;
    RtpSink m_sink{m_clock};
};

// Microphone and file input alike: one packet per rate and cycle to every
// destination, each carrying the source.
TEST_F(RtpSinkTest, SendsOnePacketPerRateAndCycleToEveryDestination)
{
    // Tones above the high-pass looping every 0.5 s; 1200 and 2400 Hz keep
    // every shift of the loop from looking like an inverted copy.
    const std::vector<double> source = tones(24000, {1200, 1910, 2400, 2786}, 2000);
    const QString file = writeWav("talk.wav", source), other = writeWav("other.wav", tones(4800, {2000}, 8000));
    useMicrophone(file);
    m_clock.setAdvancePerReading(1000);  // time passes while the file loop works
    QObject context;  // in-process packets arrive queued, as at the mixer
    QList<Rtp> inproc;
    QObject::connect(&m_sink, &RtpSink::inprocRtpPacket, &context,
                     [&](const SharedPoolBuffer& spb) { inproc.append(Rtp(spb.toByteArray())); });
    for (const bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile ? "file" : "microphone");
        UdpPeer a, b, wide;
        inproc.clear();
        if (fromFile)
            m_sink.startReadingFromFile(file);
        add(a, SAMPLE_RATE_8000);
        m_sink.addDestination(kLocal, 0, SAMPLE_RATE_8000, QHostAddress());
        add(b, SAMPLE_RATE_8000);
        add(wide, SAMPLE_RATE_16000);
        add(b, SAMPLE_RATE_NONE);
        start();
        ASSERT_GE(wide.packets(12).size(), 12);
        LogCapture log;
        m_sink.startReadingFromFile(other);  // refused while running from the file
        EXPECT_EQ(log.count(QtCriticalMsg, QStringLiteral("RtpSink::startReadingFromFile() : Already reading from %1 "
                                                          "could not read from %2").arg(file, other)),
                  fromFile ? 1 : 0);
        m_sink.stop();

        const QList<Rtp> narrow = a.packets(), sixteen = wide.packets();
        ASSERT_EQ(narrow.size(), sixteen.size());
        EXPECT_EQ(b.packets(), narrow);
        EXPECT_TRUE(QTest::qWaitFor([&] { return inproc.size() >= narrow.size(); }, 5000));
        EXPECT_EQ(inproc, narrow);
        const int size = fromFile ? 320 : 250;  // 40 ms file blocks, 31.25 ms microphone blocks
        for (int i = 1; i < narrow.size(); ++i) {
            SCOPED_TRACE(i);
            const Rtp &n = narrow[i], &w = sixteen[i];
            EXPECT_EQ(std::make_tuple(n.version, n.extraBits, n.payloadType, n.ssrc, w.version, w.extraBits,
                                      w.payloadType, w.ssrc, w.seq, n.seq),
                      std::make_tuple(2, 0, 8, m_sink.ssrc(), 2, 0, 97, m_sink.ssrc(), n.seq,
                                      quint16(narrow[i - 1].seq + 1)));
            EXPECT_EQ(n.timestamp - narrow[i - 1].timestamp, quint32(narrow[i - 1].payload.size()));
            EXPECT_EQ(w.timestamp - sixteen[i - 1].timestamp, quint32(sixteen[i - 1].payload.size()));
            EXPECT_NEAR(n.payload.size(), size, 4);
            EXPECT_NEAR(w.payload.size(), 2 * size, 4);
        }
        // The sink's A-law mode makes a standard decoder hear the source inverted.
        const std::vector<double> decoded8 = decode(narrow, 2, 8);
        EXPECT_LT(bestCorrelation(decoded8, source, 6), -0.95);
        EXPECT_LT(bestCorrelation(decode(sixteen, 2, 4), source, 3), -0.95);
        EXPECT_NEAR(sa::rms(decoded8), sa::rms(source), 0.1 * sa::rms(source));
    }
    // Every file cycle sleeps what is left of its 37 ms, not 37 ms after its work.
    const QList<quint64> sleeps = m_clock.sleepsUs();
    ASSERT_GE(sleeps.size(), 11);
    for (quint64 us : sleeps)
        ASSERT_TRUE(us >= 30000 && us < 37000) << us;
}

// stop() forgets the gain and the destinations; the stream goes on where it was.
TEST_F(RtpSinkTest, GainAndDestinationsLastUntilTheNextStart)
{
    useMicrophone(writeWav("mic.wav", tones(4800, {1000}, 2000)));
    UdpPeer first, second;
    add(first, SAMPLE_RATE_8000);
    start();
    const double unity = sa::rms(decode(first.packets(5), 1, 4));
    ASSERT_GT(unity, 1000.0);

    m_sink.setDigitalMicGain(6);
    // The first packet may predate the change, the second starts the new
    // converters from an empty history.
    const int before = first.packets().size();
    EXPECT_NEAR(sa::rms(decode(first.packets(before + 6), before + 2, 4)) / unity, 4.0, 0.2);
    m_sink.stop();
    const QList<Rtp> all = first.packets();

    add(second, SAMPLE_RATE_8000);
    start();
    const QList<Rtp> next = second.packets(5);
    ASSERT_GE(next.size(), 5);
    m_sink.stop();
    EXPECT_EQ(first.packets(), all);
    EXPECT_NEAR(sa::rms(decode(next, 1, 4)) / unity, 1.0, 0.05);
    const Rtp& last = all.last();
    EXPECT_EQ(std::make_tuple(next[0].ssrc, next[0].seq, next[0].timestamp),
              std::make_tuple(last.ssrc, quint16(last.seq + 1), last.timestamp + quint32(last.payload.size())));
}

TEST_F(RtpSinkTest, ThreadEndsWhenItHasNothingToCapture)
{
    UdpPeer peer;
    add(peer, SAMPLE_RATE_8000);
    useMicrophone(m_dir.filePath("missing.wav"));
    LogCapture log;
    start();
    ASSERT_TRUE(m_sink.wait(5000));
    EXPECT_EQ(log.count(QtWarningMsg, "RtpSink::run: Unable to open PCM device"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "RtpSink::run: No PCM device available."), 1);
    EXPECT_TRUE(peer.packets().isEmpty());
}

}  // namespace
