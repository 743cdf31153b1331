#include "RTCPPacket.h"

#include <QtEndian>
#include <cstring>

namespace {

void putHeader(unsigned char* p, int count, int type, int sizeBytes)
{
    const int words = sizeBytes / 4 - 1;
    p[0] = (RTCPPacket::VERSION << 6) | (count & 0x1f);
    p[1] = quint8(type);
    p[2] = quint8(words >> 8);
    p[3] = quint8(words);
}

// The smallest body a packet of this type needs for the count in its header.
int minimumLength(int type, int count)
{
    switch (type) {
    case RTCP_TYPE_SR:
        return RTCPPacket::SENDER_REPORT_SIZE + RTCPPacket::REPORT_BLOCK_SIZE * count;
    case RTCP_TYPE_RR:
        return 8 + RTCPPacket::REPORT_BLOCK_SIZE * count;
    case RTCP_TYPE_SDES:
        // A chunk is at least its SSRC and one terminating, padded null item.
        return RTCPPacket::HEADER_SIZE + 8 * count;
    case RTCP_TYPE_BYE:
        return RTCPPacket::HEADER_SIZE + 4 * count;
    case RTCP_TYPE_APP:
        return 12;
    default:
        return RTCPPacket::HEADER_SIZE;
    }
}

}  // namespace

RTCPPacket::RTCPPacket(const unsigned char* data, int size) : m_data(data), m_size(data ? qMax(size, 0) : 0)
{
    parse();
}

RTCPPacket::RTCPPacket(const SharedPoolBuffer& buffer)
    : m_data(buffer.getBuffer())
    , m_size(buffer.getBuffer() ? buffer.getBufferSize() : 0)
    , m_keepAlive(buffer)
{
    parse();
}

// Walks the compound packet by its length fields; every field is checked
// against the bytes left before anything behind it is read.
void RTCPPacket::parse()
{
    m_valid = false;
    m_packetCount = 0;
    int offset = 0;
    int count = 0;
    while (offset < m_size) {
        const int left = m_size - offset;
        if (left < HEADER_SIZE)
            return;
        const unsigned char* p = m_data + offset;
        if ((p[0] >> 6) != VERSION)
            return;
        const int length = 4 * (((p[2] << 8) | p[3]) + 1);
        if (length > left)
            return;
        int padding = 0;
        if (p[0] & 0x20) {
            if (length != left)
                return;  // only the last packet of a compound packet may be padded
            padding = p[length - 1];
            if (padding == 0 || padding > length - HEADER_SIZE)
                return;
        }
        if (length - padding < minimumLength(p[1], p[0] & 0x1f))
            return;
        offset += length;
        ++count;
    }
    if (count == 0)
        return;
    m_valid = true;
    m_packetCount = count;
}

quint32 RTCPPacket::read32(int offset) const
{
    if (offset < 0 || offset + 4 > m_size)
        return 0;
    return qFromBigEndian<quint32>(m_data + offset);
}

bool RTCPPacket::isSenderReport() const
{
    return getType() == RTCP_TYPE_SR && m_size >= SENDER_REPORT_SIZE;
}

rtcp_type_t RTCPPacket::getType() const
{
    return rtcp_type_t(m_size >= 2 ? m_data[1] : 0);
}

int RTCPPacket::getCount() const
{
    return m_size > 0 ? m_data[0] & 0x1f : 0;
}

int RTCPPacket::getLength() const
{
    return m_size >= HEADER_SIZE ? 4 * (((m_data[2] << 8) | m_data[3]) + 1) : 0;
}

quint32 RTCPPacket::getSSRC() const
{
    return read32(4);
}

NTPTimestamp RTCPPacket::getNtpTimestamp() const
{
    if (!isSenderReport())
        return NTPTimestamp();
    return NTPTimestamp(qFromBigEndian<quint64>(m_data + 8));
}

quint32 RTCPPacket::getRtpTimestamp() const
{
    return isSenderReport() ? read32(16) : 0;
}

quint32 RTCPPacket::getSenderPacketCount() const
{
    return isSenderReport() ? read32(20) : 0;
}

quint32 RTCPPacket::getSenderOctetCount() const
{
    return isSenderReport() ? read32(24) : 0;
}

int RTCPPacket::writeSenderReport(VariableBuffer& buffer, quint32 ssrc, const NTPTimestamp& ntp, quint32 rtpTimestamp,
                                  quint32 packetCount, quint32 octetCount)
{
    unsigned char* p = buffer.getBuffer(SENDER_REPORT_SIZE);
    putHeader(p, 0, RTCP_TYPE_SR, SENDER_REPORT_SIZE);
    qToBigEndian<quint32>(ssrc, p + 4);
    qToBigEndian<quint64>(ntp.getRaw(), p + 8);
    qToBigEndian<quint32>(rtpTimestamp, p + 16);
    qToBigEndian<quint32>(packetCount, p + 20);
    qToBigEndian<quint32>(octetCount, p + 24);
    return SENDER_REPORT_SIZE;
}

int RTCPPacket::appendSourceDescription(VariableBuffer& buffer, quint32 ssrc, const QByteArray& cname)
{
    const int textSize = qMin(cname.size(), 255);
    // Header, SSRC, CNAME item (type, length, text), then at least one null
    // byte ending the item list, padded to a 32-bit boundary.
    const int length = (HEADER_SIZE + 4 + 2 + textSize + 1 + 3) & ~3;
    const int start = buffer.getSize();
    unsigned char* p = buffer.getBuffer(start + length) + start;
    memset(p, 0, size_t(length));
    putHeader(p, 1, RTCP_TYPE_SDES, length);
    qToBigEndian<quint32>(ssrc, p + 4);
    p[8] = 1;  // CNAME
    p[9] = quint8(textSize);
    memcpy(p + 10, cname.constData(), size_t(textSize));
    return start + length;
}

int RTCPPacket::appendBye(VariableBuffer& buffer, quint32 ssrc)
{
    const int start = buffer.getSize();
    unsigned char* p = buffer.getBuffer(start + 8) + start;
    putHeader(p, 1, RTCP_TYPE_BYE, 8);
    qToBigEndian<quint32>(ssrc, p + 4);
    return start + 8;
}
