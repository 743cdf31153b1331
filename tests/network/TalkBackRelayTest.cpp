#include "Mixer.h"
#include "RTPPacket.h"
#include "RtpReceiverTestSupport.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"

#include <QDataStream>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace RtpReceiverTestSupport;
using namespace RtpTestPackets;

// The host's usual talk-back path in relay mode: the capture sink hands each
// packet to the host in process, and the host sends it up the receiver's TCP
// connection, where the relay gets it framed as (bool isRtcp, packet).
TEST(TalkBackRelay, CapturedPacketsReachTheRelayFramed)
{
    QTemporaryDir dir;
    SignalAnalysis::writeWav(dir.filePath("mic.wav"), 48000, 1,
                             SignalAnalysis::toInt16(SignalAnalysis::sine(400, 48000, 48000, 8000)));
    ScopedEnvironment env("OSTKAVEX_INPUT_DEVICE", ("wav:" + dir.filePath("mic.wav")).toUtf8());
    {
        QSharedPointer<Mixer> mixer = Mixer::getInstance(true, false);
        Relay relay;
        quint16 rtpPort = 0, rtcpPort = 0;
        const quint64 id = mixer->addUnicastRtpChannel("LIVE", rtpPort, rtcpPort, pcmaSdp(), nullptr,
                                                       QHostAddress(QHostAddress::LocalHost), 1.0);
        ASSERT_NE(id, 0u);
        mixer->setUpstreamAddress(id, "10.0.0.5", relay.port(), 0);
        ASSERT_TRUE(relay.waitForMessages(1));

        QObject::connect(mixer.data(), &Mixer::inprocRtpPacket, mixer.data(),
                         [&](const SharedPoolBuffer& spb) { mixer->sendTcpUpstreamRtpData(id, spb); });
        mixer->enableRtpSink(QHostAddress::LocalHost, 0, SAMPLE_RATE_8000);
        ASSERT_TRUE(relay.waitForMessages(5));
        mixer->disableRtpSink();

        const QList<QByteArray> messages = relay.messages();
        quint16 previous = 0;
        // Message 0 asks for the peer's stream; 1 is the first packet, shorter
        // while the resampler fills up.
        for (int i = 2; i < 5; ++i) {
            QDataStream in(messages[i]);
            bool isRtcp = true;
            quint32 length = 0;
            in >> isRtcp >> length;
            ASSERT_EQ(messages[i].size(), int(1 + 4 + length));
            EXPECT_FALSE(isRtcp);
            RTPPacket packet(reinterpret_cast<const unsigned char*>(messages[i].constData()) + 5, int(length));
            ASSERT_TRUE(packet.isHeaderValid());
            EXPECT_EQ(int(packet.getPayloadType()), 8);
            EXPECT_NEAR(packet.getPayloadSize(), 250, 4);
            if (i > 2)
                EXPECT_EQ(quint16(packet.getSeqNum() - previous), 1);
            previous = packet.getSeqNum();
        }
        mixer->removeRtpChannel(id);
    }
}
