#pragma once

#include "NTPTimestamp.h"
#include "OstKavexMixerGlobal.h"
#include "SharedPoolBuffer.h"
#include "VariableBuffer.h"

#include <QByteArray>

// RTCP packet types (RFC 3550, 12.1).
enum rtcp_type_t {
    RTCP_TYPE_SR = 200,
    RTCP_TYPE_RR = 201,
    RTCP_TYPE_SDES = 202,
    RTCP_TYPE_BYE = 203,
    RTCP_TYPE_APP = 204
};

// An RTCP packet (RFC 3550), possibly compound, seen through its bytes. Like
// RTPPacket it is a view that neither copies nor owns the bytes (a packet over
// a SharedPoolBuffer holds a reference). The structure is checked once at
// construction; the getters read the first packet of a compound packet and
// are safe on any input, returning 0 or a null time stamp where the first
// packet has no such field.
class OSTKAVEXMIXER_EXPORT RTCPPacket
{
public:
    static constexpr int HEADER_SIZE = 4;
    static constexpr int SENDER_REPORT_SIZE = 28;
    static constexpr int REPORT_BLOCK_SIZE = 24;
    static constexpr int VERSION = 2;

    RTCPPacket() = default;
    RTCPPacket(const unsigned char* data, int size);
    explicit RTCPPacket(const SharedPoolBuffer& buffer);

    // True when the bytes are a sequence of version-2 RTCP packets whose
    // length fields tile the buffer exactly, padding appears only in the last
    // one, and sender reports, receiver reports, BYE and APP packets are long
    // enough for the counts in their headers. Which type comes first is not
    // checked: the reader decides what to make of a compound packet that does
    // not start with a report.
    bool isHeaderValid() const { return m_valid; }
    // Packets in a valid compound packet; 0 when it is not valid.
    int getPacketCount() const { return m_packetCount; }

    rtcp_type_t getType() const;
    // The 5-bit count field: report blocks (SR, RR), chunks (SDES), sources (BYE), subtype (APP).
    int getCount() const;
    // The first packet's length in bytes, from its length field.
    int getLength() const;
    // The sender SSRC of SR, RR and APP, the first chunk's SSRC of SDES and
    // the first source of BYE.
    quint32 getSSRC() const;

    // Sender info of a sender report.
    NTPTimestamp getNtpTimestamp() const;
    quint32 getRtpTimestamp() const;
    quint32 getSenderPacketCount() const;
    quint32 getSenderOctetCount() const;

    const unsigned char* getRawPacket() const { return m_data; }
    int getRawPacketSize() const { return m_size; }

    // Replace the buffer's content with a sender report without report
    // blocks; returns the bytes written.
    static int writeSenderReport(VariableBuffer& buffer, quint32 ssrc, const NTPTimestamp& ntp, quint32 rtpTimestamp,
                                 quint32 packetCount, quint32 octetCount);
    // Append an SDES packet with one chunk holding the CNAME item (at most 255
    // bytes are used), or a BYE for one source, to the packet(s) already in
    // the buffer; return the new size of the compound packet.
    static int appendSourceDescription(VariableBuffer& buffer, quint32 ssrc, const QByteArray& cname);
    static int appendBye(VariableBuffer& buffer, quint32 ssrc);

private:
    void parse();
    quint32 read32(int offset) const;
    bool isSenderReport() const;

    const unsigned char* m_data = nullptr;
    int m_size = 0;
    SharedPoolBuffer m_keepAlive;
    bool m_valid = false;
    int m_packetCount = 0;
};
