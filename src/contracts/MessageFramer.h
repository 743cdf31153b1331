#pragma once

#include "KavexTcpSocket.h"
#include "VariableBuffer.h"

class QIODevice;

// Cuts a byte stream into the messages of KavexTcpSocket's framing, however
// the bytes arrive: a header or message split over several reads waits for
// its rest. Reads only what the current header or message still lacks, so
// the bytes of the next message stay in the device. Used by one thread at a
// time (the one that reads the connection).
class MessageFramer
{
public:
    enum Result {
        RESULT_NEED_MORE,  // the device has no more bytes for now
        RESULT_MESSAGE,    // message() holds one whole message
        RESULT_OVERSIZE    // the header announced more than MAX_MESSAGE_SIZE bytes
    };

    MessageFramer();

    // Reads on from `device`. After RESULT_MESSAGE the message stays valid
    // until the next call and the framer waits for the next header. After
    // RESULT_OVERSIZE the stream is corrupt: reset() before reading again.
    Result read(QIODevice& device);
    void reset();

    const char* message() const { return reinterpret_cast<const char*>(m_message.getBuffer()); }
    int messageSize() const { return m_messageSize; }
    // The byte count of the last header read (the refused one after RESULT_OVERSIZE).
    quint32 announcedSize() const { return m_announcedSize; }

private:
    unsigned char m_header[KavexTcpSocket::HEADER_SIZE] = {};
    int m_headerFill = 0;
    quint32 m_announcedSize = 0;
    VariableBuffer m_message;
    int m_messageSize = 0;
    int m_messageFill = 0;
};
