#include "LogCapture.h"
#include "RtpReceiverTestSupport.h"

#include <QCoreApplication>
#include <QNetworkInterface>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace RtpReceiverTestSupport;
using namespace RtpTestPackets;

// Multicast traffic never touches the machine's own interfaces: the test
// makes a network namespace with nothing but a loopback that carries
// multicast, and runs the real test in it, in a process of this binary.

namespace {

// Runs a tool; empty when it succeeded, else what it said.
QString failureOf(const QString& program, const QStringList& args, int timeoutMs = 10000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool finished = p.waitForFinished(timeoutMs);
    const QString output = QString::fromLocal8Bit(p.readAll());
    if (finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return QString();
    return output.isEmpty() ? QStringLiteral("failed") : output;
}

}  // namespace

TEST(RtpReceiverMulticast, GroupStreamsBecomeChannelsInsideANamespace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making a network namespace needs root";
    const QString ip = QStandardPaths::findExecutable("ip");
    if (ip.isEmpty())
        GTEST_SKIP() << "the ip tool (iproute2) is not installed";
    const QString ns = QStringLiteral("kavex-mcast-%1").arg(QCoreApplication::applicationPid());
    const QString added = failureOf(ip, {"netns", "add", ns});
    if (!added.isEmpty())
        GTEST_SKIP() << "cannot make a network namespace: " << qPrintable(added);
    const auto removeNamespace = qScopeGuard([&] { failureOf(ip, {"netns", "delete", ns}); });
    for (const QString& step : {"link set lo up", "link set lo multicast on", "route add 224.0.0.0/4 dev lo"})
        ASSERT_EQ(failureOf(ip, QStringList{"netns", "exec", ns, ip} + step.split(' ')), QString())
            << qPrintable(step);

    QProcess inner;
    inner.setProcessChannelMode(QProcess::MergedChannels);
    inner.start(ip, {"netns", "exec", ns, QCoreApplication::applicationFilePath(), "--gtest_also_run_disabled_tests",
                     "--gtest_filter=RtpReceiverMulticast.DISABLED_InsideNamespace"});
    ASSERT_TRUE(inner.waitForFinished(30000));
    const QString output = QString::fromLocal8Bit(inner.readAll());
    EXPECT_EQ(inner.exitCode(), 0) << qPrintable(output);
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << qPrintable(output);
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
                                            "on 0.0.0.0 RTP-Port: %1 RTCP port %2").arg(rtpPort).arg(rtcpPort)), 1);
    // A second receiver of the group, on the same ports, joined on the loopback.
    quint16 samePort = rtpPort, sameRtcp = rtcpPort;
    QHostAddress loopback("127.0.0.1");
    Source t(new RtpReceiver(group, samePort, sameRtcp, pcmaSdp(), &loopback, 1.0, {}));

    UdpSender sender;
    sender.send(rtp(11, 1, 0, 8, alawLevel(0, 160)), rtpPort, group);
    sender.send(senderReport(12, NTPTimestamp::now(), 0), rtcpPort, group);
    ASSERT_TRUE(s.waitForChannels(2) && t.waitForChannels(2));
    EXPECT_EQ(s->streamKeys(), (QStringList{"2130706433:0::11", "2130706433:0::12"}));
    RtpChannel* first = s.channel(0);
    applySdp(first);
    for (quint16 seq = 2; seq < 6; ++seq)
        sender.send(rtp(11, seq, 160u * seq, 8, alawLevel(3000, 160)), rtpPort, group);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !first->getCurrentTimestamp().isNull(); }, 3000));

    quint16 p = 0, q = 0;  // no group: cannot be received
    EXPECT_THROW(RtpReceiver(QHostAddress("10.1.2.3"), p, q, pcmaSdp(), nullptr, 1.0, {}), std::exception);
}
