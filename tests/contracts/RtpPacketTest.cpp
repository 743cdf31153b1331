#include "RTPPacket.h"
#include "RTCPPacket.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// A packet over the first `n` bytes copied right before an inaccessible page: a parser that
// reads one byte past the end crashes the test instead of passing by luck. One packet at a time.
template <typename Packet>
Packet guarded(const Bytes& bytes, size_t n)
{
    static const size_t page = size_t(sysconf(_SC_PAGESIZE));
    static auto* const region = static_cast<unsigned char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    [[maybe_unused]] static const int guard = mprotect(region + page, page, PROT_NONE);
    std::copy(bytes.begin(), bytes.begin() + long(n), region + page - n);
    return Packet(region + page - n, int(n));
}

// The fixed header's fields and the payload, for comparing in one go.
std::tuple<quint32, quint16, quint32, int, bool, QByteArray> header(const RTPPacket& p)
{
    return std::make_tuple(p.getSSRC(), p.getSeqNum(), p.getRawTimestamp(), int(p.getPayloadType()), p.getMarker(),
                           QByteArray(reinterpret_cast<const char*>(p.getPayload()), p.getPayloadSize()));
}

// `bytes` with some bytes replaced and others appended.
Bytes edited(Bytes bytes, std::initializer_list<std::pair<size_t, unsigned char>> edits, const Bytes& tail = {})
{
    for (const auto& e : edits)
        bytes[e.first] = e.second;
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

// V=2, P, X, CC=2, M, PT 8, seq 0x1234, ts 0x01020304, SSRC 0xAABBCCDD, two CSRCs, a one-word
// extension (profile 0xBEDE), a 5-byte payload and 3 bytes of padding (the last byte, index 35).
const Bytes kFullRtp = {0xB2, 0x88, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0xCC, 0xDD,  // fixed header
                        0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,                          // CSRCs
                        0xBE, 0xDE, 0x00, 0x01, 0x11, 0x22, 0x33, 0x44,                          // extension
                        'h',  'e',  'l',  'l',  'o',  0x00, 0x00, 0x03};                         // payload, padding
const int kFullRtpHeaderEnd = 28;  // fixed header, CSRCs, extension

// SR 28 bytes, SDES 4 + 4 + 2 + 14 + 1 padded to 28, BYE 8 (from byte 56).
Bytes compoundRtcp()
{
    VariableBuffer buffer;
    RTCPPacket::writeSenderReport(buffer, 0x01020304, NTPTimestamp(0xE1234567, 0x89ABCDEF), 0x11223344, 5, 800);
    RTCPPacket::appendSourceDescription(buffer, 0x01020304, "sender@example");
    RTCPPacket::appendBye(buffer, 0x01020304);
    return Bytes(buffer.getBuffer(), buffer.getBuffer() + buffer.getSize());
}

}  // namespace

TEST(RTPPacket, ParsesEveryFieldAndNeverReadsPastTheEnd)
{
    const RTPPacket p = guarded<RTPPacket>(kFullRtp, kFullRtp.size());
    ASSERT_TRUE(p.isHeaderValid());
    EXPECT_EQ(header(p), std::make_tuple(0xAABBCCDDu, quint16(0x1234), 0x01020304u, int(RTP_PAYLOAD_PCMA), true,
                                         QByteArray("hello")));
    EXPECT_EQ(std::make_tuple(p.getCsrcCount(), p.getCsrc(1), p.getCsrc(2), p.getExtensionProfile(),
                              p.getExtensionSize(), p.getPaddingSize(), p.getWritablePayload() == nullptr),
              std::make_tuple(2, 2u, 0u, quint16(0xBEDE), 4, 3, true));
    // Cut short, the header, CSRCs or extension are missing, or the last byte (a payload byte or 0)
    // is no padding count that fits; the getters are safe on anything. Without the padding every cut
    // behind the extension leaves a shorter payload.
    const Bytes unpadded = edited(Bytes(kFullRtp.begin(), kFullRtp.end() - 3), {{0, 0x92}});
    for (size_t n = 0; n < kFullRtp.size(); ++n) {
        const RTPPacket cut = guarded<RTPPacket>(kFullRtp, n);
        EXPECT_FALSE(cut.isHeaderValid()) << n;
        EXPECT_EQ(std::make_pair(cut.getPayload() == nullptr, cut.getPayloadSize()), std::make_pair(true, 0));
        (void)std::make_tuple(cut.getSSRC(), cut.getCsrc(0), cut.getExtensionProfile());
        const size_t m = std::clamp(n, size_t(kFullRtpHeaderEnd), unpadded.size());
        const RTPPacket shorter = guarded<RTPPacket>(unpadded, m);
        EXPECT_EQ(std::make_pair(shorter.isHeaderValid(), shorter.getPayloadSize()),
                  std::make_pair(true, int(m) - kFullRtpHeaderEnd));
    }
}

TEST(RTPPacket, WriterRoundTripsEdgeValuesAndFillsPayloadInPlace)
{
    VariableBuffer buffer(4);
    const unsigned char sent[] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(RTPPacket(buffer, 0xDEADBEEF, 65535, 0xFFFFFFF0, 97, sent, 7, true).getRawPacketSize(), 19);
    // A packet over a pool buffer keeps it alive when the buffer's last handle goes.
    SharedPoolBuffer spb = SharedPoolBuffer::fromData(buffer.getBuffer(), buffer.getSize());
    const RTPPacket read(spb);
    spb.reset();
    EXPECT_EQ(header(read), std::make_tuple(0xDEADBEEFu, quint16(65535), 0xFFFFFFF0u, 97, true,
                                            QByteArray(reinterpret_cast<const char*>(sent), 7)));

    const RTPPacket blank(buffer, 7411, 1, 0, RTP_PAYLOAD_PCMA, nullptr, 3, false);
    ASSERT_NE(blank.getWritablePayload(), nullptr);
    memcpy(blank.getWritablePayload(), "\xD5\x55\xD5", 3);
    const RTPPacket reread(buffer.getBuffer(), buffer.getSize());
    EXPECT_EQ(header(reread),
              std::make_tuple(7411u, quint16(1), 0u, int(RTP_PAYLOAD_PCMA), false, QByteArray("\xD5\x55\xD5")));
}

TEST(RTPPacket, RejectsInconsistentHeaders)
{
    const Bytes base = {0x80, 0x00, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 9, 9, 9, 9};
    // A padding count includes itself (0 is malformed); it may swallow the payload, never the header
    // or the extension.
    const std::tuple<const char*, Bytes, bool> cases[] = {
        {"plain", base, true},
        {"version 0", edited(base, {{0, 0x00}}), false},
        {"version 1", edited(base, {{0, 0x40}}), false},
        {"version 3", edited(base, {{0, 0xC0}}), false},
        {"padding 0", edited(base, {{0, 0xA0}, {15, 0}}), false},
        {"padding of the whole payload", edited(base, {{0, 0xA0}, {15, 4}}), true},
        {"padding into the header", edited(base, {{0, 0xA0}, {15, 5}}), false},
        {"padding 255", edited(base, {{0, 0xA0}, {15, 0xFF}}), false},
        {"padding up to the extension", edited(kFullRtp, {{35, 8}}), true},
        {"padding into the extension", edited(kFullRtp, {{35, 9}}), false},
        {"15 CSRCs, 1 present", edited(base, {{0, 0x8F}}), false},
        {"no room for the extension header", edited(Bytes(base.begin(), base.end() - 2), {{0, 0x90}}), false},
        {"extension far past the end", edited(base, {{0, 0x90}, {14, 0xFF}, {15, 0xFF}}), false},
        {"empty extension", edited(base, {{0, 0x90}, {14, 0}, {15, 0}}), true},
    };
    for (const auto& [what, bytes, valid] : cases)
        EXPECT_EQ(guarded<RTPPacket>(bytes, bytes.size()).isHeaderValid(), valid) << what;
    EXPECT_EQ(std::make_tuple(RTPPacket(nullptr, 100).isHeaderValid(), RTPPacket(base.data(), -5).isHeaderValid(),
                              RTPPacket().isHeaderValid()),
              std::make_tuple(false, false, false));
}

TEST(RTCPPacket, ParsesSenderInfoAndIsValidOnlyAtConsistentPacketBoundaries)
{
    auto fields = [](const RTCPPacket& p) {
        return std::make_tuple(p.isHeaderValid(), p.getType(), p.getSSRC(), p.getNtpTimestamp().getRaw(),
                               p.getRtpTimestamp(), p.getSenderPacketCount(), p.getSenderOctetCount());
    };
    const Bytes full = compoundRtcp();
    ASSERT_EQ(full.size(), 64u);
    const RTCPPacket sr(full.data(), 28);
    EXPECT_EQ(fields(sr),
              std::make_tuple(true, RTCP_TYPE_SR, 0x01020304u, 0xE123456789ABCDEFull, 0x11223344u, 5u, 800u));
    EXPECT_EQ(std::make_pair(sr.getPacketCount(), RTCPPacket(full.data(), 64).getPacketCount()), std::make_pair(1, 3));
    // A receiver report without blocks, then a BYE: no sender info.
    const Bytes rrBye = {0x80, 201, 0, 1, 0, 0, 0, 9, 0x81, 203, 0, 1, 0, 0, 0, 9};
    EXPECT_EQ(fields(RTCPPacket(rrBye.data(), 16)), std::make_tuple(true, RTCP_TYPE_RR, 9u, quint64(0), 0u, 0u, 0u));

    for (size_t n = 0; n <= full.size(); ++n) {
        const RTCPPacket p = guarded<RTCPPacket>(full, n);
        EXPECT_EQ(p.isHeaderValid(), n == 28 || n == 56 || n == 64) << n;
        (void)std::make_tuple(p.getNtpTimestamp(), p.getRtpTimestamp(), p.getSSRC());  // safe on anything
    }
    const Bytes paddedRr = {0xA0, 201, 0, 2, 0, 0, 0, 9, 0, 0, 0, 4};
    // Four bytes of padding on the BYE; a count that eats into its SSRC, or past its header, is malformed.
    const Bytes paddedBye = edited(full, {{56, 0xA1}, {59, 2}}, {0, 0, 0, 4});
    const std::tuple<const char*, Bytes, bool> cases[] = {
        {"SDES with version 1", edited(full, {{28, 0x41}}), false},
        {"BYE claims 12 bytes, 8 are left", edited(full, {{59, 2}}), false},
        {"trailing byte", edited(full, {}, {0}), false},
        {"SR announces a report block it lacks", edited(full, {{0, 0x81}}), false},
        {"padded RR alone", paddedRr, true},
        {"padded RR before another packet", edited(paddedRr, {}, {0x81, 203, 0, 1, 0, 0, 0, 9}), false},
        {"padded last packet", paddedBye, true},
        {"padding into the SSRC", edited(paddedBye, {{67, 5}}), false},
        {"padding past the header", edited(paddedBye, {{67, 9}}), false},
        {"empty", {}, false},
        {"length past the end", {0x80, 200, 0xFF, 0xFF}, false},
    };
    for (const auto& [what, bytes, valid] : cases)
        EXPECT_EQ(guarded<RTCPPacket>(bytes, bytes.size()).isHeaderValid(), valid) << what;
}
