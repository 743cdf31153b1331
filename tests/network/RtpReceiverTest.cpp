#include "Configuration.h"
#include "LogCapture.h"
#include "RtpReceiverTestSupport.h"
#include "TestClock.h"

#include <QFile>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <gtest/gtest.h>

using namespace RtpReceiverTestSupport;
using namespace RtpTestPackets;

namespace {
void sendStream(UdpSender& from, quint32 ssrc, quint16 firstSeq, int count, quint16 port, int payloadType = 8)
{
    for (int i = 0; i < count; ++i)
        from.send(rtp(ssrc, quint16(firstSeq + i), 160u * quint32(i), payloadType, alawLevel(1000, 160)), port);
}
}  // namespace

TEST(RtpReceiver, PortsAreTakenAsAskedWithRtcpAboveRtp)
{
    // The ports a receiver asked for these gets, or 0, 0 when it cannot start.
    const auto open = [](quint16 rtp, quint16 rtcp) {
        try {
            Source s(unicastReceiver(rtp, rtcp));
            return qMakePair(rtp, rtcp);
        } catch (const std::exception&) {
            return qMakePair(quint16(0), quint16(0));
        }
    };
    const QHostAddress any(QHostAddress::AnyIPv4);
    quint16 port = 0;
    for (int i = 0; i < 50 && !port; ++i) {  // a free port with a free port above it
        QUdpSocket a, b;
        if (a.bind(any, 0) && a.localPort() < 65535 && b.bind(any, quint16(a.localPort() + 1)))
            port = a.localPort();
    }
    ASSERT_NE(port, 0);
    EXPECT_EQ(open(port, 0), qMakePair(port, quint16(port + 1)));
    QUdpSocket taken;
    ASSERT_TRUE(taken.bind(any, quint16(port + 1)));
    const QPair<quint16, quint16> other = open(port, 0);  // the port above is taken: any other
    EXPECT_TRUE(other.first == port && other.second != 0 && other.second != port + 1);
    EXPECT_NE(open(0, 0).first, 0);
    EXPECT_EQ(open(port, port + 1).first, 0);  // a requested RTCP port that is taken
    EXPECT_EQ(open(port + 1, 0).first, 0);
}

// Stale streams are withdrawn after five seconds of the receiver's clock and come back with their next packet.
TEST(RtpReceiver, EverySenderAndSsrcBecomesAChannelLikeTheSourceUntilItGoesStale)
{
    TestClock clock;
    quint16 rtpPort = 0, rtcpPort = 0;
    Source s(unicastReceiver(rtpPort, rtcpPort, clock));
    s->unmute(CHANNEL_BOTH);
    s->mute(CHANNEL_LEFT);
    s->setPresentationGroup("LIVE");
    UdpSender a, b(QHostAddress("127.0.0.2"));
    a.send(senderReport(3333, NTPTimestamp::now(), 0), rtcpPort);  // a report waits for its stream
    for (quint32 ssrc : {1111u, 2222u, 3333u})
        sendStream(a, ssrc, 1, ssrc == 1111 ? 3 : 2, rtpPort);  // the third packet of 1111 makes no channel
    sendStream(b, 1111, 1, 2, rtpPort);                         // same SSRC, other sender
    ASSERT_TRUE(s.waitForChannels(4));
    EXPECT_FALSE(s.waitForChannels(5, 300));
    EXPECT_EQ(s->streamKeys(),
              (QStringList{"2130706433:0::1111", "2130706433:0::2222", "2130706433:0::3333", "2130706434:0::1111"}));

    RtpChannel* one = s.channel(0);
    EXPECT_EQ(one->getMuteState(), CHANNEL_LEFT);  // takes over the source's bits
    EXPECT_EQ(one->getPresentationGroup(), "LIVE");
    s->unmute(CHANNEL_LEFT);
    s->mute(CHANNEL_RIGHT);
    EXPECT_EQ(one->getMuteState(), CHANNEL_RIGHT);
    s->setSdp(sdp(0, "PCMU", 8000));
    EXPECT_EQ(one->sdp(), sdp(0, "PCMU", 8000));

    QSignalSpy removed(s.get(), &RtpReceiver::removeChannel);
    clock.advanceMs(5000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return removed.count() == 4; }, 5000));
    EXPECT_EQ(s->channelCount(), 0);
    sendStream(a, 1111, 4, 2, rtpPort, 0);  // the payload type of the new SDP
    EXPECT_TRUE(s.waitForChannels(5));
}

// Malformed and random datagrams, single packets of spoofed SSRCs, a stream
// of a payload type the SDP does not name and RTCP without RTP make no
// channel and only a few log lines; two packets in sequence make one, and the
// first one's audio is not lost.
TEST(RtpReceiver, OnlyStreamsThatLookRealBecomeChannels)
{
    quint16 rtpPort = 0, rtcpPort = 0;
    Source s(unicastReceiver(rtpPort, rtcpPort));
    const QByteArray valid = rtp(5, 1, 0, 8, alawLevel(0, 160)), payload = valid.mid(12);
    // Short, a bad version, 15 contributing sources in 8 bytes, a huge header extension, more padding than payload.
    QList<QByteArray> bad{QByteArray(),
                          valid.left(11),
                          QByteArray(12, '\xff'),
                          char(0x8f) + valid.mid(1, 19),
                          char(0x90) + valid.mid(1, 11) + QByteArray("\0\0\xff\xff", 4) + valid.mid(16),
                          char(0xa0) + valid.mid(1, valid.size() - 2) + '\xff'};
    std::vector<quint32> noise(30000);  // 300 packets of random bytes, 1 to 399 of them
    QRandomGenerator(42).fillRange(noise.data(), qsizetype(noise.size()));
    for (size_t i = 0; i < 300; ++i)
        bad << QByteArray(reinterpret_cast<const char*>(noise.data() + 100 * i), 1 + i * 37 % 399)
            << rtp(noise[i], quint16(noise[i + 1]), 0, 8, payload);
    for (quint16 seq = 1; seq < 6; ++seq)
        bad << rtp(4444, seq, 160u * seq, 0, payload);
    LogCapture log;
    UdpSender a;
    const QByteArray receiverReport("\x80\xc9\x00\x01\x00\x00\x0d\x05", 8);
    ASSERT_TRUE(
        s.sendPaced(a, bad + QList<QByteArray>{receiverReport, senderReport(3, NTPTimestamp::now(), 0)}, rtcpPort));
    ASSERT_TRUE(s.sendPaced(a, bad + QList<QByteArray>{valid, rtp(5, 2, 160, 8, payload)}, rtpPort));
    ASSERT_TRUE(s.waitForChannels(1));
    EXPECT_FALSE(s.waitForChannels(2, 300));
    EXPECT_EQ(s->streamKeys().join(' ').toStdString(), "2130706433:0::5");
    EXPECT_EQ(s->streamStatus().value(0).packets, 2u);
    for (const char* text : {"RtpReceiver::onReadyRead: Invalid RTP header received",
                             "RtpReceiver::onRtcpReadyRead: Invalid RTCP header received"}) {
        EXPECT_GE(log.count(QtWarningMsg, text), 6) << text;
        EXPECT_LE(log.count(QtWarningMsg, text), 2 * RtpReceiver::BAD_PACKET_LOG_PER_SECOND) << text;
    }
}

// Streams beyond the configured limits are refused with one warning per
// sender; a stream that goes stale makes room.
TEST(RtpReceiver, LiveChannelsAreLimitedPerReceiverAndInTotal)
{
    const auto removeSettings = qScopeGuard([] { QFile::remove(Configuration::settingsFilePath()); });
    QSettings(Configuration::settingsFilePath(), QSettings::IniFormat)
        .setValue("RtpReceiver/MaxChannelsPerReceiver", 2);
    QSettings(Configuration::settingsFilePath(), QSettings::IniFormat).setValue("RtpReceiver/MaxChannelsTotal", 3);
    TestClock clock1, clock2;
    quint16 rtp1 = 0, rtcp1 = 0, rtp2 = 0, rtcp2 = 0;
    Source one(unicastReceiver(rtp1, rtcp1, clock1));
    Source two(unicastReceiver(rtp2, rtcp2, clock2));
    LogCapture log;
    UdpSender a, b(QHostAddress("127.0.0.2"));
    for (quint32 ssrc : {1u, 2u, 3u})
        sendStream(a, ssrc, 1, 6, rtp1);
    ASSERT_TRUE(one.waitForChannels(2));
    sendStream(b, 4, 1, 2, rtp2);
    sendStream(b, 5, 1, 6, rtp2);
    ASSERT_TRUE(two.waitForChannels(1));
    EXPECT_FALSE(one.waitForChannels(3, 300) || two.waitForChannels(2, 1));
    EXPECT_EQ(log.count(QtWarningMsg, "127.0.0.1"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "127.0.0.2"), 1);

    QSignalSpy removed(one.get(), &RtpReceiver::removeChannel);
    clock1.advanceMs(5000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return removed.count() == 2; }, 5000));
    sendStream(b, 5, 7, 2, rtp2);
    EXPECT_TRUE(two.waitForChannels(2));
}
