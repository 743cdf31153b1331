#include "AudioConverter.h"
#include "G711.h"
#include "LogCapture.h"
#include "SignalAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

using namespace SignalAnalysis;
using Bytes = std::vector<unsigned char>;

static Bytes pcm(const std::vector<double>& samples)
{
    const std::vector<int16_t> s = toInt16(samples);
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    return Bytes(p, p + 2 * s.size());
}

// Feeds a stream block by block; returns the joined output and each block's length.
static std::pair<Bytes, std::vector<unsigned int>> convert(AudioConverter& converter, Bytes in, size_t blockBytes)
{
    std::pair<Bytes, std::vector<unsigned int>> out;
    Bytes dst(blockBytes * 16 + 256);
    for (size_t pos = 0; pos < in.size(); pos += blockBytes) {
        unsigned int length = 0;
        const auto size = unsigned(std::min(blockBytes, in.size() - pos));
        EXPECT_TRUE(converter.convert(in.data() + pos, size, dst.data(), &length));
        out.first.insert(out.first.end(), dst.begin(), dst.begin() + length);
        out.second.push_back(length);
    }
    return out;
}

TEST(AudioConverterTest, SineKeepsFrequencyAndLevelUnlessAboveTheNewNyquistFrequencyInBlocksOrWhole)
{
    _G711_SetALawMode(false, false, 0x55, 0x55);  // the tables are empty until the mode is set
    const std::vector<std::tuple<unsigned int, unsigned int, double, bool>> cases = {
        {48000, 8000, 1000, true},   {48000, 16000, 3000, false}, {8000, 48000, 1000, false},
        {16000, 48000, 5000, false}, {44100, 48000, 440, false},  {48000, 8000, 6000, false},
        {48000, 16000, 12000, false}};
    for (const auto& [from, to, hz, aLawOut] : cases) {
        SCOPED_TRACE(testing::Message() << from << " -> " << to << ", " << hz << " Hz");
        const Bytes in = pcm(sine(hz, from, from, 10000.0));
        AudioConverter blocks(from, to, false, false, aLawOut, 1.0, 2048, RESAMPLE_SINC_FASTEST);
        AudioConverter whole(from, to, false, false, aLawOut, 1.0, 500, RESAMPLE_SINC_FASTEST);
        AudioConverter unsized(from, to, false, false, aLawOut, 1.0, 0, RESAMPLE_SINC_FASTEST);
        // Blocks of 1499 frames end between outputs; the whole second is split to fit the buffers, which
        // take the default size when none is given.
        const Bytes a = convert(blocks, in, 2 * 1499).first, b = convert(whole, in, in.size()).first;
        const Bytes c = convert(unsized, in, in.size()).first;
        EXPECT_TRUE(std::equal(a.begin(), a.begin() + long(std::min(a.size(), b.size())), b.begin()));
        EXPECT_TRUE(c.size() == b.size() && std::equal(c.begin(), c.end(), b.begin()));
        std::vector<double> out;
        for (size_t i = 0; i + (aLawOut ? 0 : 1) < b.size(); i += aLawOut ? 1 : 2)
            out.push_back(aLawOut ? _G711_ALaw2Linear(b[i]) : int16_t(b[i] | b[i + 1] << 8));
        EXPECT_NEAR(double(out.size()), double(to), to * 0.02);  // less the converter's delay
        const std::vector<double> tail(out.begin() + long(out.size() / 4), out.end());
        if (hz > to / 2) {
            EXPECT_LT(dbfs(rms(tail)), -66.0);  // the tone is at -13 dBFS: at least 52 dB down
            continue;
        }
        EXPECT_NEAR(dominantFrequency(tail, to, hz / 2, hz * 1.5), hz, 1.0);
        EXPECT_NEAR(20 * std::log10(toneAmplitude(tail, hz, to) / 10000.0), 0.0, aLawOut ? 0.2 : 0.1);
    }
}

TEST(AudioConverterTest, AdjustRateGlidesAcrossTheNextBlock)
{
    const Bytes in = pcm(sine(500, 48000, 1500 * 4, 8000.0));  // four blocks
    for (int quality : {RESAMPLE_LINEAR, RESAMPLE_SINC_FASTEST}) {
        SCOPED_TRACE(quality);
        AudioConverter converter(48000, 8000, false, false, false, 1.0, 2048, quality);
        convert(converter, in, 3000);
        converter.adjustRate(16000);
        EXPECT_DOUBLE_EQ(converter.context().last_ratio, 1.0 / 6);
        const std::vector<unsigned int> lengths = convert(converter, in, 3000).second;
        // The ratio ramps from 1/6 to 1/3 over the block's output: 1500 frames times the logarithmic
        // mean of both ratios. Later blocks run at 1/3 (the sinc look-ahead shrinks in the next block).
        EXPECT_NEAR(lengths[0], 2 * 1500 * (1.0 / 6) / std::log(2.0), 10.0);
        for (size_t i = quality == RESAMPLE_LINEAR ? 1 : 2; i < lengths.size(); ++i)
            EXPECT_NEAR(lengths[i], 2 * 500.0, 4.0) << i;
        EXPECT_DOUBLE_EQ(converter.context().last_ratio, 1.0 / 3);
    }
}

TEST(ConvertAudioTest, RefusalsCopiesGainsAndConverterStates)
{
    _G711_SetALawMode(false, false, 0x55, 0x55);
    std::vector<int16_t> s = {-16384, -20000, 20000, 1000, 3, -3};
    for (int i = 0; i < 154; ++i)
        s.push_back(int16_t(i * 400 - 32000));
    auto* src = reinterpret_cast<unsigned char*>(s.data());
    alignas(int16_t) unsigned char dst[640];
    const auto* out = reinterpret_cast<const int16_t*>(dst);
    unsigned int length = 0;
    LogCapture log;
    EXPECT_FALSE(ConvertAudio(48000, false, false, src, 320, 8000, false, true, dst, &length, 1.0, nullptr));
    EXPECT_EQ(log.count(QtWarningMsg, "Kontext für SampleRate-Konvertierung nicht gegeben!"), 1);
    EXPECT_FALSE(ConvertAudio(8000, false, false, src, 320, 8000, true, false, dst, &length, 1.0, nullptr));
    EXPECT_EQ(log.count(QtDebugMsg, "Mono/Stereo-Konvertierung nicht implementiert"), 1);

    float floats[32] = {};
    RESAMPLE_CONTEXT context = {0, 0, 0, 1, floats, floats + 16, 0, 16, 0, 0, 0, 0.5, nullptr};  // mono, 16 frames
    RESAMPLE_CONTEXT unity = {};
    unity.src_ratio = 1.0;
    ASSERT_TRUE(ConvertAudio(8000, false, false, src, 320, 8000, false, true, dst, &length, 1.0, &unity));
    EXPECT_EQ(std::make_pair(length, dst[159]), std::make_pair(160u, _G711_Linear2ALaw(s[159])));
    Bytes codes(dst, dst + 160);
    std::fill(dst, dst + 160, 0);
    ASSERT_TRUE(ConvertAudio(8000, false, true, codes.data(), 160, 16000, false, true, dst, &length, 2.0, &context));
    EXPECT_EQ(Bytes(dst, dst + length), codes);  // A-law copy, no gain, no resampling

    // Linear copy with gain truncates and clips at -32767; A-law decode with gain at -32768.
    ASSERT_TRUE(ConvertAudio(8000, false, false, src, 12, 8000, false, false, dst, &length, 2.0, nullptr));
    EXPECT_EQ(std::vector<int16_t>(out, out + 6), (std::vector<int16_t>{-32767, -32767, 32767, 2000, 6, -6}));
    ASSERT_TRUE(ConvertAudio(8000, false, false, src, 12, 8000, false, false, dst, &length, 0.5, nullptr));
    EXPECT_EQ(std::make_pair(out[4], out[5]), std::make_pair(int16_t(1), int16_t(-1)));
    ASSERT_TRUE(ConvertAudio(8000, false, true, codes.data() + 6, 1, 8000, false, false, dst, &length, 2.0, nullptr));
    EXPECT_EQ(out[0], -32768);

    // Converter states: one per context, of a known type; resampling without one yields nothing.
    EXPECT_FALSE(ResampleSetConverter(&context, 5) || ResampleSetConverter(&context, -1));
    for (int type = 0; type <= 4; ++type) {
        ASSERT_TRUE(ResampleSetConverter(&context, type)) << type;
        EXPECT_FALSE(ResampleSetConverter(&context, type));  // holds one already
        ResampleShutdown(&context);
        EXPECT_EQ(context.private_data, nullptr);
    }
    EXPECT_TRUE(ConvertAudio(16000, false, false, src, 32, 8000, false, true, dst, &length, 1.0, &context));
    EXPECT_EQ(length, 0u);
}
