#pragma once

// Framing of the message-oriented TCP sockets (BufferSocketBase): every
// message is a 32-bit big-endian byte count followed by that many bytes.
class KavexTcpSocket
{
public:
    static constexpr int HEADER_SIZE = 4;
    // A larger count is taken as a corrupt stream, not as a message.
    static constexpr int MAX_MESSAGE_SIZE = 1024 * 1024;

    // Last argument of the signal that delivers a received message. The
    // message's bytes live in the socket's receive buffer only while the
    // signal is being emitted, so the signal must reach its slots directly.
    // The type is deliberately not registered with the meta-type system: a
    // queued connection to the signal cannot marshal it, and Qt refuses the
    // connection (or the delivery) with "Cannot queue arguments of type
    // 'KavexTcpSocket::QueuedConnNotAllowed'" instead of passing a dangling
    // pointer to another thread.
    struct QueuedConnNotAllowed {
    };
};
