#include "LogCapture.h"
#include "RtpReceiverTestSupport.h"
#include "StreamUnitDecrypter.h"
#include "TestClock.h"

#include <gtest/gtest.h>

using namespace RtpReceiverTestSupport;
using namespace RtpTestPackets;

namespace {

const QString kEncryptedSdp =
    "v=0\r\no=PlaybackSession\r\ns=Encrypted Audio Stream\r\nm=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";

// A new connection to the relay, which hears first the peer's address.
bool connectTo(Source& s, Relay& relay)
{
    QTcpSocket* const old = relay.socket();
    const int messages = relay.messages().size();
    emit s->sigUpstreamAddress("10.1.2.3", relay.port(), 0);
    return QTest::qWaitFor([&] { return relay.socket() != old && relay.messages().size() > messages; }, 5000) &&
           relay.messages().last() == "\x0a\x01\x02\x03";
}

}  // namespace

// Encrypted audio is decrypted with the receiver's keys; plain audio passes as it is.
TEST(RtpReceiverTcp, NamesThePeerCarriesPacketsDownDropsBadMessagesAndMarksUndecryptableAudio)
{
    QByteArray secretA, publicA, secretB, publicB;
    StreamUnitDecrypter::generateKeyPair(secretA, publicA);
    StreamUnitDecrypter::generateKeyPair(secretB, publicB);
    Relay relay;
    quint16 rtpPort = 5004, rtcpPort = 5005;
    TestClock clock;  // every reading a millisecond later: each undecryptable message makes a tone packet
    clock.setAdvancePerReading(1000);
    Source s(new RtpReceiver(rtpPort, rtcpPort, pcmaSdp(), nullptr, QHostAddress::LocalHost, 1.0, {secretA}, clock));
    EXPECT_TRUE(rtpPort == 5004 && rtcpPort == 5005);  // no sockets of its own
    ASSERT_TRUE(connectTo(s, relay));
    // A stream becomes a channel with its second packet in sequence; a sender report waits for it.
    relay.relay(true, senderReport(2, NTPTimestamp::now(), 0));
    for (quint16 seq : {1, 2}) {
        relay.relay(false, rtp(1, seq, 160u * seq, 8, alawLevel(0, 160)));
        relay.relay(false, rtp(2, seq, 160u * seq, 8, alawLevel(0, 160)));
        relay.relay(false, StreamUnitDecrypter::encrypt(rtp(3, seq, 160u * seq, 8, alawLevel(0, 160)), publicA));
    }
    ASSERT_TRUE(s.waitForChannels(3));
    EXPECT_EQ(s->streamKeys(), (QStringList{"2130706433:0::1", "2130706433:0::2", "2130706433:0::3"}));

    LogCapture log;
    relay.sendMessage(QByteArray(1, 0));                          // no packet
    relay.sendMessage(QByteArray("\x00\x00\x00\x01\x00xyz", 8));  // shorter than its length
    relay.relay(false, QByteArray("\x80\x08", 2));
    relay.relay(true, QByteArray(8, '\xff'));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.countAny("RtpReceiver::onRtcpReadyRead") > 0; }, 5000));
    EXPECT_EQ(log.count(QtWarningMsg, "RtpReceiver::onIncomingRtpRtcpData: Discarding malformed message"), 2);
    EXPECT_EQ(log.count(QtWarningMsg, "RtpReceiver::onReadyRead: Invalid RTP header received"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "RtpReceiver::onRtcpReadyRead: Invalid RTCP header received"), 1);

    // An oversized message ends the connection; the next address connects again.
    QTcpSocket* first = relay.socket();
    first->write(QByteArray("\x04\x00\x00\x00", 4) + QByteArray(1000, 'x'));
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->state() == QAbstractSocket::UnconnectedState; }, 5000));
    ASSERT_TRUE(connectTo(s, relay));
    relay.relay(false, rtp(4, 1, 0, 8, alawLevel(0, 160)));
    relay.relay(false, rtp(4, 2, 160, 8, alawLevel(0, 160)));
    ASSERT_TRUE(s.waitForChannels(4));

    // Unreadable: every channel gets the marker tone's SDP, the tone a stream of its own.
    for (quint16 seq : {3, 4})
        relay.relay(false, StreamUnitDecrypter::encrypt(rtp(3, seq, 160u * seq, 8, alawLevel(0, 160)), publicB));
    ASSERT_TRUE(s.waitForChannels(5));
    EXPECT_TRUE(s->isEncryptedMode());
    EXPECT_EQ(s->sdp(), kEncryptedSdp);
    EXPECT_EQ(s.channel(0)->sdp(), kEncryptedSdp);
    EXPECT_TRUE(s->streamKeys().contains("2130706433:0::7411"));
    RtpChannel* tone = s.channel(4);

    // With the key the first readable RTP packet restores the SDP and is not played.
    s->setPrivateKeys({secretA, secretB});
    relay.relay(false, StreamUnitDecrypter::encrypt(rtp(5, 1, 0, 8, alawLevel(0, 160)), publicB));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !s->isEncryptedMode(); }, 5000));
    EXPECT_EQ(s.channel(0)->sdp(), pcmaSdp());
    EXPECT_EQ(tone->sdp(), pcmaSdp());
    for (quint16 seq : {2, 3})
        relay.relay(false, StreamUnitDecrypter::encrypt(rtp(5, seq, 160u * seq, 8, alawLevel(0, 160)), publicB));
    EXPECT_TRUE(s.waitForChannels(6));
}
