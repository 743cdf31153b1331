#include "MessageFramer.h"

#include <QIODevice>
#include <QtEndian>

MessageFramer::MessageFramer() : m_message(4096) {}

void MessageFramer::reset()
{
    m_headerFill = 0;
    m_messageSize = 0;
    m_messageFill = 0;
}

MessageFramer::Result MessageFramer::read(QIODevice& device)
{
    const int headerSize = KavexTcpSocket::HEADER_SIZE;
    if (m_headerFill < headerSize) {
        const qint64 n = device.read(reinterpret_cast<char*>(m_header) + m_headerFill, headerSize - m_headerFill);
        if (n <= 0)
            return RESULT_NEED_MORE;
        m_headerFill += int(n);
        if (m_headerFill < headerSize)
            return RESULT_NEED_MORE;
        m_announcedSize = qFromBigEndian<quint32>(m_header);
        if (m_announcedSize > quint32(KavexTcpSocket::MAX_MESSAGE_SIZE))
            return RESULT_OVERSIZE;
        m_messageSize = int(m_announcedSize);
        m_messageFill = 0;
        m_message.getBuffer(m_messageSize);
    }
    if (m_messageFill < m_messageSize) {
        char* dst = reinterpret_cast<char*>(m_message.getBuffer()) + m_messageFill;
        const qint64 n = device.read(dst, m_messageSize - m_messageFill);
        if (n <= 0)
            return RESULT_NEED_MORE;
        m_messageFill += int(n);
        if (m_messageFill < m_messageSize)
            return RESULT_NEED_MORE;
    }
    // Complete: the next call starts on the next header.
    m_headerFill = 0;
    return RESULT_MESSAGE;
}
