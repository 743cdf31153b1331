#include "RtpReceiverSlotProxy.h"

#include "RtpReceiver.h"

RtpReceiverSlotProxy::RtpReceiverSlotProxy(RtpReceiver* receiver) : m_receiver(receiver) {}

void RtpReceiverSlotProxy::slotSetUpstreamAddress(QString peerAddress, quint16 portRTP, quint16 portRTCP)
{
    m_receiver->slotSetUpstreamAddress(peerAddress, portRTP, portRTCP);
}

void RtpReceiverSlotProxy::slotUpStreamRtpData(SharedPoolBuffer spb)
{
    m_receiver->slotUpStreamRtpData(spb);
}

void RtpReceiverSlotProxy::onRtpRtcpDataConnected()
{
    m_receiver->onRtpRtcpDataConnected();
}

void RtpReceiverSlotProxy::onIncomingRtpRtcpData(const char* pData, int size, KavexTcpSocket::QueuedConnNotAllowed)
{
    m_receiver->onIncomingRtpRtcpData(pData, size);
}
