#include "AudioConverter2.h"
#include "G711.h"
#include "LogCapture.h"
#include "SignalAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace SignalAnalysis;
using C2 = AudioConverter2;

namespace {

// Runs a stream through the converter block by block and joins the output.
std::vector<unsigned char> stream(C2& converter, const std::vector<unsigned char>& in, size_t block, int room)
{
    std::vector<unsigned char> out, dst(size_t(room) + 1);
    for (size_t pos = 0; pos < in.size(); pos += block) {
        int length = -1;
        EXPECT_TRUE(converter.convert(in.data() + pos, int(std::min(block, in.size() - pos)), dst.data(), room, &length));
        out.insert(out.end(), dst.begin(), dst.begin() + length);
    }
    return out;
}

std::vector<unsigned char> bytes(const std::vector<int16_t>& s)
{
    return std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(s.data()),
                                      reinterpret_cast<const unsigned char*>(s.data() + s.size()));
}

class AudioConverter2Test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        _G711_SetALawMode(false, false, 0x55, 0x55);
        _G711_SetULawMode(false, false, 0xFF, 0xFF, false);
    }
};

}  // namespace

TEST_F(AudioConverter2Test, CodecChangesAtEqualRateUseTheTables)
{
    std::vector<unsigned char> codes(200), expected(200), out(400);
    for (size_t i = 0; i < codes.size(); ++i)
        codes[i] = static_cast<unsigned char>(i * 7);
    _G711_ConvertALaw2ULaw(codes.data(), expected.data(), 200);
    C2 aToU(8000, 8000, C2::CHANNEL_LAYOUT_MONO, C2::CHANNEL_LAYOUT_MONO, C2::CODEC_ALAW, C2::CODEC_ULAW, 1.0);
    EXPECT_EQ(stream(aToU, codes, 200, 200), expected);
    EXPECT_EQ(stream(aToU, codes, 200, 150).size(), 150u);  // limited by the room

    std::vector<int16_t> pcm;
    for (int i = 0; i < 160; ++i)
        pcm.push_back(int16_t(i * 400 - 32000));
    for (C2::CODEC codec : {C2::CODEC_ALAW, C2::CODEC_ULAW}) {
        C2 encoder(8000, 8000, C2::CHANNEL_LAYOUT_STEREO, C2::CHANNEL_LAYOUT_STEREO, C2::CODEC_PCM_S16, codec,
                   1.0 + 1e-9);
        const std::vector<unsigned char> coded = stream(encoder, bytes(pcm), 320, 400);
        ASSERT_EQ(coded.size(), 160u);
        EXPECT_EQ(coded[17], codec == C2::CODEC_ALAW ? _G711_Linear2ALaw(pcm[17]) : _G711_Linear2ULaw(pcm[17]));
        C2 decoder(8000, 8000, C2::CHANNEL_LAYOUT_MONO, C2::CHANNEL_LAYOUT_MONO, codec, C2::CODEC_PCM_S16, 1.0);
        EXPECT_EQ(stream(decoder, coded, 160, 300).size(), 300u);
    }
}

TEST_F(AudioConverter2Test, StereoToMonoThroughTheResampler)
{
    std::vector<int16_t> interleaved;
    for (double v : sine(1000, 48000, 48000, 8000.0))
        interleaved.insert(interleaved.end(), 2, int16_t(std::lround(v)));
    C2 converter(48000, 8000, C2::CHANNEL_LAYOUT_STEREO, C2::CHANNEL_LAYOUT_MONO, C2::CODEC_PCM_S16,
                 C2::CODEC_PCM_S16, 1.0);
    const std::vector<unsigned char> out = stream(converter, bytes(interleaved), 3840, 4000);
    std::vector<double> s;
    for (size_t i = 0; i + 1 < out.size(); i += 2)
        s.push_back(int16_t(out[i] | out[i + 1] << 8));
    EXPECT_GT(s.size(), 7800u);  // one second less the resampler's delay
    EXPECT_LE(s.size(), 8000u);
    const std::vector<double> tail(s.begin() + 1000, s.end());
    EXPECT_NEAR(dominantFrequency(tail, 8000, 500, 2000), 1000.0, 1.0);
    EXPECT_NEAR(20 * std::log10(toneAmplitude(tail, 1000, 8000) / 8000.0), 0.0, 3.1);  // down-mix within 3 dB
}

TEST_F(AudioConverter2Test, G711ResampledWithGain)
{
    std::vector<unsigned char> codes;
    for (double v : sine(600, 8000, 8000, 6000.0))
        codes.push_back(_G711_Linear2ALaw(short(std::lround(v))));
    C2 converter(8000, 16000, C2::CHANNEL_LAYOUT_MONO, C2::CHANNEL_LAYOUT_MONO, C2::CODEC_ALAW, C2::CODEC_ULAW, 2.0);
    std::vector<double> s;
    for (unsigned char c : stream(converter, codes, 160, 400))
        s.push_back(_G711_ULaw2Linear(c));
    const std::vector<double> tail(s.begin() + 2000, s.end());
    EXPECT_NEAR(dominantFrequency(tail, 16000, 300, 1200), 600.0, 1.0);
    EXPECT_NEAR(20 * std::log10(toneAmplitude(tail, 600, 16000) / 12000.0), 0.0, 0.3);

}

TEST_F(AudioConverter2Test, EdgeCases)
{
    unsigned char in[4] = {}, out[4];
    int length = -1;
    C2 gainOnly(8000, 8000, C2::CHANNEL_LAYOUT_MONO, C2::CHANNEL_LAYOUT_MONO, C2::CODEC_PCM_S16, C2::CODEC_PCM_S16, 2.0);
    EXPECT_FALSE(gainOnly.convert(in, 4, out, 4, &length));
    C2 unknown(8000, 8000, C2::CHANNEL_LAYOUT_MONO, C2::CHANNEL_LAYOUT_MONO, C2::CODEC(5), C2::CODEC_ALAW, 1.0);
    LogCapture log;
    EXPECT_FALSE(unknown.convert(in, 4, out, 4, nullptr));  // general path, and no resampler at equal rates
    EXPECT_EQ(log.count(QtWarningMsg, "ASSERT: \"false\""), 1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(C2::getBytesPerSample(C2::CODEC_PCM_S16), 2);
    EXPECT_EQ(C2::getBytesPerSample(C2::CODEC(3)), 0);
    EXPECT_EQ(C2::getNumOfChannels(C2::CHANNEL_LAYOUT_STEREO), 2);
    EXPECT_EQ(C2::getNumOfChannels(C2::CHANNEL_LAYOUT(7)), 1);

    const std::vector<unsigned char> tone = bytes(toInt16(sine(300, 16000, 3200, 7000.0)));
    C2 original(16000, 8000, C2::CHANNEL_LAYOUT_MONO, C2::CHANNEL_LAYOUT_STEREO, C2::CODEC_PCM_S16, C2::CODEC_PCM_S16, 1.0);
    C2 copy(original);
    EXPECT_EQ(stream(copy, tone, 640, 640), stream(original, tone, 640, 640));
}
