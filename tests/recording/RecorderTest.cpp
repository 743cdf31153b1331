#include "Decoder.h"
#include "LogCapture.h"
#include "Recorder.h"
#include "RecordingTestSupport.h"
#include "RtpTestPackets.h"
#include "SignalAnalysis.h"
#include "StreamUnitDecrypter.h"
#include "TestClock.h"
#include "UnitPayloadFormat.h"

#include <QTest>
#include <QUdpSocket>

#include <thread>

using namespace RecordingTestSupport;
using namespace RtpTestPackets;

namespace {

const QHostAddress kSender("10.1.2.3");

void feed(Recorder& r, const QByteArray& bytes, const QHostAddress& from = kSender)
{
    r.feedRtp(reinterpret_cast<const unsigned char*>(bytes.constData()), bytes.size(), from);
}

// 20 ms A-law packets first..last (160 bytes each, filled with the packet's number).
void feedPackets(Recorder& r, TestClock& clock, quint32 ssrc, int first, int last, quint32 rtpBase = 0,
                 const QList<int>& lost = {})
{
    for (int i = first; i <= last; ++i) {
        if (!lost.contains(i))
            feed(r, rtp(ssrc, quint16(i), rtpBase + quint32(i) * 160, 8, QByteArray(160, char(i))));
        clock.advanceMs(20);
    }
}

Recorder::Options options(const QString& path, double unitSeconds = 1.0)
{
    Recorder::Options o;
    o.store = path;
    o.unitSeconds = unitSeconds;
    return o;
}

TEST(Recorder, CutsUnitsOnTheNtpTimeLine)
{
    TempStore temp;
    TestClock clock;  // its wall clock starts at kT0
    {
        Recorder r(options(temp.path), clock);
        // Stream 1: no sender report, so arrival time places it; packets
        // 60..64 are lost. Stream 2: a sender report places it.
        feedPackets(r, clock, 1, 0, 124, 0, {60, 61, 62, 63, 64});
        const QByteArray sr = senderReport(2, at(100), 5000);
        r.feedRtcp(reinterpret_cast<const unsigned char*>(sr.constData()), sr.size(), kSender);
        feedPackets(r, clock, 2, 0, 59, 5000 + 8000);
        EXPECT_EQ(r.streamNames(), QStringList({"10.1.2.3-1", "10.1.2.3-2"}));
    }
    struct Expected { double begin, end; int firstPacket, packets; };
    const QVector<Expected> one = {{0, 1.0, 0, 50}, {1.0, 1.2, 50, 10}, {1.3, 2.3, 65, 50}, {2.3, 2.5, 115, 10}};
    const QVector<Expected> two = {{101, 102, 0, 50}, {102, 102.2, 50, 10}};
    for (const auto& stream : {qMakePair(QString("10.1.2.3-1"), one), qMakePair(QString("10.1.2.3-2"), two)}) {
        const QVector<RecordedUnit> units = allUnits(temp.path, stream.first);
        ASSERT_EQ(units.size(), stream.second.size()) << stream.first.toStdString();
        for (int i = 0; i < units.size(); ++i) {
            SCOPED_TRACE(stream.first.toStdString() + " unit " + std::to_string(i));
            const Expected& e = stream.second[i];
            EXPECT_NEAR(double(qint64(units[i].begin.toMicroSeconds() - kT0.toMicroSeconds())) / 1e6, e.begin, 1e-6);
            EXPECT_NEAR(double(qint64(units[i].end.toMicroSeconds() - kT0.toMicroSeconds())) / 1e6, e.end, 1e-6);
            ASSERT_EQ(units[i].payload.size(), e.packets * 160);
            EXPECT_EQ(units[i].payload.front(), char(e.firstPacket));
            EXPECT_EQ(units[i].payload.back(), char(e.firstPacket + e.packets - 1));
            EXPECT_EQ(units[i].sdp, UnitPayloadFormat::staticSdp(8));
            EXPECT_FALSE(units[i].encrypted);
        }
    }
}

TEST(Recorder, OptionsAreCheckedAtConstruction)
{
    QTemporaryDir dir;
    for (const auto& c : {std::make_pair(0.5, 0.5), std::make_pair(20.0, 10.0), std::make_pair(0.05, 0.2)}) {
        LogCapture log;
        Recorder::Options o = options(dir.filePath("s.db"), c.first);
        o.namePattern = "rec %s@%a 100%%";
        Recorder r(o);
        EXPECT_DOUBLE_EQ(r.unitSeconds(), c.second);
        EXPECT_EQ(log.count(QtWarningMsg, "Recorder::Recorder: Unit length"), c.first == c.second ? 0 : 1);
        feed(r, rtp(77, 1, 0, 8, QByteArray(160, 0)));
        EXPECT_EQ(r.streamNames(), QStringList("rec 77@10.1.2.3 100%"));
    }
    Recorder::Options badKey = options(dir.filePath("s.db"));
    badKey.publicKeys = {QByteArray(31, 'k')};
    EXPECT_THROW(Recorder r(badKey), std::exception);
    LogCapture log;
    EXPECT_THROW(Recorder r(options(dir.path())), std::exception);
    EXPECT_EQ(log.count(QtWarningMsg, "is a directory"), 1) << log.dump().toStdString();
}

TEST(Recorder, SealedUnitsOpenOnlyWithEveryKey)
{
    TempStore temp;
    QByteArray secret1, public1, secret2, public2;
    StreamUnitDecrypter::generateKeyPair(secret1, public1);
    StreamUnitDecrypter::generateKeyPair(secret2, public2);
    TestClock clock;
    {
        Recorder::Options o = options(temp.path);
        o.publicKeys = {public1, public2};
        Recorder r(o, clock);
        feedPackets(r, clock, 5, 0, 9);
    }
    const QVector<RecordedUnit> units = allUnits(temp.path, "10.1.2.3-5");
    ASSERT_EQ(units.size(), 1);
    EXPECT_TRUE(units[0].encrypted);
    auto open = [&](const std::vector<QByteArray>& keys) {
        StreamUnitDecrypter d;
        d.setListOfPossiblePrivateKeys(keys);
        SharedPoolBuffer b = SharedPoolBuffer::fromByteArray(units[0].payload);
        for (int layers = 0; layers < 4; ++layers) {
            const SharedPoolBuffer inner = d.decrypt(b);
            if (inner.isEmpty() || inner.getBuffer() == b.getBuffer())
                return inner.toByteArray();
            b = inner;
        }
        return QByteArray();
    };
    EXPECT_EQ(open({secret2, secret1}).size(), 1600);
    EXPECT_EQ(open({secret1, secret2}).left(160), QByteArray(160, char(0)));
    EXPECT_TRUE(open({secret2}).isEmpty());
}

// Live A-law over loopback UDP, placed by a sender report, recorded and decoded again.
TEST(Recorder, RecordsLiveUdpThatPlaysBack)
{
    TempStore temp;
    quint16 rtpPort = 0, rtcpPort = 0;
    {
        Recorder r(options(temp.path));
        ASSERT_TRUE(r.listenUnicast(rtpPort, rtcpPort, QHostAddress(QHostAddress::LocalHost)));
        QUdpSocket out;
        out.bind(QHostAddress(QHostAddress::LocalHost), 0);
        out.writeDatagram(senderReport(9, at(0), 0), QHostAddress(QHostAddress::LocalHost), rtcpPort);
        QTest::qWait(50);
        for (int i = 0; i <= 100; ++i) {
            out.writeDatagram(rtp(9, quint16(i), quint32(i) * 160, 8, alawSine(1000, 8000, quint32(i) * 160, 160)),
                              QHostAddress(QHostAddress::LocalHost), rtpPort);
            if (i % 10 == 0)
                QTest::qWait(5);
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return r.unitsWritten() >= 2; }, 10000));
    }
    const QVector<RecordedUnit> units = allUnits(temp.path, "127.0.0.1-9");
    ASSERT_EQ(units.size(), 3);
    EXPECT_EQ(units[1].begin, at(1));
    EXPECT_EQ(units[1].end, at(2));
    std::unique_ptr<Decoder> decoder(Decoder::getDecoderBySdp(units[1].sdp, true, 1.0));
    ASSERT_TRUE(decoder);
    std::vector<unsigned char> pcm(200000);
    int produced = int(pcm.size());
    decoder->decode(reinterpret_cast<const unsigned char*>(units[1].payload.constData()), units[1].payload.size(),
                    pcm.data(), produced);
    ASSERT_GT(produced, 90000);
    std::vector<int16_t> samples(size_t(produced / 2));
    memcpy(samples.data(), pcm.data(), samples.size() * 2);
    EXPECT_NEAR(SignalAnalysis::dominantFrequency(SignalAnalysis::toDouble(samples), 48000), 1000, 10);
}

TEST(Recorder, TwoRecordersShareOneStore)
{
    TempStore temp;
    auto record = [&](quint32 firstSsrc) {
        TestClock clock;
        Recorder r(options(temp.path, 0.2), clock);
        for (quint32 s = firstSsrc; s < firstSsrc + 4; ++s)
            feedPackets(r, clock, s, 0, 249);  // 5 s: 25 units
    };
    std::thread a(record, 100), b(record, 200);
    a.join();
    b.join();
    RecordingStore store(Clock::system());
    ASSERT_TRUE(store.open(temp.path, RecordingStore::OPEN_EXISTING));
    for (quint32 s : {100, 101, 102, 103, 200, 201, 202, 203})
        EXPECT_EQ(store.unitCount(store.findStream(QString("10.1.2.3-%1").arg(s))), 25) << s;
}

TEST(UnitPayloadFormat, StoresWhatTheDecoderTakes)
{
    const QByteArray payload = QByteArray::fromHex("00000000fffb9064");
    QByteArray unit;
    // MPEG audio: the RFC 2250 header goes.
    UnitPayloadFormat mpa(UnitPayloadFormat::staticSdp(14));
    ASSERT_TRUE(mpa.append(reinterpret_cast<const unsigned char*>(payload.constData()), payload.size(), unit));
    EXPECT_EQ(unit, QByteArray::fromHex("fffb9064"));
    EXPECT_EQ(mpa.durationTicks(payload.size()), 0u);

    // AAC, RFC 3640 hbr: two access units (3 and 2 bytes) become two ADTS frames.
    const QString aacSdp = "v=0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 mpeg4-generic/48000/2\r\n"
                           "a=fmtp:96 streamtype=5; mode=AAC-hbr; config=1190; SizeLength=13; IndexLength=3; "
                           "IndexDeltaLength=3\r\n";
    UnitPayloadFormat aac(aacSdp);
    EXPECT_TRUE(aac.unitSdp().contains("a=rtpmap:96 AAC/48000/2"));
    const QByteArray aus = QByteArray::fromHex("0020" "0018" "0010" "aabbcc" "ddee");
    unit.clear();
    ASSERT_TRUE(aac.append(reinterpret_cast<const unsigned char*>(aus.constData()), aus.size(), unit));
    EXPECT_EQ(unit.toHex(), QByteArray("fff14c80015ffc" "aabbcc" "fff14c80013ffc" "ddee"));
    // A header that claims more data than the packet holds adds nothing.
    const QByteArray cut = QByteArray::fromHex("0010" "0100" "aa");
    EXPECT_FALSE(aac.append(reinterpret_cast<const unsigned char*>(cut.constData()), cut.size(), unit));
    EXPECT_EQ(unit.size(), 19);

    // G.711 lasts one tick per byte; G.726-32 two per byte.
    EXPECT_EQ(UnitPayloadFormat(pcmaSdp()).durationTicks(160), 160u);
    EXPECT_EQ(UnitPayloadFormat(sdp(97, "G726-32", 8000)).durationTicks(80), 160u);
    EXPECT_TRUE(UnitPayloadFormat::staticSdp(96).isEmpty());
}

}  // namespace
