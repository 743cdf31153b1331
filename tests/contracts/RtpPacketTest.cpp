#include "RTCPPacket.h"
#include "RTPPacket.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>
#include <cstring>
#include <vector>

namespace {

// Bytes placed right before an inaccessible page: a parser that reads one
// byte past the end crashes the test instead of passing by luck.
class GuardedBytes
{
public:
    explicit GuardedBytes(const std::vector<unsigned char>& bytes)
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        m_length = (bytes.size() / page + 2) * page;
        m_base = static_cast<unsigned char*>(
            mmap(nullptr, m_length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(m_base + m_length - page, page, PROT_NONE);
        m_data = m_base + m_length - page - bytes.size();
        if (!bytes.empty())
            memcpy(m_data, bytes.data(), bytes.size());
        m_size = int(bytes.size());
    }
    ~GuardedBytes() { munmap(m_base, m_length); }
    const unsigned char* data() const { return m_data; }
    int size() const { return m_size; }

private:
    unsigned char* m_base;
    size_t m_length;
    unsigned char* m_data;
    int m_size;
};

std::vector<unsigned char> prefix(const std::vector<unsigned char>& bytes, size_t n)
{
    return std::vector<unsigned char>(bytes.begin(), bytes.begin() + long(n));
}

// V=2, P, X, CC=2, M, PT 8, seq 0x1234, ts 0x01020304, SSRC 0xAABBCCDD, two
// CSRCs, a one-word extension (profile 0xBEDE), a 5-byte payload and 3 bytes
// of padding.
std::vector<unsigned char> fullRtpPacket()
{
    return {0xB2, 0x88, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0xCC, 0xDD,  // fixed header
            0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,                          // CSRCs
            0xBE, 0xDE, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44,                          // extension
            'h',  'e',  'l',  'l',  'o',                                             // payload
            0x00, 0x00, 0x03};                                                       // padding
}
const int kFullRtpHeaderEnd = 28;  // fixed header, CSRCs, extension

}  // namespace

TEST(RTPPacket, ParsesEveryHeaderField)
{
    const GuardedBytes bytes(fullRtpPacket());
    const RTPPacket p(bytes.data(), bytes.size());
    ASSERT_TRUE(p.isHeaderValid());
    EXPECT_EQ(p.getSeqNum(), 0x1234);
    EXPECT_EQ(p.getRawTimestamp(), 0x01020304u);
    EXPECT_EQ(p.getSSRC(), 0xAABBCCDDu);
    EXPECT_EQ(p.getPayloadType(), RTP_PAYLOAD_PCMA);
    EXPECT_TRUE(p.getMarker());
    ASSERT_EQ(p.getCsrcCount(), 2);
    EXPECT_EQ(p.getCsrc(1), 2u);
    EXPECT_EQ(p.getCsrc(2), 0u);
    EXPECT_EQ(p.getExtensionProfile(), 0xBEDE);
    EXPECT_EQ(p.getExtensionSize(), 4);
    EXPECT_EQ(p.getPaddingSize(), 3);
    ASSERT_EQ(p.getPayloadSize(), 5);
    EXPECT_EQ(memcmp(p.getPayload(), "hello", 5), 0);
    EXPECT_EQ(p.getWritablePayload(), nullptr);
}

TEST(RTPPacket, WriterRoundTripsThroughParser)
{
    VariableBuffer buffer(4);
    const unsigned char payload[] = {1, 2, 3, 4, 5, 6, 7};
    const RTPPacket written(buffer, 0xDEADBEEF, 65535, 0xFFFFFFF0, 97, payload, 7, true);
    ASSERT_EQ(written.getRawPacketSize(), 19);
    EXPECT_EQ(buffer.getSize(), 19);

    const RTPPacket read(buffer.getBuffer(), buffer.getSize());
    ASSERT_TRUE(read.isHeaderValid());
    EXPECT_EQ(read.getVersion(), 2);
    EXPECT_EQ(read.getSSRC(), 0xDEADBEEFu);
    EXPECT_EQ(read.getSeqNum(), 65535);
    EXPECT_EQ(read.getRawTimestamp(), 0xFFFFFFF0u);
    EXPECT_EQ(int(read.getPayloadType()), 97);
    EXPECT_TRUE(read.getMarker());
    EXPECT_EQ(read.getCsrcCount(), 0);
    ASSERT_EQ(read.getPayloadSize(), 7);
    EXPECT_EQ(memcmp(read.getPayload(), payload, 7), 0);

    // Without payload bytes the caller fills the payload in place.
    const RTPPacket blank(buffer, 7411, 1, 0, RTP_PAYLOAD_PCMA, nullptr, 3, false);
    ASSERT_NE(blank.getWritablePayload(), nullptr);
    memcpy(blank.getWritablePayload(), "\xD5\x55\xD5", 3);
    const RTPPacket reread(buffer.getBuffer(), buffer.getSize());
    ASSERT_TRUE(reread.isHeaderValid());
    EXPECT_FALSE(reread.getMarker());
    ASSERT_EQ(reread.getPayloadSize(), 3);
    EXPECT_EQ(memcmp(reread.getPayload(), "\xD5\x55\xD5", 3), 0);
}

TEST(RTPPacket, TruncationsNeverReadPastTheEnd)
{
    // Cut short, the header, CSRCs or extension are missing, or the last
    // byte (a payload byte or 0) is no padding count that fits.
    const std::vector<unsigned char> full = fullRtpPacket();
    for (size_t n = 0; n < full.size(); ++n) {
        const GuardedBytes bytes(prefix(full, n));
        const RTPPacket p(bytes.data(), bytes.size());
        EXPECT_FALSE(p.isHeaderValid()) << n;
        EXPECT_EQ(p.getPayload(), nullptr);
        EXPECT_EQ(p.getPayloadSize(), 0);
        p.getSSRC();  // getters are safe on anything
        p.getCsrc(0);
        p.getExtensionProfile();
    }

    // Without padding every cut behind the extension leaves a shorter payload.
    std::vector<unsigned char> unpadded = fullRtpPacket();
    unpadded[0] &= ~0x20;
    unpadded.resize(unpadded.size() - 3);
    for (size_t n = kFullRtpHeaderEnd; n <= unpadded.size(); ++n) {
        const GuardedBytes bytes(prefix(unpadded, n));
        const RTPPacket p(bytes.data(), bytes.size());
        ASSERT_TRUE(p.isHeaderValid()) << n;
        EXPECT_EQ(p.getPayloadSize(), int(n) - kFullRtpHeaderEnd);
    }
}

TEST(RTPPacket, RejectsInconsistentHeaders)
{
    auto valid = [](std::vector<unsigned char> b) {
        const GuardedBytes bytes(b);
        return RTPPacket(bytes.data(), bytes.size()).isHeaderValid();
    };
    const std::vector<unsigned char> base = {0x80, 0x00, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 9, 9, 9, 9};
    ASSERT_TRUE(valid(base));

    for (unsigned char version : {0x00, 0x40, 0xC0}) {
        std::vector<unsigned char> b = base;
        b[0] = version;
        EXPECT_FALSE(valid(b)) << int(version);
    }

    // Padding: the count includes itself, so 0 is malformed, and it may
    // cover the whole payload but not reach into the header.
    std::vector<unsigned char> padded = base;
    padded[0] |= 0x20;
    padded.back() = 0;
    EXPECT_FALSE(valid(padded));
    padded.back() = 4;
    EXPECT_TRUE(valid(padded));
    padded.back() = 5;
    EXPECT_FALSE(valid(padded));
    padded.back() = 0xFF;
    EXPECT_FALSE(valid(padded));

    // Padding may swallow the payload but never the extension before it.
    std::vector<unsigned char> full = fullRtpPacket();
    full.back() = 8;
    EXPECT_TRUE(valid(full));
    full.back() = 9;
    EXPECT_FALSE(valid(full));

    // 15 CSRCs announced, 1 present.
    std::vector<unsigned char> csrcs = base;
    csrcs[0] |= 0x0F;
    EXPECT_FALSE(valid(csrcs));

    // Extension bit with no room for the extension header, and an extension
    // length far past the end.
    std::vector<unsigned char> extension = prefix(base, 14);
    extension[0] |= 0x10;
    EXPECT_FALSE(valid(extension));
    extension = base;
    extension[0] |= 0x10;
    extension[14] = 0xFF;
    extension[15] = 0xFF;
    EXPECT_FALSE(valid(extension));
    extension[14] = 0;
    extension[15] = 0;
    EXPECT_TRUE(valid(extension));

    EXPECT_FALSE(RTPPacket(nullptr, 100).isHeaderValid());
    EXPECT_FALSE(RTPPacket(base.data(), -5).isHeaderValid());
    EXPECT_FALSE(RTPPacket().isHeaderValid());
}

TEST(RTPPacket, PacketOverPoolBufferKeepsItAlive)
{
    VariableBuffer buffer;
    RTPPacket(buffer, 42, 7, 8000, RTP_PAYLOAD_PCMU, reinterpret_cast<const unsigned char*>("abc"), 3, false);
    SharedPoolBuffer spb = SharedPoolBuffer::fromData(buffer.getBuffer(), buffer.getSize());
    const RTPPacket p(spb);
    spb.reset();
    ASSERT_TRUE(p.isHeaderValid());
    EXPECT_EQ(p.getSSRC(), 42u);
    EXPECT_EQ(memcmp(p.getPayload(), "abc", 3), 0);
}

namespace {

std::vector<unsigned char> compoundRtcp()
{
    VariableBuffer buffer;
    RTCPPacket::writeSenderReport(buffer, 0x01020304, NTPTimestamp(0xE1234567, 0x80000000), 160000, 1000, 160000);
    RTCPPacket::appendSourceDescription(buffer, 0x01020304, "sender@example");
    RTCPPacket::appendBye(buffer, 0x01020304);
    return std::vector<unsigned char>(buffer.getBuffer(), buffer.getBuffer() + buffer.getSize());
}

}  // namespace

TEST(RTCPPacket, SenderReportRoundTrip)
{
    VariableBuffer buffer;
    const NTPTimestamp ntp(0xE1234567, 0x89ABCDEF);
    ASSERT_EQ(RTCPPacket::writeSenderReport(buffer, 0xCAFEBABE, ntp, 0x11223344, 5, 800), 28);
    const GuardedBytes bytes(std::vector<unsigned char>(buffer.getBuffer(), buffer.getBuffer() + 28));
    const RTCPPacket p(bytes.data(), bytes.size());
    ASSERT_TRUE(p.isHeaderValid());
    EXPECT_EQ(p.getType(), RTCP_TYPE_SR);
    EXPECT_EQ(p.getPacketCount(), 1);
    EXPECT_EQ(p.getSSRC(), 0xCAFEBABEu);
    EXPECT_EQ(p.getNtpTimestamp().getRaw(), ntp.getRaw());
    EXPECT_EQ(p.getRtpTimestamp(), 0x11223344u);
    EXPECT_EQ(p.getSenderPacketCount(), 5u);
    EXPECT_EQ(p.getSenderOctetCount(), 800u);
}

TEST(RTCPPacket, CompoundIsValidOnlyAtPacketBoundaries)
{
    const std::vector<unsigned char> full = compoundRtcp();
    // SR 28 bytes, SDES 4 + 4 + 2 + 14 + 1 padded to 28, BYE 8.
    ASSERT_EQ(full.size(), 64u);
    const RTCPPacket whole(full.data(), int(full.size()));
    ASSERT_TRUE(whole.isHeaderValid());
    EXPECT_EQ(whole.getPacketCount(), 3);
    EXPECT_EQ(whole.getType(), RTCP_TYPE_SR);

    for (size_t n = 0; n <= full.size(); ++n) {
        const GuardedBytes bytes(prefix(full, n));
        const RTCPPacket p(bytes.data(), bytes.size());
        const bool boundary = n == 28 || n == 56 || n == 64;
        EXPECT_EQ(p.isHeaderValid(), boundary) << n;
        p.getNtpTimestamp();
        p.getRtpTimestamp();
        p.getSSRC();
    }
}

TEST(RTCPPacket, RejectsInconsistentPackets)
{
    auto valid = [](const std::vector<unsigned char>& b) {
        const GuardedBytes bytes(b);
        return RTCPPacket(bytes.data(), bytes.size()).isHeaderValid();
    };
    const std::vector<unsigned char> full = compoundRtcp();

    std::vector<unsigned char> b = full;
    b[28] = 0x01 | 0x40;  // SDES with version 1
    EXPECT_FALSE(valid(b));

    b = full;
    b[56 + 3] = 2;  // BYE claims 12 bytes, 8 are left
    EXPECT_FALSE(valid(b));

    b = full;
    b.push_back(0);  // trailing bytes that make no header
    EXPECT_FALSE(valid(b));

    b = full;
    b[0] |= 0x01;  // SR announces a report block it does not have
    EXPECT_FALSE(valid(b));

    // A padded receiver report is valid alone, not before another packet.
    const std::vector<unsigned char> paddedRr = {0xA0, 201, 0, 2, 0, 0, 0, 9, 0, 0, 0, 4};
    EXPECT_TRUE(valid(paddedRr));
    b = paddedRr;
    b.insert(b.end(), {0x81, 203, 0, 1, 0, 0, 0, 9});
    EXPECT_FALSE(valid(b));

    // Four bytes of padding on the last packet (the BYE); a count that eats
    // into its SSRC, or past its header, is malformed.
    b = full;
    b[56] |= 0x20;
    b[59] = 2;
    b.insert(b.end(), {0, 0, 0, 4});
    EXPECT_TRUE(valid(b));
    b.back() = 5;
    EXPECT_FALSE(valid(b));
    b.back() = 9;
    EXPECT_FALSE(valid(b));

    EXPECT_FALSE(valid({}));
    EXPECT_FALSE(valid({0x80, 200, 0xFF, 0xFF}));
}

TEST(RTCPPacket, OtherFirstPacketsHaveNoSenderInfo)
{
    // A receiver report without blocks, then a BYE.
    const std::vector<unsigned char> rr = {0x80, 201, 0, 1, 0, 0, 0, 9, 0x81, 203, 0, 1, 0, 0, 0, 9};
    const RTCPPacket p(rr.data(), int(rr.size()));
    ASSERT_TRUE(p.isHeaderValid());
    EXPECT_EQ(p.getType(), RTCP_TYPE_RR);
    EXPECT_EQ(p.getSSRC(), 9u);
    EXPECT_TRUE(p.getNtpTimestamp().isNull());
    EXPECT_EQ(p.getRtpTimestamp(), 0u);
}
