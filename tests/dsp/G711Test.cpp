#include "G711.h"
#include "G711Tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <numeric>
#include <tuple>
#include <vector>

namespace {

// Reference quantiser from the G.711 decision intervals, not from bit formulas: 128 magnitude intervals
// per law, 16 per segment, the width doubling from segment to segment; a code decodes to the middle of its
// interval, larger magnitudes fall in the last one. mu-law quantises magnitude + 132 from 128 on: from -4.
using Bounds = std::array<int, 129>;

Bounds bounds(bool aLaw)
{
    Bounds b{aLaw ? 0 : -4};
    for (size_t i = 0; i < 128; ++i)
        b[i + 1] = b[i] + ((aLaw && i < 16) ? 16 : 8 << (i / 16));
    return b;
}

const Bounds kA = bounds(true), kU = bounds(false);

unsigned char reversed(int v, bool on)
{
    int r = 0;
    for (int bit = 0; bit < 8; ++bit)
        r |= ((v >> bit) & 1) << (7 - bit);
    return static_cast<unsigned char>(on ? r : v);
}

// A law's mode. A code is sign (set for negative samples) and interval, masked (ITU: 0xD5 A-law,
// 0xFF mu-law). Decoding reverses, then unmasks; encoding masks, applies the zero trap, then reverses.
struct Mode {
    bool aLaw, decodeReverse, encodeReverse;
    unsigned char decodeMask, encodeMask;
    bool zeroTrap;
};
const Mode kItuA = {true, false, false, 0xD5, 0xD5, false}, kItuU = {false, false, false, 0xFF, 0xFF, false};

short decode(int c, const Mode& m)
{
    const Bounds& b = m.aLaw ? kA : kU;
    const size_t v = reversed(c, m.decodeReverse) ^ m.decodeMask;
    const short mid = short((b[v & 0x7F] + b[(v & 0x7F) + 1]) / 2);
    return (v & 0x80) ? short(-mid) : mid;
}
unsigned char encode(int s, const Mode& m)
{
    const Bounds& b = m.aLaw ? kA : kU;
    const int interval = int(std::upper_bound(b.begin() + 1, b.end() - 1, std::abs(s)) - b.begin()) - 1;
    const int code = ((s < 0 ? 0x80 : 0) | interval) ^ m.encodeMask;
    return reversed(m.zeroTrap && code == 0 ? 0x02 : code, m.encodeReverse);
}

void set(const Mode& m)
{
    if (m.aLaw)
        _G711_SetALawMode(m.decodeReverse, m.encodeReverse, m.decodeMask, m.encodeMask);
    else
        _G711_SetULawMode(m.decodeReverse, m.encodeReverse, m.decodeMask, m.encodeMask, m.zeroTrap);
}

const std::vector<short> kSamples = [] {
    std::vector<short> v(65536);
    std::iota(v.begin(), v.end(), short(-32768));
    return v;
}();
const std::vector<unsigned char> kCodes(kSamples.begin() + 32768, kSamples.begin() + 33024);

template <typename T>
unsigned char* bytes(const T* p)
{
    return reinterpret_cast<unsigned char*>(const_cast<T*>(p));
}

}  // namespace

TEST(G711Test, AllCodesAndSamplesMatchTheQuantiserInEveryMode)
{
    // A-law and mu-law modes: ITU; reversals, masks and the zero trap; and the
    // mixer's, whose own round trip is unchanged while a G.711 peer comes out inverted.
    const std::pair<Mode, Mode> modes[] = {
        {kItuA, kItuU},
        {{true, true, false, 0x0F, 0xF0, false}, {false, false, true, 0x3C, 0xFF, true}},
        {{true, false, false, 0x55, 0x55, false}, {false, true, false, 0x7F, 0x80, false}},
    };
    for (const auto& [ma, mu] : modes) {
        SCOPED_TRACE(int(ma.decodeMask));
        set(ma);
        set(mu);
        std::vector<short> a(256), u(256);
        std::vector<unsigned char> aToU(256), uToA(256), ac(65536), uc(65536);
        _G711_ConvertALaw2Linear(kCodes.data(), bytes(a.data()), 256, 1.0);
        _G711_ConvertULaw2Linear(kCodes.data(), bytes(u.data()), 256, 1.0);
        _G711_ConvertALaw2ULaw(kCodes.data(), aToU.data(), 256);
        _G711_ConvertULaw2ALaw(kCodes.data(), uToA.data(), 256);
        _G711_ConvertLinear2ALaw(bytes(kSamples.data()), ac.data(), 2 * 65536, 1.0);
        _G711_ConvertLinear2ULaw(bytes(kSamples.data()), uc.data(), 2 * 65536, 1.0);
        for (size_t i = 0; i < kSamples.size(); ++i) {
            const unsigned char ea = encode(kSamples[i], ma), eu = encode(kSamples[i], mu);
            ASSERT_EQ(std::make_tuple(_G711_Linear2ALaw(kSamples[i]), _G711_Linear2ULaw(kSamples[i]), ac[i], uc[i]),
                      std::make_tuple(ea, eu, ea, eu))
                << kSamples[i];
            if (i >= 256)
                continue;
            const short da = decode(int(i), ma), du = decode(int(i), mu);
            ASSERT_EQ(std::make_tuple(_G711_ALaw2Linear(kCodes[i]), _G711_ULaw2Linear(kCodes[i]), a[i], u[i]),
                      std::make_tuple(da, du, da, du))
                << i;
            ASSERT_EQ(std::make_tuple(aToU[i], uToA[i]), std::make_tuple(encode(da, mu), encode(du, ma))) << i;
        }
    }
    // Values that pin down the reference itself.
    EXPECT_EQ(std::make_tuple(encode(0, kItuA), encode(0, kItuU), encode(32767, kItuA), encode(32767, kItuU),
                              decode(0xD5, kItuA) + decode(0xFF, kItuU)),
              std::make_tuple(0xD5, 0xFF, 0xAA, 0x80, 8));
    EXPECT_EQ(std::make_tuple(encode(-32768, kItuA), encode(-32768, kItuU), encode(-32768, modes[1].second)),
              std::make_tuple(encode(-32767, kItuA), encode(-32635, kItuU), 0x40));
    EXPECT_EQ(encode(1000, modes[2].first), encode(1000, kItuA) ^ 0x80);
}

TEST(G711Test, GainsClippingAndByteCounts)
{
    set(kItuA);
    set(kItuU);
    // Linear and codes are scaled, truncated toward zero (15.5 gives 15, the interval below 16) and clipped;
    // floats round ties to even (-15.5 gives -16). A remainder that is no whole sample is ignored.
    const short pcm[6] = {16384, -16385, 31, -31, -1000, 5000};
    const unsigned char in[4] = {0xD5, 0x55, 0xAA, 0x2A};  // 8, -8, 32256, -32256
    const float f[6] = {1.0f, -1.0f, 0.5f, -31.0f / 32767.0f, 2.0f, -3.0f};
    std::vector<unsigned char> codes(7, 0xEE), floatCodes(7, 0xEE), partial(3, 0xEE);
    short out[4];
    float back[2];
    _G711_ConvertLinear2ALaw(bytes(pcm), codes.data(), 4, 2.0);
    _G711_ConvertLinear2ALaw(bytes(pcm + 2), codes.data() + 2, 4, 0.5);
    _G711_ConvertALaw2Linear(in, bytes(out), 2, 0.3);
    _G711_ConvertALaw2Linear(in + 2, bytes(out + 2), 2, 2.0);
    _G711_ConvertFloat2ULaw(bytes(f), floatCodes.data(), sizeof(f), 0.5);
    _G711_ConvertALaw2Float(in + 2, bytes(back), 2);
    _G711_ConvertLinear2ULaw(bytes(pcm + 3), partial.data(), 5, 1.0);
    _G711_ConvertFloat2ALaw(bytes(f), partial.data(), 7, 1.0);
    const auto a = _G711_Linear2ALaw, u = _G711_Linear2ULaw;
    EXPECT_EQ(codes, (std::vector<unsigned char>{a(32767), a(-32768), a(15), a(-15), 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(std::vector<short>(out, out + 4), (std::vector<short>{2, -2, 32767, -32768}));
    EXPECT_EQ(floatCodes,
              (std::vector<unsigned char>{u(16384), u(-16384), u(8192), u(-16), u(32767), u(-32768), 0xEE}));
    EXPECT_EQ(back[0], 32256.0f / 32767.0f);
    EXPECT_EQ(partial, (std::vector<unsigned char>{a(32767), u(-1000), 0xEE}));
}

// The codec state is process-wide: the state before the first mode call is checked in a new copy
// of this binary (the threadsafe death-test style re-executes it); the exit code names what fails.
TEST(G711FreshProcessTest, TablesAreZeroUntilTheModeIsSet)
{
    using namespace G711Tables;
    const auto firstFailure = [] {
        // Single samples work at once; the array functions give zeros until the modes are set.
        std::vector<unsigned char> out(1408, 0xEE);
        _G711_ConvertALaw2Float(kCodes.data(), out.data(), 256);
        _G711_ConvertALaw2ULaw(kCodes.data(), out.data() + 1024, 256);
        _G711_ConvertLinear2ULaw(kCodes.data(), out.data() + 1280, 256, 1.0);
        if (_G711_Linear2ALaw(0) != 0xD5 || _G711_ULaw2Linear(0xFF) != 0 || out != std::vector<unsigned char>(1408))
            return 1;
        // Each setter builds the tables its change touches, and only those: the first A-law call
        // the reversal and A-law tables, the first mu-law call the mu-law and both cross tables.
        const std::pair<Mode, std::vector<int>> steps[] = {
            {kItuA, {TABLE_BIT_REVERSE, TABLE_ALAW_TO_LINEAR, TABLE_LINEAR_TO_ALAW}},
            {{true, false, false, 0xD5, 0x55, false}, {TABLE_LINEAR_TO_ALAW}},
            {kItuU, {TABLE_ULAW_TO_LINEAR, TABLE_LINEAR_TO_ULAW, TABLE_ALAW_TO_ULAW, TABLE_ULAW_TO_ALAW}},
            {kItuU, {}},
            {{true, false, false, 0xD5, 0x55, false}, {}},
            {kItuA, {TABLE_LINEAR_TO_ALAW, TABLE_ULAW_TO_ALAW}},
            {{true, true, false, 0xD5, 0xD5, false}, {TABLE_ALAW_TO_LINEAR, TABLE_ALAW_TO_ULAW}},
            {{false, false, false, 0xFF, 0xFF, true}, {TABLE_LINEAR_TO_ULAW, TABLE_ALAW_TO_ULAW}},
            {{false, false, false, 0x7F, 0xFF, true}, {TABLE_ULAW_TO_LINEAR, TABLE_ULAW_TO_ALAW}},
        };
        std::array<unsigned int, TABLE_COUNT> before{};
        for (size_t i = 0; i < std::size(steps); ++i) {
            set(steps[i].first);
            std::vector<int> built;
            for (int t = 0; t < TABLE_COUNT; ++t)
                if (buildCount(Table(t)) != std::exchange(before[size_t(t)], buildCount(Table(t))))
                    built.push_back(t);
            if (built != steps[i].second)
                return int(i) + 2;
        }
        return 0;
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(firstFailure()), ::testing::ExitedWithCode(0), "");
}
