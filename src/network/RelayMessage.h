#pragma once

class VariableBuffer;

// The message a relay server sends for each RTP or RTCP packet over the TCP
// connection: a QDataStream holding a bool (true for RTCP) and the packet as
// a byte array with a 32-bit count. Pure function, any thread.
class RelayMessage
{
public:
    // False when the bytes do not hold a whole message; `packet` is then
    // unspecified.
    static bool read(const char* data, int size, bool* isRtcp, VariableBuffer* packet);
};
