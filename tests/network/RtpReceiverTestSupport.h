#pragma once

#include "AudioFrameDefs.h"
#include "RtpChannel.h"
#include "RtpReceiver.h"
#include "RtpTestPackets.h"

#include <QDataStream>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

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
    bool waitForChannels(int count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return m_new.count() >= count; }, timeoutMs);
    }
    RtpChannel* channel(int index) const
    {
        return dynamic_cast<RtpChannel*>(qvariant_cast<Channel*>(m_new.at(index).at(0)));
    }

private:
    RtpReceiver* m_receiver;
    QSignalSpy m_new;
    QObject m_context;
};

class UdpSender
{
public:
    explicit UdpSender(const QHostAddress& from = QHostAddress(QHostAddress::LocalHost)) { m_socket.bind(from, 0); }
    void send(const QByteArray& datagram, quint16 port, const QHostAddress& to = QHostAddress(QHostAddress::LocalHost))
    {
        m_socket.writeDatagram(datagram, to, port);
    }

private:
    QUdpSocket m_socket;
};

inline RtpReceiver* unicastReceiver(quint16& rtpPort, quint16& rtcpPort, Clock& clock = Clock::system())
{
    return new RtpReceiver(rtpPort, rtcpPort, RtpTestPackets::pcmaSdp(), nullptr, QHostAddress(), 1.0, {}, clock);
}

// What the mixer thread does first with a new channel.
inline void applySdp(RtpChannel* channel)
{
    unsigned char frame[AudioFrameDefs::BYTES_IN_FRAME];
    channel->getData(NTPRange(NTPTimestamp::now(), NTPTimestamp::now() + AudioFrameDefs::frameDuration()), frame);
}

// The relay server's end of the TCP connection, framed by hand to check the wire format.
class Relay
{
public:
    Relay()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_context, [this] {
            m_socket = m_server.nextPendingConnection();
            m_buffer.clear();
            ++m_connections;
            QObject::connect(m_socket, &QTcpSocket::readyRead, &m_context, [this] {
                m_buffer += m_socket->readAll();
                while (m_buffer.size() >= 4) {
                    const quint32 size = qFromBigEndian<quint32>(m_buffer.constData());
                    if (quint32(m_buffer.size()) < 4 + size)
                        break;
                    m_messages.append(m_buffer.mid(4, int(size)));
                    m_buffer.remove(0, int(4 + size));
                }
            });
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    int connections() const { return m_connections; }
    QTcpSocket* socket() const { return m_socket; }
    QList<QByteArray>& messages() { return m_messages; }
    bool waitForMessages(int count) { return QTest::qWaitFor([&] { return m_messages.size() >= count; }, 5000); }

    void sendMessage(const QByteArray& message)
    {
        QByteArray header(4, 0);
        qToBigEndian<quint32>(quint32(message.size()), header.data());
        m_socket->write(header + message);
    }
    // A relayed packet: the RTCP flag, then the packet with its length.
    void relay(bool isRtcp, const QByteArray& packet)
    {
        QByteArray message;
        QDataStream out(&message, QIODevice::WriteOnly);
        out << isRtcp;
        out.writeBytes(packet.constData(), uint(packet.size()));
        sendMessage(message);
    }

private:
    QTcpServer m_server;
    QTcpSocket* m_socket = nullptr;  // the server's child
    QObject m_context;
    QByteArray m_buffer;
    QList<QByteArray> m_messages;
    int m_connections = 0;
};

}  // namespace RtpReceiverTestSupport
