#include "BufferSocketQueued.h"
#include "KavexMutex.h"
#include "LogCapture.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QtEndian>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

namespace {

QByteArray frame(const QByteArray& message)
{
    char header[4];
    qToBigEndian<quint32>(quint32(message.size()), header);
    return QByteArray(header, 4) + message;
}

// Collects the messages of a socket; thread-safe, for sockets on their own thread.
struct Inbox {
    mutable KavexMutex lock;
    QList<QByteArray> messages;
    QList<QThread*> threads;

    void attach(BufferSocketBase* socket)
    {
        QObject::connect(
            socket, &BufferSocketBase::incomingBuffer, socket,
            [this](const char* data, int size, KavexTcpSocket::QueuedConnNotAllowed) {
                KavexLocker<KavexMutex> l(&lock);
                messages.append(QByteArray(data, size));
                threads.append(QThread::currentThread());
            },
            Qt::DirectConnection);
    }
    bool waitFor(int n) const
    {
        return QTest::qWaitFor(
            [&] {
                KavexLocker<KavexMutex> l(&lock);
                return messages.size() >= n;
            },
            10000);
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
        ASSERT_TRUE(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 10000));
        peer = server.nextPendingConnection();
        ASSERT_TRUE(QTest::qWaitFor([&] { return connectedCount.load() == 1; }, 10000));
        EXPECT_TRUE(client->isConnected());
    }
    void writeRaw(const QByteArray& bytes)
    {
        peer->write(bytes);
        peer->flush();
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
    // The message pointer is only valid during the signal: a queued
    // connection gets nothing, with a warning.
    QObject receiver;
    int queuedCalls = 0;
    LogCapture log;
    QObject::connect(
        client.get(), &BufferSocketBase::incomingBuffer, &receiver,
        [&](const char*, int, KavexTcpSocket::QueuedConnNotAllowed) { ++queuedCalls; }, Qt::QueuedConnection);

    // First byte by byte, then many messages in one write, ending with the
    // largest message allowed split across the tail of the write.
    QList<QByteArray> sent = {QByteArray(), QByteArray("x"), QByteArray(1000, 'm'), QByteArray("end")};
    for (const QByteArray& m : sent) {
        for (char byte : frame(m)) {
            writeRaw(QByteArray(1, byte));
            QCoreApplication::processEvents();
        }
    }
    QByteArray stream;
    for (int i = 0; i < 200; ++i) {
        sent.append(QByteArray(i % 37, char('a' + i % 26)));
        stream += frame(sent.last());
    }
    sent.append(QByteArray(KavexTcpSocket::MAX_MESSAGE_SIZE, 'L'));
    writeRaw(stream + frame(sent.last()));
    ASSERT_TRUE(inbox.waitFor(sent.size()));
    EXPECT_EQ(inbox.messages, sent);
    EXPECT_EQ(client->peerAddress(), QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(client->peerPort(), server.serverPort());
    QCoreApplication::processEvents();
    EXPECT_EQ(queuedCalls, 0);
    EXPECT_TRUE(log.contains(QtWarningMsg, "Cannot queue arguments of type 'KavexTcpSocket::QueuedConnNotAllowed'"));

    // A length over the limit closes the connection after the messages before it.
    QSignalSpy disconnected(client.get(), &BufferSocketBase::disconnected);
    writeRaw(frame("ok") + QByteArray::fromHex("00100001") + QByteArray(64, 'z'));
    ASSERT_TRUE(disconnected.wait(10000));
    EXPECT_EQ(inbox.messages.last(), QByteArray("ok"));
    EXPECT_EQ(inbox.messages.size(), sent.size() + 1);
    EXPECT_FALSE(client->isConnected());
    EXPECT_TRUE(log.contains(QtWarningMsg, "exceeds the limit of 1048576 bytes, closing the connection"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return peer->state() == QAbstractSocket::UnconnectedState; }, 10000));
}

// The client runs on a thread of its own: it delivers there and takes calls
// from other threads.
TEST_F(TcpFraming, SentMessagesAreFramedAndAdoptedSocketsReadThem)
{
    connectClient(true);
    BufferSocketQueued serverSide(false);
    Inbox serverInbox;
    serverInbox.attach(&serverSide);
    ASSERT_TRUE(serverSide.adoptSocket(peer));
    EXPECT_TRUE(serverSide.isConnected());

    EXPECT_TRUE(client->sendBuffer("abc", 3));
    EXPECT_TRUE(client->sendBuffer(SharedPoolBuffer::fromData("\x00\x01", 2)));
    EXPECT_TRUE(client->sendBuffer(nullptr, 0));
    LogCapture log;
    EXPECT_FALSE(client->sendBuffer(QByteArray(KavexTcpSocket::MAX_MESSAGE_SIZE + 1, 0).constData(),
                                    KavexTcpSocket::MAX_MESSAGE_SIZE + 1));
    ASSERT_TRUE(serverInbox.waitFor(3));
    EXPECT_EQ(serverInbox.messages, (QList<QByteArray>{"abc", QByteArray("\x00\x01", 2), QByteArray()}));

    EXPECT_TRUE(serverSide.sendBuffer("reply", 5));
    ASSERT_TRUE(inbox.waitFor(1));
    EXPECT_EQ(inbox.messages.first(), QByteArray("reply"));
    EXPECT_NE(inbox.threads.first(), QThread::currentThread());

    // On its own thread a socket refuses to send once the connection is gone.
    QSignalSpy serverGone(&serverSide, &BufferSocketBase::disconnected);
    client->close();
    ASSERT_TRUE(serverGone.wait(10000));
    EXPECT_FALSE(serverSide.sendBuffer("late", 4));
}
