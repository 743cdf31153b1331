#include "RTPPacket.h"

#include "KavexAssert.h"

#include <QtEndian>
#include <cstring>

RTPPacket::RTPPacket(const unsigned char* data, int size) : m_data(data), m_size(data ? qMax(size, 0) : 0)
{
    parse();
}

RTPPacket::RTPPacket(const SharedPoolBuffer& buffer)
    : m_data(buffer.getBuffer())
    , m_size(buffer.getBuffer() ? buffer.getBufferSize() : 0)
    , m_keepAlive(buffer)
{
    parse();
}

RTPPacket::RTPPacket(VariableBuffer& buffer, quint32 ssrc, quint16 seq, quint32 timestamp, int payloadType,
                     const unsigned char* payload, int payloadSize, bool marker)
{
    KAVEX_ASSERT(payloadType >= 0 && payloadType <= 127);
    KAVEX_ASSERT(payloadSize >= 0);
    payloadSize = qMax(payloadSize, 0);
    unsigned char* p = buffer.getBuffer(FIXED_HEADER_SIZE + payloadSize);
    p[0] = VERSION << 6;
    p[1] = (marker ? 0x80 : 0) | (payloadType & 0x7f);
    qToBigEndian<quint16>(seq, p + 2);
    qToBigEndian<quint32>(timestamp, p + 4);
    qToBigEndian<quint32>(ssrc, p + 8);
    if (payload && payloadSize > 0)
        memcpy(p + FIXED_HEADER_SIZE, payload, size_t(payloadSize));
    m_data = p;
    m_writable = p;
    m_size = FIXED_HEADER_SIZE + payloadSize;
    parse();
}

// Works out where payload, extension and padding lie, checking every length
// field against the buffer before it is used, so that no later access can
// leave the packet's bytes whatever they contain.
void RTPPacket::parse()
{
    m_valid = false;
    m_payloadOffset = m_payloadSize = m_paddingSize = 0;
    m_extensionOffset = m_extensionSize = 0;
    if (m_size < FIXED_HEADER_SIZE || getVersion() != VERSION)
        return;

    int offset = FIXED_HEADER_SIZE + 4 * (m_data[0] & 0x0f);
    if (offset > m_size)
        return;
    if (hasExtension()) {
        if (m_size - offset < 4)
            return;
        const int extensionSize = 4 * ((m_data[offset + 2] << 8) | m_data[offset + 3]);
        if (extensionSize > m_size - offset - 4)
            return;
        m_extensionOffset = offset + 4;
        m_extensionSize = extensionSize;
        offset += 4 + extensionSize;
    }
    int padding = 0;
    if (hasPadding()) {
        // The count includes its own byte, so 0 is as malformed as a count
        // reaching into the header.
        if (offset == m_size)
            return;
        padding = m_data[m_size - 1];
        if (padding == 0 || padding > m_size - offset)
            return;
    }
    m_payloadOffset = offset;
    m_payloadSize = m_size - offset - padding;
    m_paddingSize = padding;
    m_valid = true;
}

quint32 RTPPacket::read32(int offset) const
{
    if (offset < 0 || offset + 4 > m_size)
        return 0;
    return qFromBigEndian<quint32>(m_data + offset);
}

int RTPPacket::getVersion() const
{
    return m_size > 0 ? m_data[0] >> 6 : 0;
}

bool RTPPacket::hasPadding() const
{
    return m_size > 0 && (m_data[0] & 0x20);
}

bool RTPPacket::hasExtension() const
{
    return m_size > 0 && (m_data[0] & 0x10);
}

bool RTPPacket::getMarker() const
{
    return m_size > 1 && (m_data[1] & 0x80);
}

rtp_payload_t RTPPacket::getPayloadType() const
{
    return rtp_payload_t(m_size > 1 ? m_data[1] & 0x7f : 0);
}

quint16 RTPPacket::getSeqNum() const
{
    return m_size >= 4 ? quint16((m_data[2] << 8) | m_data[3]) : 0;
}

quint32 RTPPacket::getRawTimestamp() const
{
    return read32(4);
}

quint32 RTPPacket::getSSRC() const
{
    return read32(8);
}

int RTPPacket::getCsrcCount() const
{
    return m_valid ? m_data[0] & 0x0f : 0;
}

quint32 RTPPacket::getCsrc(int index) const
{
    if (index < 0 || index >= getCsrcCount())
        return 0;
    return read32(FIXED_HEADER_SIZE + 4 * index);
}

quint16 RTPPacket::getExtensionProfile() const
{
    if (!m_valid || !hasExtension())
        return 0;
    const unsigned char* p = m_data + m_extensionOffset - 4;
    return quint16((p[0] << 8) | p[1]);
}

const unsigned char* RTPPacket::getExtensionData() const
{
    return m_valid && hasExtension() ? m_data + m_extensionOffset : nullptr;
}

int RTPPacket::getExtensionSize() const
{
    return m_valid ? m_extensionSize : 0;
}

const unsigned char* RTPPacket::getPayload() const
{
    return m_valid ? m_data + m_payloadOffset : nullptr;
}

int RTPPacket::getPayloadSize() const
{
    return m_payloadSize;
}

unsigned char* RTPPacket::getWritablePayload() const
{
    return m_writable && m_valid ? m_writable + m_payloadOffset : nullptr;
}
