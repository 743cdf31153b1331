#pragma once

#include "KavexTcpSocket.h"
#include "SharedPoolBuffer.h"

#include <QObject>
#include <QString>

class RtpReceiver;

// Lives in an RtpReceiver's own thread and forwards to the receiver, so that
// signals from other threads and from the receiver's TCP socket are handled
// on that thread (the receiver object itself belongs to the thread that made it).
class RtpReceiverSlotProxy : public QObject
{
    Q_OBJECT
public:
    explicit RtpReceiverSlotProxy(RtpReceiver* receiver);

public slots:
    void slotSetUpstreamAddress(QString peerAddress, quint16 portRTP, quint16 portRTCP);
    void slotUpStreamRtpData(SharedPoolBuffer spb);
    void onRtpRtcpDataConnected();
    void onIncomingRtpRtcpData(const char* pData, int size, KavexTcpSocket::QueuedConnNotAllowed);

private:
    RtpReceiver* m_receiver;
};
