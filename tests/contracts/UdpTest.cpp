#include "KavexLLSock.h"
#include "KavexUdpReceiver.h"
#include "KavexUdpSender.h"
#include "LogCapture.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

// Every datagram here travels over the loopback interface only.
namespace {

// A datagram's bytes, family, IPv4 address, sender address and port, and the thread it came on.
using Received = std::tuple<QByteArray, int, quint32, QHostAddress, quint16, QThread*>;

// A unicast receiver on `iface` that collects what arrives.
struct Listener {
    explicit Listener(const QHostAddress& iface)
    {
        receiver.registerCallback(
            [](void* context, const Datagram& d) {
                static_cast<QList<Received>*>(context)->append(
                    {QByteArray(reinterpret_cast<const char*>(d.data), d.size), d.family, d.ipv4Address,
                     d.senderAddress(), d.port, QThread::currentThread()});
            },
            &got);
        opened = receiver.createUnicast(port, iface);
    }
    KavexLLSock::ADDR_V4_V6 at(const QHostAddress& host) const { return KavexLLSock::createSockAddr(host, port); }

    KavexUdpReceiver receiver;
    QList<Received> got;
    quint16 port = 0;
    bool opened = false;
};

}  // namespace

// IPv4 always; then IPv6 and dual stack, where the machine has an IPv6 loopback.
TEST(KavexUdp, UnicastDeliversDatagramsWithTheirSenderInEitherFamily)
{
    Listener listener(QHostAddress::LocalHost);
    ASSERT_TRUE(listener.opened && listener.port != 0 && listener.receiver.localPort() == listener.port);
    KavexUdpSender sender;
    ASSERT_TRUE(sender.bind(0, QHostAddress::LocalHost));
    const KavexLLSock::ADDR_V4_V6 to = listener.at(QHostAddress::LocalHost);
    const QByteArray big(60000, 'x');
    // Sent in this order: a braced list evaluates left to right.
    EXPECT_EQ((std::vector<int>{sender.sendTo("first", 5, to), sender.sendTo(big.constData(), big.size(), to)}),
              (std::vector<int>{5, big.size()}));
    for (int i = 0; i < 50; ++i)
        sender.sendTo(QByteArray::number(i).constData(), QByteArray::number(i).size(), to);
    ASSERT_TRUE(QTest::qWaitFor([&] { return listener.got.size() >= 52; }, 5000));
    EXPECT_EQ(listener.got[0],
              std::make_tuple(QByteArray("first"), int(Datagram::FAMILY_IPV4), 0x7F000001u,
                              QHostAddress(QHostAddress::LocalHost), sender.localPort(), QThread::currentThread()));
    // Queued together, they are taken in batches: every one arrives, whole and in order.
    QList<QByteArray> payloads;
    for (const Received& r : listener.got)
        payloads.append(std::get<0>(r));
    QList<QByteArray> sent{"first", big};
    for (int i = 0; i < 50; ++i)
        sent.append(QByteArray::number(i));
    EXPECT_EQ(payloads, sent);

    if (LogCapture quiet; !KavexUdpSender().bind(0, QHostAddress::LocalHostIPv6))
        GTEST_SKIP() << "no IPv6 loopback";
    Listener v6(QHostAddress::LocalHostIPv6);
    // Bound to "any", one sender and one receiver serve both families.
    Listener dual(QHostAddress::Any);
    ASSERT_TRUE(v6.opened && dual.opened);
    KavexUdpSender both;
    ASSERT_TRUE(both.bind(0, QHostAddress::Any));
    // Multicast options apply to both families of the dual-stack socket.
    EXPECT_TRUE(both.setMulticastTtl(32) && both.setMulticastInterface(QHostAddress::AnyIPv4) &&
                both.setMulticastInterface(QHostAddress::LocalHostIPv6));
    EXPECT_EQ((std::vector<int>{both.sendTo("six", 3, v6.at(QHostAddress::LocalHostIPv6)),
                                both.sendTo("four", 4, dual.at(QHostAddress::LocalHost)),
                                both.sendTo("both", 4, dual.at(QHostAddress::LocalHostIPv6)),
                                sender.sendTo("x", 1, v6.at(QHostAddress::LocalHostIPv6))}),  // IPv4-bound: cannot
              (std::vector<int>{3, 4, 4, -1}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return v6.got.size() >= 1 && dual.got.size() >= 2; }, 5000));
    EXPECT_EQ(v6.got[0],
              std::make_tuple(QByteArray("six"), int(Datagram::FAMILY_IPV6), 0u,
                              QHostAddress(QHostAddress::LocalHostIPv6), both.localPort(), QThread::currentThread()));
    // The IPv4 sender arrives as IPv4, not as a mapped IPv6 address.
    EXPECT_EQ(std::make_tuple(std::get<1>(dual.got[0]), std::get<2>(dual.got[0]), std::get<1>(dual.got[1])),
              std::make_tuple(int(Datagram::FAMILY_IPV4), 0x7F000001u, int(Datagram::FAMILY_IPV6)));
}

TEST(KavexUdp, FailuresReturnFalseWithAWarning)
{
    const Listener first(QHostAddress::LocalHost);
    ASSERT_TRUE(first.opened);
    LogCapture log;
    KavexUdpReceiver second;
    quint16 taken = first.port;
    EXPECT_FALSE(second.createUnicast(taken, QHostAddress::LocalHost) || second.isOpen());
    EXPECT_TRUE(log.contains(QtWarningMsg, "KavexUdpReceiver::createUnicast: Cannot open UDP socket"));
    EXPECT_FALSE(second.createMulticast(0, QHostAddress("127.0.0.1"), QHostAddress::AnyIPv4));
    EXPECT_TRUE(log.contains(QtWarningMsg, "is not a multicast group"));
    EXPECT_FALSE(second.createMulticast(0, QHostAddress("239.1.2.3"), QHostAddress::LocalHostIPv6));
    EXPECT_TRUE(log.contains(QtWarningMsg, "does not match the family"));
}

TEST(KavexUdp, CallbackMayCloseItsReceiver)
{
    Listener listener(QHostAddress::LocalHost);
    ASSERT_TRUE(listener.opened);
    listener.receiver.registerCallback(
        [](void* context, const Datagram&) {
            static_cast<Listener*>(context)->got.append(Received());
            static_cast<Listener*>(context)->receiver.close();
        },
        &listener);
    KavexUdpSender sender;
    sender.sendTo("a", 1, listener.at(QHostAddress::LocalHost));
    sender.sendTo("b", 1, listener.at(QHostAddress::LocalHost));
    ASSERT_TRUE(QTest::qWaitFor([&] { return listener.got.size() >= 1; }, 5000));
    // The notifier, released inside its own signal, goes now; nothing follows.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    EXPECT_EQ(std::make_pair(listener.got.size(), listener.receiver.isOpen()), std::make_pair(1, false));
}
