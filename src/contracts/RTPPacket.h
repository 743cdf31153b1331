#pragma once

#include "OstKavexMixerGlobal.h"
#include "SharedPoolBuffer.h"
#include "VariableBuffer.h"

// RTP payload types with a static assignment (RFC 3551, table 4) and the
// bounds of the dynamic range, which streams bind through SDP.
enum rtp_payload_t {
    RTP_PAYLOAD_PCMU = 0,
    RTP_PAYLOAD_G726_32 = 2,
    RTP_PAYLOAD_GSM = 3,
    RTP_PAYLOAD_G723 = 4,
    RTP_PAYLOAD_DVI4_8000 = 5,
    RTP_PAYLOAD_DVI4_16000 = 6,
    RTP_PAYLOAD_LPC = 7,
    RTP_PAYLOAD_PCMA = 8,
    RTP_PAYLOAD_G722 = 9,
    RTP_PAYLOAD_L16_STEREO = 10,
    RTP_PAYLOAD_L16_MONO = 11,
    RTP_PAYLOAD_QCELP = 12,
    RTP_PAYLOAD_CN = 13,
    RTP_PAYLOAD_MPA = 14,
    RTP_PAYLOAD_G728 = 15,
    RTP_PAYLOAD_DVI4_11025 = 16,
    RTP_PAYLOAD_DVI4_22050 = 17,
    RTP_PAYLOAD_G729 = 18,
    RTP_PAYLOAD_DYNAMIC_FIRST = 96,
    RTP_PAYLOAD_DYNAMIC_LAST = 127
};

// An RTP packet (RFC 3550) seen through its bytes. A reading packet is a view:
// it neither copies nor owns the bytes it was made over (except that a packet
// made over a SharedPoolBuffer holds a reference to it), so it is cheap to make
// one per datagram. The header is checked once at construction; every getter
// is safe on any input and returns 0 / nullptr where the packet has no such
// field, but only isHeaderValid() tells whether the values mean anything.
class OSTKAVEXMIXER_EXPORT RTPPacket
{
public:
    static constexpr int FIXED_HEADER_SIZE = 12;
    static constexpr int VERSION = 2;

    RTPPacket() = default;
    RTPPacket(const unsigned char* data, int size);
    explicit RTPPacket(const SharedPoolBuffer& buffer);

    // Writes a packet into `buffer`: version 2, no padding, no extension, no
    // CSRC, the given fields, then `payloadSize` payload bytes, copied from
    // `payload` or, when it is null, left for the caller to fill through
    // getWritablePayload(). The packet refers to the buffer's storage: resizing
    // the buffer afterwards invalidates it.
    RTPPacket(VariableBuffer& buffer, quint32 ssrc, quint16 seq, quint32 timestamp, int payloadType,
              const unsigned char* payload, int payloadSize, bool marker);

    bool isHeaderValid() const { return m_valid; }

    int getVersion() const;
    bool hasPadding() const;
    bool hasExtension() const;
    bool getMarker() const;
    rtp_payload_t getPayloadType() const;
    quint16 getSeqNum() const;
    quint32 getRawTimestamp() const;
    quint32 getSSRC() const;

    // Contributing sources; 0 entries unless the header is valid.
    int getCsrcCount() const;
    quint32 getCsrc(int index) const;

    // Header extension (RFC 3550 5.3.1): the 16-bit profile word and the
    // extension data after the extension's own 4-byte header.
    quint16 getExtensionProfile() const;
    const unsigned char* getExtensionData() const;
    int getExtensionSize() const;

    // The payload without CSRC list, extension and padding; nullptr and 0 for
    // a packet whose header is not valid.
    const unsigned char* getPayload() const;
    int getPayloadSize() const;
    int getPaddingSize() const { return m_paddingSize; }
    // The payload of a packet made by the writing constructor; nullptr otherwise.
    unsigned char* getWritablePayload() const;

    const unsigned char* getRawPacket() const { return m_data; }
    int getRawPacketSize() const { return m_size; }

private:
    void parse();
    quint32 read32(int offset) const;

    const unsigned char* m_data = nullptr;
    unsigned char* m_writable = nullptr;
    int m_size = 0;
    SharedPoolBuffer m_keepAlive;
    bool m_valid = false;
    int m_payloadOffset = 0;
    int m_payloadSize = 0;
    int m_paddingSize = 0;
    int m_extensionOffset = 0;
    int m_extensionSize = 0;
};
