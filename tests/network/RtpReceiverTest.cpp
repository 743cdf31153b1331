#include "LogCapture.h"
#include "RtpReceiverTestSupport.h"
#include "TestClock.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace RtpReceiverTestSupport;
using namespace RtpTestPackets;

namespace {

// The ports a receiver asked for these gets, or 0, 0 when it cannot start.
QPair<quint16, quint16> open(quint16 rtp, quint16 rtcp)
{
    try {
        Source s(unicastReceiver(rtp, rtcp));
        return {rtp, rtcp};
    } catch (const std::exception&) {
        return {0, 0};
    }
}

}  // namespace

TEST(RtpReceiver, PortsAreTakenAsAskedWithRtcpAboveRtp)
{
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

TEST(RtpReceiver, EverySenderAndSsrcBecomesAChannelLikeTheSource)
{
    quint16 rtpPort = 0, rtcpPort = 0;
    Source s(unicastReceiver(rtpPort, rtcpPort));
    s->unmute(CHANNEL_BOTH);
    s->mute(CHANNEL_LEFT);
    s->setPresentationGroup("LIVE");
    UdpSender a, b(QHostAddress("127.0.0.2"));
    a.send(rtp(1111, 1, 0, 8, alawLevel(0, 160)), rtpPort);
    a.send(rtp(2222, 1, 0, 8, alawLevel(0, 160)), rtpPort);
    a.send(rtp(1111, 2, 160, 8, alawLevel(0, 160)), rtpPort);
    b.send(rtp(1111, 1, 0, 8, alawLevel(0, 160)), rtpPort);        // same SSRC, other sender
    a.send(senderReport(3333, NTPTimestamp::now(), 0), rtcpPort);  // a report can come first
    ASSERT_TRUE(s.waitForChannels(4));
    EXPECT_FALSE(s.waitForChannels(5, 300));
    EXPECT_EQ(s->streamKeys(), (QStringList{"2130706433:0::1111", "2130706433:0::2222", "2130706433:0::3333",
                                           "2130706434:0::1111"}));

    RtpChannel* one = s.channel(0);
    EXPECT_EQ(one->getMuteState(), CHANNEL_LEFT);  // takes over the source's bits
    EXPECT_EQ(one->getPresentationGroup(), "LIVE");
    s->unmute(CHANNEL_LEFT);
    s->mute(CHANNEL_RIGHT);
    EXPECT_EQ(one->getMuteState(), CHANNEL_RIGHT);
    s->setSdp(sdp(0, "PCMU", 8000));
    EXPECT_EQ(one->sdp(), sdp(0, "PCMU", 8000));
}

TEST(RtpReceiver, GarbageIsDroppedWithoutHarm)
{
    quint16 rtpPort = 0, rtcpPort = 0;
    Source s(unicastReceiver(rtpPort, rtcpPort));
    const QByteArray valid = rtp(5, 1, 0, 8, alawLevel(0, 160));
    QList<QByteArray> bad{QByteArray(), valid.left(11), QByteArray(12, '\xff')};
    bad << QByteArray(1, char(0x8f)) + valid.mid(1, 19);  // 15 contributing sources in 8 bytes
    // A huge header extension, and more padding than payload.
    bad << QByteArray(1, char(0x90)) + valid.mid(1, 11) + QByteArray("\0\0\xff\xff", 4) + valid.mid(16);
    bad << QByteArray(1, char(0xa0)) + valid.mid(1, valid.size() - 2) + '\xff';
    QRandomGenerator random(42);
    for (int i = 0; i < 300; ++i) {
        QByteArray noise(int(random.bounded(1, 400)), 0);
        for (char& c : noise)
            c = char(random.bounded(256));
        bad << noise;
    }
    LogCapture log;
    UdpSender a;
    for (const QByteArray& d : bad) {
        a.send(d, rtpPort);
        a.send(d, rtcpPort);
    }
    a.send(valid, rtpPort);
    ASSERT_TRUE(s.waitForChannels(1));
    EXPECT_GE(log.count(QtWarningMsg, "RtpReceiver::onReadyRead: Invalid RTP header received"), 6);
    EXPECT_GE(log.count(QtWarningMsg, "RtpReceiver::onRtcpReadyRead: Invalid RTCP header received"), 6);
}

TEST(RtpReceiver, StaleStreamsAreWithdrawnAndComeBackWithTheirNextPacket)
{
    TestClock clock;
    quint16 rtpPort = 0, rtcpPort = 0;
    Source s(unicastReceiver(rtpPort, rtcpPort, clock));
    QSignalSpy removed(s.get(), &RtpReceiver::removeChannel);
    UdpSender sender;
    sender.send(rtp(42, 1, 0, 8, alawLevel(0, 160)), rtpPort);
    ASSERT_TRUE(s.waitForChannels(1));
    clock.advanceMs(5000);
    ASSERT_TRUE(removed.wait(5000));
    EXPECT_EQ(s->channelCount(), 0);
    sender.send(rtp(42, 2, 160, 8, alawLevel(0, 160)), rtpPort);
    EXPECT_TRUE(s.waitForChannels(2));
}
