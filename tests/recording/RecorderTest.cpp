#include "Recorder.h"
#include "LogCapture.h"
#include "RecordingTestSupport.h"
#include "RtpTestPackets.h"
#include "StreamUnitDecrypter.h"
#include "TestClock.h"
#include "UnitPayloadFormat.h"

#include <thread>

using namespace RecordingTestSupport;
using namespace RtpTestPackets;

namespace {

const QHostAddress kSender("10.1.2.3");

const unsigned char* u8(const QByteArray& bytes)
{
    return reinterpret_cast<const unsigned char*>(bytes.constData());
}

// 20 ms A-law packets first..last (160 bytes each, filled with the packet's number).
void feedPackets(Recorder& r, TestClock& clock, quint32 ssrc, int first, int last, quint32 rtpBase = 0,
                 const QList<int>& lost = {})
{
    for (int i = first; i <= last; ++i) {
        const QByteArray packet = rtp(ssrc, quint16(i), rtpBase + quint32(i) * 160, 8, QByteArray(160, char(i)));
        if (!lost.contains(i))
            r.feedRtp(u8(packet), packet.size(), kSender);
        clock.advanceMs(20);
    }
}

Recorder::Options options(const QString& path, double unitSeconds = 1.0, const std::vector<QByteArray>& keys = {})
{
    Recorder::Options o;
    o.store = path;
    o.unitSeconds = unitSeconds;
    o.publicKeys = keys;
    return o;
}

// Either kind of store gives back the very units cut: the same recording plays back alike from both.
TEST_P(EachStoreKind, CutsUnitsOnTheNtpTimeLine)
{
    TempStore temp(GetParam());
    TestClock clock;  // its wall clock starts at kT0
    {
        Recorder r(options(temp.path), clock);
        // Stream 1 is placed by arrival time and loses packets 60..64; stream 2 by a sender report.
        feedPackets(r, clock, 1, 0, 124, 0, {60, 61, 62, 63, 64});
        const QByteArray sr = senderReport(2, at(100), 5000);
        r.feedRtcp(u8(sr), sr.size(), kSender);
        feedPackets(r, clock, 2, 0, 59, 5000 + 8000);
        EXPECT_EQ(r.streamNames(), QStringList({"10.1.2.3-1", "10.1.2.3-2"}));
    }
    // Per stream, each unit's begin, end, first packet and packet count.
    const QVector<std::tuple<double, double, int, int>> expected[] = {
        {{0, 1.0, 0, 50}, {1.0, 1.2, 50, 10}, {1.3, 2.3, 65, 50}, {2.3, 2.5, 115, 10}},
        {{101, 102, 0, 50}, {102, 102.2, 50, 10}}};
    for (int s = 0; s < 2; ++s) {
        const QVector<RecordedUnit> units = temp.units(QString("10.1.2.3-%1").arg(s + 1));
        ASSERT_EQ(units.size(), expected[s].size()) << s;
        for (int i = 0; i < units.size(); ++i) {
            const auto [begin, end, first, count] = expected[s][i];
            QByteArray payload;  // packets first.. of 160 bytes each
            for (int p = first; p < first + count; ++p)
                payload += QByteArray(160, char(p));
            EXPECT_EQ(std::make_tuple(units[i].begin, units[i].end, units[i].payload, units[i].sdp, units[i].encrypted),
                      std::make_tuple(at(begin), at(end), payload, UnitPayloadFormat::staticSdp(8), false))
                << "stream " << s + 1 << " unit " << i;
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
        const QByteArray packet = rtp(77, 1, 0, 8, QByteArray(160, 0));
        r.feedRtp(u8(packet), packet.size(), kSender);
        EXPECT_EQ(r.streamNames(), QStringList("rec 77@10.1.2.3 100%"));
    }
    LogCapture log;
    EXPECT_THROW(Recorder r(options(dir.filePath("s.db"), 1.0, {QByteArray(31, 'k')})), std::exception);
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
        Recorder r(options(temp.path, 1.0, {public1, public2}), clock);
        feedPackets(r, clock, 5, 0, 9);
    }
    const RecordedUnit sealed = temp.units("10.1.2.3-5").value(0);
    EXPECT_TRUE(sealed.encrypted);
    // Peels layers while the keys open them; a layer no key opens leaves nothing.
    auto open = [&](const std::vector<QByteArray>& keys) {
        StreamUnitDecrypter d;
        d.setListOfPossiblePrivateKeys(keys);
        QByteArray bytes = sealed.payload;
        while (StreamUnitDecrypter::isLayer(u8(bytes), bytes.size()))
            bytes = d.decrypt(SharedPoolBuffer::fromByteArray(bytes)).toByteArray();
        return bytes;
    };
    EXPECT_EQ(open({secret2, secret1}).size(), 1600);
    EXPECT_EQ(open({secret1, secret2}).left(160), QByteArray(160, char(0)));
    EXPECT_TRUE(open({secret2}).isEmpty());
}

TEST_P(EachStoreKind, TwoRecordersShareOneStore)
{
    TempStore temp(GetParam());
    auto record = [&](quint32 firstSsrc) {
        TestClock clock;
        Recorder r(options(temp.path, 0.2), clock);
        for (quint32 s = firstSsrc; s < firstSsrc + 4; ++s)
            feedPackets(r, clock, s, 0, 249);  // 5 s: 25 units
    };
    std::thread other(record, 100);
    record(200);
    other.join();
    for (quint32 s : {100, 101, 102, 103, 200, 201, 202, 203})
        EXPECT_EQ(temp.units(QString("10.1.2.3-%1").arg(s)).size(), 25) << s;
}

TEST(UnitPayloadFormat, StoresWhatTheDecoderTakes)
{
    const QString aacSdp = "v=0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 mpeg4-generic/48000/2\r\n"
                           "a=fmtp:96 streamtype=5; mode=AAC-hbr; config=1190; SizeLength=13; IndexLength=3; "
                           "IndexDeltaLength=3\r\n";
    // MPEG audio loses its RFC 2250 header; AAC (RFC 3640 hbr) access units of 3 and 2 bytes become two
    // ADTS frames; an AAC header that claims more data than the packet holds adds nothing.
    // AAC: the AU headers' length in bits, then a 13-bit size and 3-bit index per access unit, then the units.
    const std::tuple<QString, const char*, const char*> cases[] = {
        {UnitPayloadFormat::staticSdp(14), "00000000 fffb9064", "fffb9064"},
        {aacSdp, "0020 0018 0010 aabbcc ddee", "fff14c80015ffc aabbcc fff14c80013ffc ddee"},
        {aacSdp, "0010 0100 aa", ""}};
    for (const auto& [sdp, hex, expected] : cases) {
        const QByteArray packet = QByteArray::fromHex(hex);
        QByteArray unit;
        EXPECT_EQ(UnitPayloadFormat(sdp).append(u8(packet), packet.size(), unit), *expected != 0) << hex;
        EXPECT_EQ(unit.toHex(), QByteArray::fromHex(expected).toHex());
    }
    EXPECT_TRUE(UnitPayloadFormat(aacSdp).unitSdp().contains("a=rtpmap:96 AAC/48000/2"));
    // MPEG audio carries no duration; G.711 lasts one tick per byte; G.726-32 two per byte.
    EXPECT_EQ(UnitPayloadFormat(UnitPayloadFormat::staticSdp(14)).durationTicks(8), 0u);
    EXPECT_EQ(UnitPayloadFormat(pcmaSdp()).durationTicks(160), 160u);
    EXPECT_EQ(UnitPayloadFormat(sdp(97, "G726-32", 8000)).durationTicks(80), 160u);
    EXPECT_TRUE(UnitPayloadFormat::staticSdp(96).isEmpty());
}

}  // namespace
