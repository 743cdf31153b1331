#include "Mixer.h"
#include "RtpReceiverTestSupport.h"

#include <gtest/gtest.h>

using namespace RtpReceiverTestSupport;
using namespace RtpTestPackets;

// The host's talk-back path in relay mode: a packet the host hands to the
// mixer for a source goes up that source's TCP connection, framed as
// (bool isRtcp, packet). The capture sink's in-process packets reaching the
// host are the mixer's own concern.
TEST(TalkBackRelay, HostPacketsReachTheRelayFramed)
{
    QSharedPointer<Mixer> mixer = Mixer::getInstance(true, false);
    Relay relay;
    quint16 rtpPort = 0, rtcpPort = 0;
    const quint64 id = mixer->addUnicastRtpChannel("LIVE", rtpPort, rtcpPort, pcmaSdp(), nullptr,
                                                   QHostAddress(QHostAddress::LocalHost), 1.0);
    ASSERT_NE(id, 0u);
    mixer->setUpstreamAddress(id, "10.0.0.5", relay.port(), 0);
    ASSERT_TRUE(relay.waitForMessages(1));
    EXPECT_EQ(relay.messages().first(), QByteArray("\x0a\x00\x00\x05", 4));

    const QByteArray packet = rtp(77, 9, 1440, 8, alawLevel(500, 250));  // 262 bytes
    mixer->sendTcpUpstreamRtpData(id, SharedPoolBuffer::fromByteArray(packet));
    ASSERT_TRUE(relay.waitForMessages(2));
    EXPECT_EQ(relay.messages().at(1), QByteArray("\x00\x00\x00\x01\x06", 5) + packet);
    mixer->removeRtpChannel(id);
}
