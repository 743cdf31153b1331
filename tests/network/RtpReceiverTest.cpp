#include "Configuration.h"
#include "LogCapture.h"
#include "RtpReceiverTestSupport.h"

#include <QRandomGenerator>
#include <QSettings>
#include <gtest/gtest.h>

using namespace RtpReceiverTestSupport;
using namespace RtpTestPackets;

namespace {

bool starts(quint16 rtpPort, quint16 rtcpPort)
{
    try {
        Source s(unicastReceiver(rtpPort, rtcpPort));
        return true;
    } catch (const std::exception&) {
        return false;
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
    quint16 rtp = port, rtcp = 0;
    {
        Source s(unicastReceiver(rtp, rtcp));
        EXPECT_EQ(rtp, port);
        EXPECT_EQ(rtcp, port + 1);
    }
    QUdpSocket taken;
    ASSERT_TRUE(taken.bind(any, quint16(port + 1)));
    rtp = port;
    rtcp = 0;
    {
        Source s(unicastReceiver(rtp, rtcp));  // the port above is taken: any other
        EXPECT_EQ(rtp, port);
        EXPECT_TRUE(rtcp != 0 && rtcp != port + 1);
    }
    rtp = rtcp = 0;
    EXPECT_TRUE(starts(rtp, rtcp));
    EXPECT_FALSE(starts(port, port + 1));  // a requested RTCP port that is taken
    EXPECT_FALSE(starts(port + 1, 0));
}

TEST(RtpReceiver, InterfaceComesFromTheSettingsOrTheCaller)
{
    QSettings settings(Configuration::settingsFilePath(), QSettings::IniFormat);
    settings.setValue("Mixer/UnicastInterface", "127.0.0.2");
    settings.sync();
    quint16 rtpPort = 0, rtcpPort = 0;
    QHostAddress used;
    LogCapture log;
    Source s(new RtpReceiver(rtpPort, rtcpPort, pcmaSdp(), &used, QHostAddress(), 1.0, {}));
    settings.remove("Mixer/UnicastInterface");
    settings.sync();
    EXPECT_EQ(used, QHostAddress("127.0.0.2"));
    EXPECT_EQ(log.count(QtDebugMsg, "RtpReceiver::RtpReceiver: Using settings file"), 1);
    EXPECT_EQ(log.count(QtDebugMsg, QString("RtpReceiver::run: RTP receiver listening on 127.0.0.2 RTP-Port: %1 "
                                            "RTCP port %2").arg(rtpPort).arg(rtcpPort)), 1);
    UdpSender sender;
    sender.send(rtp(1, 1, 0, 8, alawLevel(0, 160)), rtpPort);  // to 127.0.0.1: nobody listens
    EXPECT_FALSE(s.waitForChannels(1, 300));
    sender.send(rtp(1, 1, 0, 8, alawLevel(0, 160)), rtpPort, QHostAddress("127.0.0.2"));
    EXPECT_TRUE(s.waitForChannels(1));

    QHostAddress given("127.0.0.1");  // overrides the setting (now the default)
    rtpPort = rtcpPort = 0;
    Source t(new RtpReceiver(rtpPort, rtcpPort, pcmaSdp(), &given, QHostAddress(), 1.0, {}));
    used = QHostAddress();
    rtpPort = rtcpPort = 0;
    Source u(new RtpReceiver(rtpPort, rtcpPort, pcmaSdp(), &used, QHostAddress(), 1.0, {}));
    EXPECT_EQ(used, QHostAddress("0.0.0.0"));
}

TEST(RtpReceiver, EverySenderAndSsrcBecomesAChannel)
{
    quint16 rtpPort = 0, rtcpPort = 0;
    Source s(unicastReceiver(rtpPort, rtcpPort));
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

    RtpChannel* first = s.channel(0);
    applySdp(first);
    for (quint16 seq = 3; seq < 8; ++seq)
        a.send(rtp(1111, seq, 160u * seq, 8, alawLevel(3000, 160)), rtpPort);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !first->getCurrentTimestamp().isNull(); }, 3000));
}

TEST(RtpReceiver, MuteStateSdpAndGroupReachEveryChannel)
{
    quint16 rtpPort = 0, rtcpPort = 0;
    Source s(unicastReceiver(rtpPort, rtcpPort));
    s->unmute(CHANNEL_BOTH);
    s->mute(CHANNEL_LEFT);
    s->setPresentationGroup("LIVE");
    UdpSender a;
    a.send(rtp(1, 1, 0, 8, alawLevel(0, 160)), rtpPort);
    ASSERT_TRUE(s.waitForChannels(1));
    RtpChannel* one = s.channel(0);
    EXPECT_EQ(one->getMuteState(), CHANNEL_LEFT);  // takes over the source's bits
    EXPECT_EQ(one->getPresentationGroup(), "LIVE");
    s->unmute(CHANNEL_LEFT);
    s->mute(CHANNEL_RIGHT);
    EXPECT_EQ(one->getMuteState(), CHANNEL_RIGHT);
    s->setSdp(sdp(0, "PCMU", 8000));
    EXPECT_EQ(one->sdp(), sdp(0, "PCMU", 8000));

    const QPair<QString, eSampleRate> rates[] = {
        {sdp(96, "PCMA16", 16000), SAMPLE_RATE_16000},
        {"m=audio 1 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:9 X/16000\r\n", SAMPLE_RATE_8000},
        {"v=0\r\nm=audio 5004 RTP/AVP 8\r\n", SAMPLE_RATE_NONE},
        {sdp(14, "MPA", 90000), SAMPLE_RATE_NONE},
        {QString(), SAMPLE_RATE_16000}};
    for (const auto& r : rates) {
        s->setSdp(r.first);
        EXPECT_EQ(s->getSampleRate(), r.second) << qPrintable(r.first);
    }
    unsigned char buffer[2048] = {0x5A};
    s->getData(NTPRange(NTPTimestamp::now(), NTPTimestamp::now() + AudioFrameDefs::frameDuration()), buffer);
    EXPECT_EQ(buffer[0], 0x5A);  // the source itself plays nothing
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
