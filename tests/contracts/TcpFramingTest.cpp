#include "BufferSocketQueued.h"
#include "LogCapture.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

namespace {

QByteArray lengthPrefixed(const QList<QByteArray>& messages)
{
    QByteArray out;
    for (const QByteArray& m : messages)
        out += QByteArray::fromHex(QByteArray::number(m.size(), 16).rightJustified(8, '0')) + m;
    return out;
}

// Collects a socket's messages; each is stored before the count rises, so reading up to a waited-for count is safe.
struct Inbox {
    QList<QByteArray> messages;
    QList<QThread*> threads;
    std::atomic<int> received{0};

    void attach(BufferSocketBase* socket)
    {
        QObject::connect(
            socket, &BufferSocketBase::incomingBuffer, socket,
            [this](const char* data, int size, KavexTcpSocket::QueuedConnNotAllowed) {
                messages.append(QByteArray(data, size));
                threads.append(QThread::currentThread());
                ++received;
            },
            Qt::DirectConnection);
    }
};

// A client BufferSocketQueued connected to a raw socket accepted by a local server.
class TcpFraming : public ::testing::Test
{
protected:
    void connectClient(bool ownThread)
    {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        client.reset(new BufferSocketQueued(ownThread));
        inbox.attach(client.get());
        QObject::connect(
            client.get(), &BufferSocketBase::connected, client.get(), [this] { ++connectedCount; },
            Qt::DirectConnection);
        client->connectToHost(QHostAddress::LocalHost, server.serverPort());
        ASSERT_TRUE(QTest::qWaitFor([&] { return (peer = server.nextPendingConnection()) != nullptr; }, 10000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return connectedCount.load() == 1; }, 10000) && client->isConnected());
    }

    QTcpServer server;
    QTcpSocket* peer = nullptr;
    std::unique_ptr<BufferSocketQueued> client;
    Inbox inbox;
    std::atomic<int> connectedCount{0};
};

}  // namespace

TEST_F(TcpFraming, SplitAndMergedReadsDeliverEveryMessageInOrderUpToTheSizeLimit)
{
    connectClient(false);
    // The message pointer is only valid during the signal: a queued connection gets nothing, with a warning.
    int queuedCalls = 0;
    LogCapture log;
    QObject::connect(
        client.get(), &BufferSocketBase::incomingBuffer, client.get(),
        [&](const char*, int, KavexTcpSocket::QueuedConnNotAllowed) { ++queuedCalls; }, Qt::QueuedConnection);

    // Byte by byte, then 201 messages in one write, the last one the largest allowed.
    QList<QByteArray> sent = {QByteArray(), QByteArray("x"), QByteArray(1000, 'm'), QByteArray("end")};
    for (const char byte : lengthPrefixed(sent)) {
        peer->write(QByteArray(1, byte));
        peer->flush();
        QCoreApplication::processEvents();
    }
    for (int i = 0; i < 200; ++i)
        sent.append(QByteArray(i % 37, char('a' + i % 26)));
    sent.append(QByteArray(KavexTcpSocket::MAX_MESSAGE_SIZE, 'L'));
    peer->write(lengthPrefixed(sent.mid(4)));
    peer->flush();
    ASSERT_TRUE(QTest::qWaitFor([&] { return inbox.received >= sent.size(); }, 10000));
    EXPECT_EQ(std::make_tuple(inbox.messages, client->peerAddress(), client->peerPort()),
              std::make_tuple(sent, QHostAddress(QHostAddress::LocalHost), server.serverPort()));
    QCoreApplication::processEvents();
    EXPECT_EQ(queuedCalls, 0);
    EXPECT_TRUE(log.contains(QtWarningMsg, "Cannot queue arguments of type 'KavexTcpSocket::QueuedConnNotAllowed'"));

    // A length over the limit closes the connection after the messages before it.
    QSignalSpy disconnected(client.get(), &BufferSocketBase::disconnected);
    peer->write(lengthPrefixed({"ok"}) + QByteArray::fromHex("00100001") + QByteArray(64, 'z'));
    peer->flush();
    ASSERT_TRUE(disconnected.wait(10000));
    EXPECT_EQ(std::make_pair(inbox.messages, client->isConnected()),
              std::make_pair(sent + QList<QByteArray>{"ok"}, false));
    EXPECT_TRUE(log.contains(QtWarningMsg, "exceeds the limit of 1048576 bytes, closing the connection"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return peer->state() == QAbstractSocket::UnconnectedState; }, 10000));
}

// The client runs on a thread of its own: it delivers there and takes calls from other threads.
TEST_F(TcpFraming, SentMessagesAreFramedAndAdoptedSocketsReadThem)
{
    connectClient(true);
    BufferSocketQueued serverSide(false);
    Inbox serverInbox;
    serverInbox.attach(&serverSide);
    ASSERT_TRUE(serverSide.adoptSocket(peer) && serverSide.isConnected());

    const QByteArray tooBig(KavexTcpSocket::MAX_MESSAGE_SIZE + 1, 0);
    // Sent in this order: a braced list evaluates left to right.
    const std::vector<bool> accepted{
        client->sendBuffer("abc", 3), client->sendBuffer(SharedPoolBuffer::fromData("\x00\x01", 2)),
        client->sendBuffer(nullptr, 0), client->sendBuffer(tooBig.constData(), tooBig.size())};
    EXPECT_EQ(accepted, (std::vector<bool>{true, true, true, false}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return serverInbox.received >= 3; }, 10000));
    EXPECT_EQ(serverInbox.messages, (QList<QByteArray>{"abc", QByteArray("\x00\x01", 2), QByteArray()}));

    ASSERT_TRUE(serverSide.sendBuffer("reply", 5) && QTest::qWaitFor([&] { return inbox.received >= 1; }, 10000));
    EXPECT_EQ(std::make_pair(inbox.messages.first(), inbox.threads.first() != QThread::currentThread()),
              std::make_pair(QByteArray("reply"), true));

    // On its own thread a socket refuses to send once the connection is gone.
    QSignalSpy serverGone(&serverSide, &BufferSocketBase::disconnected);
    client->close();
    ASSERT_TRUE(serverGone.wait(10000));
    EXPECT_FALSE(serverSide.sendBuffer("late", 4));
}
