#include "G711.h"
#include "G711Tables.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

namespace {

// Reference quantiser written from the G.711 decision intervals, not from bit
// formulas: 128 magnitude intervals per law, 16 per segment, the width doubling
// from segment to segment; a code decodes to the middle of its interval.
// A-law quantises the magnitude, mu-law the magnitude (at most 32635) plus 132.
struct Interval {
    int lower, width;
};

std::array<Interval, 128> intervals(bool aLaw)
{
    std::array<Interval, 128> table{};
    int lower = aLaw ? 0 : 128;
    for (int i = 0; i < 128; ++i) {
        const int width = (aLaw && i < 16) ? 16 : 8 << (i / 16);
        table[size_t(i)] = {lower, width};
        lower += width;
    }
    return table;
}

const std::array<Interval, 128> kA = intervals(true), kU = intervals(false);

int indexOf(const std::array<Interval, 128>& t, int v)
{
    int i = 0;
    while (i < 127 && v >= t[size_t(i)].lower + t[size_t(i)].width)
        ++i;
    return i;
}

// ITU codes: A-law sets the sign bit for non-negative samples and inverts the
// even bits; mu-law inverts every bit of (negative sign | interval).
unsigned char refA(int s)
{
    return static_cast<unsigned char>(((s >= 0 ? 0x80 : 0) | indexOf(kA, std::min(std::abs(s), 32767))) ^ 0x55);
}
unsigned char refU(int s)
{
    const int index = indexOf(kU, std::min(std::abs(s), 32635) + 132);
    return static_cast<unsigned char>(~((s < 0 ? 0x80 : 0) | index));
}
int refDecodeA(unsigned char c)
{
    const Interval& in = kA[size_t((c ^ 0x55) & 0x7F)];
    return ((c ^ 0x55) & 0x80) ? in.lower + in.width / 2 : -(in.lower + in.width / 2);
}
int refDecodeU(unsigned char c)
{
    const Interval& in = kU[size_t(~c & 0x7F)];
    const int mid = in.lower + in.width / 2 - 132;
    return (~c & 0x80) ? -mid : mid;
}
unsigned char reversed(unsigned char v)
{
    unsigned char r = 0;
    for (int bit = 0; bit < 8; ++bit)
        r = static_cast<unsigned char>(r | ((v >> bit) & 1) << (7 - bit));
    return r;
}

template <typename T, size_t N, T First>
std::vector<T> all()
{
    std::vector<T> values(N);
    std::iota(values.begin(), values.end(), First);
    return values;
}
const std::vector<unsigned char> kCodes = all<unsigned char, 256, 0>();
const std::vector<short> kSamples = all<short, 65536, -32768>();

template <typename T>
unsigned char* bytes(const T* p)
{
    return reinterpret_cast<unsigned char*>(const_cast<T*>(p));
}

// The tables built since the last call.
std::vector<int> rebuiltTables()
{
    using namespace G711Tables;
    static std::array<unsigned int, TABLE_COUNT> before{};
    std::vector<int> tables;
    for (int t = 0; t < TABLE_COUNT; ++t) {
        if (buildCount(Table(t)) != before[size_t(t)])
            tables.push_back(t);
        before[size_t(t)] = buildCount(Table(t));
    }
    return tables;
}

class G711Test : public ::testing::Test
{
protected:
    void SetUp() override { setStandard(); }
    void TearDown() override { setStandard(); }
    static void setStandard()
    {
        _G711_SetALawMode(false, false, 0xD5, 0xD5);
        _G711_SetULawMode(false, false, 0xFF, 0xFF, false);
    }
};

}  // namespace

TEST_F(G711Test, AllCodesAndSamplesMatchTheQuantiser)
{
    std::vector<short> a(256), u(256);
    std::vector<unsigned char> aToU(256), uToA(256);
    _G711_ConvertALaw2Linear(kCodes.data(), bytes(a.data()), 256, 1.0);
    _G711_ConvertULaw2Linear(kCodes.data(), bytes(u.data()), 256, 1.0);
    _G711_ConvertALaw2ULaw(kCodes.data(), aToU.data(), 256);
    _G711_ConvertULaw2ALaw(kCodes.data(), uToA.data(), 256);
    for (int c = 0; c < 256; ++c) {
        const unsigned char code = static_cast<unsigned char>(c);
        ASSERT_EQ(_G711_ALaw2Linear(code), refDecodeA(code)) << c;
        ASSERT_EQ(_G711_ULaw2Linear(code), refDecodeU(code)) << c;
        ASSERT_EQ(a[size_t(c)], refDecodeA(code)) << c;
        ASSERT_EQ(u[size_t(c)], refDecodeU(code)) << c;
        ASSERT_EQ(aToU[size_t(c)], refU(refDecodeA(code))) << c;
        ASSERT_EQ(uToA[size_t(c)], refA(refDecodeU(code))) << c;
    }
    std::vector<unsigned char> ac(65536), uc(65536);
    _G711_ConvertLinear2ALaw(bytes(kSamples.data()), ac.data(), 2 * 65536, 1.0);
    _G711_ConvertLinear2ULaw(bytes(kSamples.data()), uc.data(), 2 * 65536, 1.0);
    for (size_t i = 0; i < kSamples.size(); ++i) {
        const short s = kSamples[i];
        ASSERT_EQ(_G711_Linear2ALaw(s), refA(s)) << s;
        ASSERT_EQ(_G711_Linear2ULaw(s), refU(s)) << s;
        ASSERT_EQ(ac[i], refA(s)) << s;
        ASSERT_EQ(uc[i], refU(s)) << s;
    }
    // Values that pin down the reference itself.
    EXPECT_EQ(refA(0) << 8 | refU(0), 0xD5FF);
    EXPECT_EQ(refDecodeA(0xD5) + refDecodeU(0xFF), 8);
    EXPECT_EQ(refA(32767) << 8 | refU(32767), 0xAA80);
    EXPECT_TRUE(refA(-32768) == refA(-32767) && refU(-32635) == refU(-32768));
}

TEST_F(G711Test, MasksReversalAndZeroTrap)
{
    // The mixer's mode: its own round trip is unchanged, a G.711 peer comes out inverted.
    _G711_SetALawMode(false, false, 0x55, 0x55);
    EXPECT_EQ(_G711_Linear2ALaw(1000), refA(1000) ^ 0x80);
    EXPECT_EQ(_G711_ALaw2Linear(_G711_Linear2ALaw(-1000)), refDecodeA(refA(-1000)));
    EXPECT_EQ(_G711_ALaw2Linear(refA(1000)), -refDecodeA(refA(1000)));

    _G711_SetALawMode(true, false, 0x0F, 0xF0);
    _G711_SetULawMode(false, true, 0x3C, 0xFF, true);
    std::vector<short> a(256);
    _G711_ConvertALaw2Linear(kCodes.data(), bytes(a.data()), 256, 1.0);
    for (int c = 0; c < 256; ++c) {
        const unsigned char code = static_cast<unsigned char>(c);
        ASSERT_EQ(a[size_t(c)], refDecodeA(static_cast<unsigned char>(reversed(code) ^ 0x0F ^ 0xD5))) << c;
        ASSERT_EQ(_G711_ULaw2Linear(code), refDecodeU(static_cast<unsigned char>(code ^ 0x3C ^ 0xFF))) << c;
    }
    std::vector<unsigned char> uc(65536);
    _G711_ConvertLinear2ULaw(bytes(kSamples.data()), uc.data(), 2 * 65536, 1.0);
    for (size_t i = 0; i < kSamples.size(); ++i) {
        const short s = kSamples[i];
        ASSERT_EQ(_G711_Linear2ALaw(s), refA(s) ^ 0xD5 ^ 0xF0) << s;
        // The zero trap turns 0x00 into 0x02 before the reversal.
        ASSERT_EQ(uc[i], reversed(refU(s) == 0 ? 0x02 : refU(s))) << s;
    }
    EXPECT_EQ(_G711_Linear2ULaw(-32768), 0x40);
}

TEST_F(G711Test, GainsClippingAndByteCounts)
{
    // Linear to code: scaled, truncated toward zero (15.5 gives 15, the
    // interval below 16) and clipped.
    const short pcm[6] = {16384, -16385, 31, -31, -1000, 5000};
    std::vector<unsigned char> codes(7, 0xEE);
    _G711_ConvertLinear2ALaw(bytes(pcm), codes.data(), 4, 2.0);
    _G711_ConvertLinear2ALaw(bytes(pcm + 2), codes.data() + 2, 4, 0.5);
    EXPECT_EQ(codes, (std::vector<unsigned char>{_G711_Linear2ALaw(32767), _G711_Linear2ALaw(-32768),
                                                 _G711_Linear2ALaw(15), _G711_Linear2ALaw(-15), 0xEE, 0xEE, 0xEE}));

    // Code to linear: scaled, truncated and clipped.
    const unsigned char in[4] = {0xD5, 0x55, 0xAA, 0x2A};  // 8, -8, 32256, -32256
    short out[4];
    _G711_ConvertALaw2Linear(in, bytes(out), 2, 0.3);
    _G711_ConvertALaw2Linear(in + 2, bytes(out + 2), 2, 2.0);
    EXPECT_EQ(std::vector<short>(out, out + 4), (std::vector<short>{2, -2, 32767, -32768}));

    // Floats: every one converted and scaled; ties to even, so -15.5 gives -16 (not -15).
    const float f[6] = {1.0f, -1.0f, 0.5f, -31.0f / 32767.0f, 2.0f, -3.0f};
    const short expected[6] = {16384, -16384, 8192, -16, 32767, -32768};
    _G711_ConvertFloat2ULaw(bytes(f), codes.data(), sizeof(f), 0.5);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(codes[size_t(i)], _G711_Linear2ULaw(expected[i])) << i;
    EXPECT_EQ(codes[6], 0xEE);
    float back[2];
    _G711_ConvertALaw2Float(in + 2, bytes(back), 2);
    EXPECT_EQ(back[0], 32256.0f / 32767.0f);

    // A remainder that is no whole sample is ignored.
    std::fill(codes.begin(), codes.end(), 0xEE);
    _G711_ConvertLinear2ULaw(bytes(pcm + 3), codes.data(), 5, 1.0);
    EXPECT_EQ(codes[1], _G711_Linear2ULaw(-1000));
    EXPECT_EQ(codes[2], 0xEE);
    _G711_ConvertFloat2ALaw(bytes(f), codes.data(), 7, 1.0);
    EXPECT_EQ(codes[0], _G711_Linear2ALaw(32767));
    EXPECT_EQ(codes[1], _G711_Linear2ULaw(-1000));  // left as it was
}

namespace {

// Checks the codec of a process that has not set a mode yet; prints what fails.
bool freshProcessIsRight()
{
    using namespace G711Tables;
    bool ok = true;
    auto check = [&](bool good, const char* what) {
        if (!good)
            std::fprintf(stderr, "fresh process: %s\n", what);
        ok = ok && good;
    };
    std::vector<unsigned char> out(1024, 0xEE);
    const std::vector<unsigned char> zeros(1024, 0);
    check(_G711_Linear2ALaw(0) == 0xD5 && _G711_ULaw2Linear(0xFF) == 0, "single-sample functions work at once");
    _G711_ConvertALaw2Float(kCodes.data(), out.data(), 256);
    check(out == zeros, "A-law decode gives zeros before the mode call");

    _G711_SetALawMode(false, false, 0xD5, 0xD5);
    check(rebuiltTables() == std::vector<int>{TABLE_BIT_REVERSE, TABLE_ALAW_TO_LINEAR, TABLE_LINEAR_TO_ALAW},
          "first A-law mode builds reversal and A-law tables only");
    _G711_ConvertALaw2ULaw(kCodes.data(), out.data(), 256);
    _G711_ConvertLinear2ULaw(kCodes.data(), out.data() + 256, 256, 1.0);
    check(std::equal(out.begin(), out.begin() + 384, zeros.begin()), "mu-law and cross tables still zero");
    _G711_SetALawMode(false, false, 0xD5, 0x55);
    check(rebuiltTables() == std::vector<int>{TABLE_LINEAR_TO_ALAW}, "encode mask alone");

    _G711_SetULawMode(false, false, 0xFF, 0xFF, false);
    check(rebuiltTables()
              == std::vector<int>{TABLE_ULAW_TO_LINEAR, TABLE_LINEAR_TO_ULAW, TABLE_ALAW_TO_ULAW, TABLE_ULAW_TO_ALAW},
          "first mu-law mode builds mu-law and both cross tables");

    // From then on a setter rebuilds only the tables its change touches.
    _G711_SetULawMode(false, false, 0xFF, 0xFF, false);
    _G711_SetALawMode(false, false, 0xD5, 0x55);
    check(rebuiltTables().empty(), "the same modes again");
    _G711_SetALawMode(false, false, 0xD5, 0xD5);
    check(rebuiltTables() == std::vector<int>{TABLE_LINEAR_TO_ALAW, TABLE_ULAW_TO_ALAW}, "A-law encode mask");
    _G711_SetALawMode(true, false, 0xD5, 0xD5);
    check(rebuiltTables() == std::vector<int>{TABLE_ALAW_TO_LINEAR, TABLE_ALAW_TO_ULAW}, "A-law decode reversal");
    _G711_SetULawMode(false, false, 0xFF, 0xFF, true);
    check(rebuiltTables() == std::vector<int>{TABLE_LINEAR_TO_ULAW, TABLE_ALAW_TO_ULAW}, "mu-law zero trap");
    _G711_SetULawMode(false, false, 0x7F, 0xFF, true);
    check(rebuiltTables() == std::vector<int>{TABLE_ULAW_TO_LINEAR, TABLE_ULAW_TO_ALAW}, "mu-law decode mask");
    return ok;
}

}  // namespace

// The codec state is process-wide, so the state before the first mode call is
// checked in a new copy of this binary (the threadsafe death-test style
// re-executes it); failures are printed there and reported by the exit code.
TEST(G711FreshProcessTest, TablesAreZeroUntilTheModeIsSet)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(freshProcessIsRight() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}
