#include "AudioConverter.h"
#include "ConvertAudio.h"
#include "G711.h"
#include "LogCapture.h"
#include "SignalAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace SignalAnalysis;

namespace {

std::vector<unsigned char> pcm(const std::vector<double>& samples)
{
    const std::vector<int16_t> s = toInt16(samples);
    return std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(s.data()),
                                      reinterpret_cast<const unsigned char*>(s.data() + s.size()));
}

std::vector<double> samplesOf(const std::vector<unsigned char>& bytes, bool aLaw)
{
    std::vector<double> out;
    for (size_t i = 0; aLaw && i < bytes.size(); ++i)
        out.push_back(_G711_ALaw2Linear(bytes[i]));
    for (size_t i = 0; !aLaw && i + 1 < bytes.size(); i += 2)
        out.push_back(int16_t(bytes[i] | bytes[i + 1] << 8));
    return out;
}

// Feeds a stream block by block; returns the joined output and each block's length.
std::vector<unsigned char> convert(AudioConverter& converter, const std::vector<unsigned char>& in,
                                   size_t blockBytes, std::vector<unsigned int>* lengths = nullptr)
{
    std::vector<unsigned char> out, dst(blockBytes * 16 + 256), src;
    for (size_t pos = 0; pos < in.size(); pos += blockBytes) {
        src.assign(in.begin() + long(pos), in.begin() + long(std::min(in.size(), pos + blockBytes)));
        unsigned int length = 0;
        EXPECT_TRUE(converter.convert(src.data(), unsigned(src.size()), dst.data(), &length));
        out.insert(out.end(), dst.begin(), dst.begin() + length);
        if (lengths)
            lengths->push_back(length);
    }
    return out;
}

class AudioConverterTest : public ::testing::Test
{
protected:
    void SetUp() override { _G711_SetALawMode(false, false, 0x55, 0x55); }
};

}  // namespace

TEST_F(AudioConverterTest, SineKeepsFrequencyAndLevelUnlessAboveTheNewNyquistFrequency)
{
    struct Case {
        unsigned int from, to;
        double hz;
        bool aLawOut;
    };
    for (const Case& c : {Case{48000, 8000, 1000, true}, Case{48000, 16000, 3000, false},
                          Case{8000, 48000, 1000, false}, Case{16000, 48000, 5000, false},
                          Case{44100, 48000, 440, false}, Case{48000, 8000, 6000, false},
                          Case{48000, 16000, 12000, false}}) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to << ", " << c.hz << " Hz");
        AudioConverter converter(c.from, c.to, false, false, c.aLawOut, 1.0, 2048, RESAMPLE_SINC_FASTEST);
        // Blocks of 1/25 s, as a capture thread delivers them.
        const std::vector<double> out =
            samplesOf(convert(converter, pcm(sine(c.hz, c.from, c.from, 10000.0)), c.from / 25 * 2), c.aLawOut);
        EXPECT_NEAR(double(out.size()), double(c.to), c.to * 0.02);  // less the converter's delay
        const std::vector<double> tail(out.begin() + long(out.size() / 4), out.end());
        if (c.hz > c.to / 2) {
            EXPECT_LT(dbfs(rms(tail)), -66.0);  // the tone is at -13 dBFS: at least 52 dB down
            continue;
        }
        EXPECT_NEAR(dominantFrequency(tail, c.to, c.hz / 2, c.hz * 1.5), c.hz, 1.0);
        EXPECT_NEAR(20 * std::log10(toneAmplitude(tail, c.hz, c.to) / 10000.0), 0.0, c.aLawOut ? 0.2 : 0.1);
    }
}

TEST_F(AudioConverterTest, BlocksOneByOneEqualOneWholeConversion)
{
    for (unsigned int from : {48000u, 44100u}) {
        const std::vector<unsigned char> in = pcm(sine(700, from, from, 12000.0));
        AudioConverter whole(from, 8000, false, false, false, 1.0, from, RESAMPLE_SINC_MEDIUM_QUALITY);
        AudioConverter pieces(from, 8000, false, false, false, 1.0, 2048, RESAMPLE_SINC_MEDIUM_QUALITY);
        AudioConverter small(from, 8000, false, false, false, 1.0, 500, RESAMPLE_SINC_MEDIUM_QUALITY);
        const std::vector<unsigned char> a = convert(whole, in, in.size());
        const std::vector<unsigned char> b = convert(pieces, in, 2 * 1499);  // block ends between outputs
        const std::vector<unsigned char> c = convert(small, in, in.size());  // split to fit its buffers
        ASSERT_GT(a.size(), 15000u);
        EXPECT_TRUE(std::equal(a.begin(), a.begin() + long(std::min(a.size(), b.size())), b.begin())) << from;
        EXPECT_EQ(a, c) << from;
    }
}

TEST_F(AudioConverterTest, AdjustRateGlidesAcrossTheNextBlock)
{
    const std::vector<unsigned char> in = pcm(sine(500, 48000, 1500 * 8, 8000.0));
    const std::vector<unsigned char> head(in.begin(), in.begin() + 3000 * 4), tail(in.begin() + 3000 * 4, in.end());
    for (int quality : {RESAMPLE_LINEAR, RESAMPLE_SINC_FASTEST}) {
        SCOPED_TRACE(quality);
        AudioConverter converter(48000, 8000, false, false, false, 1.0, 2048, quality);
        std::vector<unsigned int> lengths;
        convert(converter, head, 3000);
        converter.adjustRate(16000);
        EXPECT_DOUBLE_EQ(converter.context().last_ratio, 1.0 / 6);
        convert(converter, tail, 3000, &lengths);
        // The ratio ramps from 1/6 to 1/3 over the block's output: 1500 frames
        // times the logarithmic mean of both ratios. Later blocks run at 1/3
        // (the sinc filter's look-ahead shrinks in the block after the glide).
        EXPECT_NEAR(lengths[0], 2 * 1500 * (1.0 / 6) / std::log(2.0), 10.0);
        for (size_t i = quality == RESAMPLE_LINEAR ? 1 : 2; i < lengths.size(); ++i)
            EXPECT_NEAR(lengths[i], 2 * 500.0, 4.0) << i;
        EXPECT_DOUBLE_EQ(converter.context().last_ratio, 1.0 / 3);
    }
}

TEST(ConvertAudioTest, EdgeCases)
{
    _G711_SetALawMode(false, false, 0x55, 0x55);
    std::vector<int16_t> s = {-16384, -20000, 20000, 1000, 3, -3};
    for (int i = 0; i < 154; ++i)
        s.push_back(int16_t(i * 400 - 32000));
    unsigned char* src = reinterpret_cast<unsigned char*>(s.data());
    std::vector<unsigned char> dst(640);
    int16_t* out = reinterpret_cast<int16_t*>(dst.data());
    unsigned int length = 0;
    LogCapture log;
    EXPECT_FALSE(ConvertAudio(48000, false, false, src, 320, 8000, false, true, dst.data(), &length, 1.0, nullptr));
    EXPECT_EQ(log.count(QtWarningMsg, "Kontext für SampleRate-Konvertierung nicht gegeben!"), 1);
    EXPECT_FALSE(ConvertAudio(8000, false, false, src, 320, 8000, true, false, dst.data(), &length, 1.0, nullptr));
    EXPECT_EQ(log.count(QtDebugMsg, "Mono/Stereo-Konvertierung nicht implementiert"), 1);

    RESAMPLE_CONTEXT unity = {};
    unity.src_ratio = 1.0;
    ASSERT_TRUE(ConvertAudio(8000, false, false, src, 320, 8000, false, true, dst.data(), &length, 1.0, &unity));
    EXPECT_EQ(length, 160u);
    EXPECT_EQ(dst[159], _G711_Linear2ALaw(s[159]));
    const std::vector<unsigned char> codes(dst.begin(), dst.begin() + 160);
    RESAMPLE_CONTEXT doubling = {};
    doubling.src_ratio = 2.0;
    ASSERT_TRUE(ConvertAudio(8000, false, true, const_cast<unsigned char*>(codes.data()), 160, 16000, false, true,
                             dst.data(), &length, 2.0, &doubling));
    EXPECT_EQ(std::vector<unsigned char>(dst.begin(), dst.begin() + length), codes);  // A-law copy, no gain

    // Linear copy with gain truncates and clips at -32767; A-law decode with gain at -32768.
    ASSERT_TRUE(ConvertAudio(8000, false, false, src, 12, 8000, false, false, dst.data(), &length, 2.0, nullptr));
    EXPECT_EQ(std::vector<int16_t>(out, out + 6), (std::vector<int16_t>{-32767, -32767, 32767, 2000, 6, -6}));
    ASSERT_TRUE(ConvertAudio(8000, false, false, src, 12, 8000, false, false, dst.data(), &length, 0.5, nullptr));
    EXPECT_EQ(out[4], 1);
    EXPECT_EQ(out[5], -1);
    ASSERT_TRUE(ConvertAudio(8000, false, true, const_cast<unsigned char*>(codes.data()) + 6, 1, 8000, false, false,
                             dst.data(), &length, 2.0, nullptr));
    EXPECT_EQ(out[0], -32768);
}

TEST(ConvertAudioTest, ConverterStateSetupAndShutdown)
{
    RESAMPLE_CONTEXT context = {};
    context.channels = 1;
    EXPECT_FALSE(ResampleSetConverter(&context, 5));
    EXPECT_FALSE(ResampleSetConverter(&context, -1));
    for (int type = 0; type <= 4; ++type) {
        ASSERT_TRUE(ResampleSetConverter(&context, type)) << type;
        EXPECT_FALSE(ResampleSetConverter(&context, type));  // holds one already
        ResampleShutdown(&context);
        EXPECT_EQ(context.private_data, nullptr);
    }
    // Resampling without a converter state yields nothing.
    float in[16] = {}, out[16] = {};
    context.src_ratio = 0.5;
    context.data_in = in;
    context.data_out = out;
    context.output_frames = 16;
    unsigned char src[32] = {}, dst[32];
    unsigned int length = 99;
    EXPECT_TRUE(ConvertAudio(16000, false, false, src, 32, 8000, false, true, dst, &length, 1.0, &context));
    EXPECT_EQ(length, 0u);
}
