// Feeds arbitrary bytes to the RTP and RTCP parsers and reads every field:
// nothing may read outside the input, whatever the length fields claim.
#include "RTCPPacket.h"
#include "RTPPacket.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

volatile unsigned sink;

void touch(const unsigned char* data, int size)
{
    unsigned sum = 0;
    for (int i = 0; i < size; ++i)
        sum += data[i];
    sink = sum;
}

void readRtp(const RTPPacket& p)
{
    unsigned v = p.isHeaderValid();
    v += unsigned(p.getVersion()) + p.hasPadding() + p.hasExtension() + p.getMarker();
    v += unsigned(p.getPayloadType()) + p.getSeqNum() + p.getRawTimestamp() + p.getSSRC();
    for (int i = -1; i <= p.getCsrcCount(); ++i)
        v += p.getCsrc(i);
    v += p.getExtensionProfile() + unsigned(p.getPaddingSize());
    if (p.getExtensionData())
        touch(p.getExtensionData(), p.getExtensionSize());
    if (p.getPayload())
        touch(p.getPayload(), p.getPayloadSize());
    if (p.isHeaderValid() && (p.getPayloadSize() < 0 || p.getPayloadSize() > p.getRawPacketSize()))
        __builtin_trap();
    sink = v;
}

void readRtcp(const RTCPPacket& p)
{
    unsigned v = p.isHeaderValid();
    v += unsigned(p.getPacketCount()) + unsigned(p.getType()) + unsigned(p.getCount()) + unsigned(p.getLength());
    v += p.getSSRC() + unsigned(p.getNtpTimestamp().getRaw()) + p.getRtpTimestamp();
    v += p.getSenderPacketCount() + p.getSenderOctetCount();
    if (p.isHeaderValid() && p.getLength() > p.getRawPacketSize())
        __builtin_trap();
    sink = v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536)
        return 0;
    // An exact-size heap copy, so that the sanitizer sees any read past the end.
    std::vector<unsigned char> bytes(data, data + size);
    const unsigned char* p = bytes.empty() ? nullptr : bytes.data();
    readRtp(RTPPacket(p, int(size)));
    readRtcp(RTCPPacket(p, int(size)));

    // The writer's output must parse back to what was written.
    if (size >= 4) {
        VariableBuffer buffer;
        const int payloadSize = int(size - 4);
        const RTPPacket written(buffer, data[0] * 0x01010101u, quint16(data[1] << 8 | data[2]), data[3], data[3] & 0x7f,
                                data + 4, payloadSize, data[0] & 1);
        const RTPPacket read(buffer.getBuffer(), buffer.getSize());
        if (!read.isHeaderValid() || read.getPayloadSize() != payloadSize ||
            memcmp(read.getPayload(), data + 4, size_t(payloadSize)) != 0 || read.getSSRC() != written.getSSRC())
            __builtin_trap();
    }
    return 0;
}
