#pragma once

#include "RtpChannel.h"
#include "RtpReceiver.h"
#include "RtpTestPackets.h"

#include <QDataStream>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

// A receiver with the test in the mixer's part, a UDP sender and a relay server.
namespace RtpReceiverTestSupport {

class Source
{
public:
    explicit Source(RtpReceiver* receiver) : m_receiver(receiver), m_new(receiver, &RtpReceiver::newChannel)
    {
        QObject::connect(receiver, &RtpReceiver::removeChannel, &m_context, [](Channel* c) { c->deleteThis(); });
    }
    ~Source()
    {
        QList<RtpChannel*> left;
        m_receiver->takeChannels(left);
        delete m_receiver;
        for (RtpChannel* c : left)
            c->deleteThis();
    }
    RtpReceiver* operator->() const { return m_receiver; }
    RtpReceiver* get() const { return m_receiver; }
    bool waitForChannels(int n, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return m_new.count() >= n; }, ms);
    }
    // Sends datagrams in batches, each once the receiver has taken the ones before (a burst would
    // overflow the socket's buffer on a busy machine); false when the receiver did not take them all.
    bool sendPaced(QUdpSocket& from, const QList<QByteArray>& datagrams, quint16 port)
    {
        const quint64 base = m_receiver->receivedPackets();
        for (int i = 0; i < datagrams.size(); ++i) {
            from.writeDatagram(datagrams.at(i), QHostAddress::LocalHost, port);
            if ((i % 32 == 31 || i + 1 == datagrams.size()) &&
                !QTest::qWaitFor([&] { return m_receiver->receivedPackets() >= base + quint64(i) + 1; }, 5000))
                return false;
        }
        return true;
    }
    RtpChannel* channel(int i) const { return dynamic_cast<RtpChannel*>(m_new.at(i).at(0).value<Channel*>()); }

private:
    RtpReceiver* m_receiver;
    QSignalSpy m_new;
    QObject m_context;
};

struct UdpSender : QUdpSocket {
    explicit UdpSender(const QHostAddress& from = QHostAddress::LocalHost) { bind(from, 0); }
    void send(const QByteArray& datagram, quint16 port) { writeDatagram(datagram, QHostAddress::LocalHost, port); }
};

inline RtpReceiver* unicastReceiver(quint16& rtpPort, quint16& rtcpPort, Clock& clock = Clock::system())
{
    return new RtpReceiver(rtpPort, rtcpPort, RtpTestPackets::pcmaSdp(), nullptr, QHostAddress(), 1.0, {}, clock);
}

// The relay server's end of the TCP connection; a message is framed as QDataStream frames a byte array.
class Relay
{
public:
    Relay()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_context, [this] {
            m_socket = m_server.nextPendingConnection();
            QObject::connect(m_socket, &QTcpSocket::readyRead, &m_context, [this, socket = m_socket] {
                QDataStream in(socket);
                for (QByteArray message;; m_messages.append(message)) {
                    in.startTransaction();
                    in >> message;
                    if (!in.commitTransaction())
                        return;
                }
            });
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QTcpSocket* socket() const { return m_socket; }
    QList<QByteArray>& messages() { return m_messages; }
    bool waitForMessages(int count)
    {
        return QTest::qWaitFor([&] { return m_messages.size() >= count; }, 5000);
    }
    void sendMessage(const QByteArray& m) { QDataStream(m_socket).writeBytes(m.constData(), uint(m.size())); }
    // A relayed packet: the RTCP flag, then the packet as a message of its own.
    void relay(bool isRtcp, const QByteArray& packet)
    {
        QByteArray message;
        QDataStream(&message, QIODevice::WriteOnly) << isRtcp << packet;
        sendMessage(message);
    }

private:
    QTcpServer m_server;
    QTcpSocket* m_socket = nullptr;  // the server's child
    QObject m_context;
    QList<QByteArray> m_messages;
};

}  // namespace RtpReceiverTestSupport
