#include "AudioFrameDefs.h"
#include "LogCapture.h"
#include "RtpReceiverTestSupport.h"

#include <QCoreApplication>
#include <QNetworkInterface>
#include <QProcess>
#include <QScopeGuard>
#include <gtest/gtest.h>

using namespace RtpReceiverTestSupport;
using namespace RtpTestPackets;

// Multicast traffic never touches the machine's own interfaces: the test
// makes a network namespace with nothing but a loopback that carries
// multicast, and runs the real test in it, in a process of this binary.

namespace {

// Runs a tool: whether it succeeded, and what it said.
std::pair<bool, QString> run(const QString& program, const QStringList& args, int timeoutMs = 10000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool ok = p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return {ok, QString::fromLocal8Bit(p.readAll())};
}

}  // namespace

TEST(RtpReceiverMulticast, GroupStreamsBecomeChannelsInsideANamespace)
{
    const QString ns = QStringLiteral("kavex-mcast-%1").arg(QCoreApplication::applicationPid());
    const auto [added, why] = run("ip", {"netns", "add", ns});
    if (!added)
        GTEST_SKIP() << "cannot make a network namespace (needs root and the ip tool): " << qPrintable(why);
    const auto removeNamespace = qScopeGuard([&] { run("ip", {"netns", "delete", ns}); });
    for (const char* step : {"link set lo up", "link set lo multicast on", "route add 224.0.0.0/4 dev lo"})
        ASSERT_TRUE(run("ip", QStringList{"netns", "exec", ns, "ip"} + QString(step).split(' ')).first) << step;

    const auto [passed, output] =
        run("ip",
            {"netns", "exec", ns, QCoreApplication::applicationFilePath(), "--gtest_also_run_disabled_tests",
             "--gtest_filter=RtpReceiverMulticast.DISABLED_InsideNamespace"},
            30000);
    EXPECT_TRUE(passed && output.contains("[  PASSED  ] 1 test")) << qPrintable(output);
}

// Run only by the test above, inside its namespace.
TEST(RtpReceiverMulticast, DISABLED_InsideNamespace)
{
    // Refuse to send anything where a real interface could carry it.
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces())
        ASSERT_TRUE(i.flags() & QNetworkInterface::IsLoopBack) << "not in a namespace: " << qPrintable(i.name());

    const QHostAddress group("239.255.42.42");
    quint16 rtpPort = 0, rtcpPort = 0;
    QHostAddress anyInterface;
    LogCapture log;
    Source s(new RtpReceiver(group, rtpPort, rtcpPort, pcmaSdp(), &anyInterface, 1.0, {}));
    EXPECT_EQ(anyInterface, QHostAddress("0.0.0.0"));
    EXPECT_TRUE(rtpPort != 0 && rtcpPort == rtpPort + 1);
    EXPECT_EQ(log.count(QtDebugMsg, QString("RtpReceiver::run: RTP receiver for mcast group 239.255.42.42 listening "
                                            "on 0.0.0.0 RTP-Port: %1 RTCP port %2")
                                        .arg(rtpPort)
                                        .arg(rtcpPort)),
              1);
    // A second receiver of the group, on the same ports, joined on the loopback.
    quint16 samePort = rtpPort, sameRtcp = rtcpPort;
    QHostAddress loopback("127.0.0.1");
    Source t(new RtpReceiver(group, samePort, sameRtcp, pcmaSdp(), &loopback, 1.0, {}));

    UdpSender sender;  // bound to 127.0.0.1
    sender.writeDatagram(senderReport(12, NTPTimestamp::now(), 0), group, rtcpPort);
    for (quint32 ssrc : {11, 12})
        for (quint16 seq : {1, 2})
            sender.writeDatagram(rtp(ssrc, seq, 160u * seq, 8, alawLevel(0, 160)), group, rtpPort);
    ASSERT_TRUE(s.waitForChannels(2) && t.waitForChannels(2));
    EXPECT_EQ(s->streamKeys(), (QStringList{"2130706433:0::11", "2130706433:0::12"}));
    RtpChannel* first = s.channel(0);
    unsigned char frame[AudioFrameDefs::BYTES_IN_FRAME];  // the mixer thread's first pull applies the SDP
    first->getData(NTPRange(NTPTimestamp::now(), NTPTimestamp::now() + AudioFrameDefs::frameDuration()), frame);
    for (quint16 seq = 3; seq < 7; ++seq)
        sender.writeDatagram(rtp(11, seq, 160u * seq, 8, alawLevel(3000, 160)), group, rtpPort);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !first->getCurrentTimestamp().isNull(); }, 3000));

    quint16 p = 0, q = 0;  // no group: cannot be received
    EXPECT_THROW(RtpReceiver(QHostAddress("10.1.2.3"), p, q, pcmaSdp(), nullptr, 1.0, {}), std::exception);
}
