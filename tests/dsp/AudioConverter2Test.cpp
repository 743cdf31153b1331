#include "AudioConverter2.h"
#include "G711.h"
#include "LogCapture.h"
#include "SignalAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

using namespace SignalAnalysis;
using C2 = AudioConverter2;
constexpr C2::CHANNEL_LAYOUT MONO = C2::CHANNEL_LAYOUT_MONO, STEREO = C2::CHANNEL_LAYOUT_STEREO;
constexpr C2::CODEC ALAW = C2::CODEC_ALAW, ULAW = C2::CODEC_ULAW, PCM = C2::CODEC_PCM_S16;

namespace {

// Runs a stream through the converter block by block and joins the output.
std::vector<unsigned char> stream(C2& converter, const std::vector<unsigned char>& in, size_t block, int room)
{
    std::vector<unsigned char> out, dst(size_t(room) + 1);
    for (size_t pos = 0; pos < in.size(); pos += block) {
        int length = -1;
        const int size = int(std::min(block, in.size() - pos));
        EXPECT_TRUE(converter.convert(in.data() + pos, size, dst.data(), room, &length));
        out.insert(out.end(), dst.begin(), dst.begin() + length);
    }
    return out;
}

std::vector<unsigned char> bytes(const std::vector<int16_t>& s)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    return {p, p + 2 * s.size()};
}

}  // namespace

TEST(AudioConverter2Test, CodecChangesAtEqualRateUseTheTablesAndEdgeCases)
{
    _G711_SetALawMode(false, false, 0x55, 0x55);  // the tables are empty until the modes are set
    _G711_SetULawMode(false, false, 0xFF, 0xFF, false);
    std::vector<unsigned char> codes(200), expected(200);
    std::vector<int16_t> pcm;
    for (size_t i = 0; i < codes.size(); ++i) {
        codes[i] = static_cast<unsigned char>(i * 7);
        pcm.push_back(int16_t(i * 320 - 32000));
    }
    _G711_ConvertALaw2ULaw(codes.data(), expected.data(), 200);
    C2 aToU(8000, 8000, MONO, MONO, ALAW, ULAW, 1.0);
    EXPECT_EQ(stream(aToU, codes, 200, 200), expected);
    EXPECT_EQ(stream(aToU, codes, 200, 150).size(), 150u);  // limited by the room
    for (C2::CODEC codec : {ALAW, ULAW}) {
        // Stereo pairs to codes (a gain takes the general path) and back, limited by the room.
        C2 encoder(8000, 8000, STEREO, STEREO, PCM, codec, 1.0 + 1e-9);
        C2 decoder(8000, 8000, MONO, MONO, codec, PCM, 1.0);
        const std::vector<unsigned char> coded = stream(encoder, bytes(pcm), 400, 400);
        ASSERT_EQ(coded.size(), 200u);
        EXPECT_EQ(coded[17], codec == ALAW ? _G711_Linear2ALaw(pcm[17]) : _G711_Linear2ULaw(pcm[17]));
        EXPECT_EQ(stream(decoder, coded, 200, 300).size(), 300u);
    }

    // A gain alone cannot be applied; an unknown codec takes the general path, and there is no resampler.
    unsigned char in[4] = {}, out[4];
    int length = -1;
    C2 gainOnly(8000, 8000, MONO, MONO, PCM, PCM, 2.0), unknown(8000, 8000, MONO, MONO, C2::CODEC(5), ALAW, 1.0);
    EXPECT_FALSE(gainOnly.convert(in, 4, out, 4, &length));
    LogCapture log;
    EXPECT_FALSE(unknown.convert(in, 4, out, 4, nullptr));
    EXPECT_EQ(std::make_pair(log.count(QtWarningMsg, "ASSERT: \"false\""), length), std::make_pair(1, -1));
    EXPECT_EQ(std::make_tuple(C2::getBytesPerSample(PCM), C2::getBytesPerSample(C2::CODEC(3)),
                              C2::getNumOfChannels(STEREO), C2::getNumOfChannels(C2::CHANNEL_LAYOUT(7))),
              std::make_tuple(2, 0, 2, 1));
}

TEST(AudioConverter2Test, TonesThroughTheResamplerKeepFrequencyAndLevel)
{
    _G711_SetALawMode(false, false, 0x55, 0x55);  // the tables are empty until the modes are set
    _G711_SetULawMode(false, false, 0xFF, 0xFF, false);
    // Stereo to mono (the down-mix within 3 dB), and A-law to mu-law with a gain of 2.
    std::vector<int16_t> interleaved;
    for (int16_t v : toInt16(sine(1000, 48000, 48000, 8000.0)))
        interleaved.insert(interleaved.end(), 2, v);
    std::vector<unsigned char> codes;
    for (int16_t v : toInt16(sine(600, 8000, 8000, 6000.0)))
        codes.push_back(_G711_Linear2ALaw(v));
    C2 downMix(48000, 8000, STEREO, MONO, PCM, PCM, 1.0), aToU(8000, 16000, MONO, MONO, ALAW, ULAW, 2.0);
    const std::vector<unsigned char> pcm = stream(downMix, bytes(interleaved), 3840, 4000);
    std::vector<double> mono, u;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2)
        mono.push_back(int16_t(pcm[i] | pcm[i + 1] << 8));
    for (unsigned char c : stream(aToU, codes, 160, 400))
        u.push_back(_G711_ULaw2Linear(c));
    EXPECT_TRUE(mono.size() > 7800u && mono.size() <= 8000u) << mono.size();  // less the resampler's delay
    const std::vector<double> monoTail(mono.begin() + 1000, mono.end()), uTail(u.begin() + 2000, u.end());
    EXPECT_NEAR(dominantFrequency(monoTail, 8000, 500, 2000), 1000.0, 1.0);
    EXPECT_NEAR(20 * std::log10(toneAmplitude(monoTail, 1000, 8000) / 8000.0), 0.0, 3.1);
    EXPECT_NEAR(dominantFrequency(uTail, 16000, 300, 1200), 600.0, 1.0);
    EXPECT_NEAR(20 * std::log10(toneAmplitude(uTail, 600, 16000) / 12000.0), 0.0, 0.3);

    // A copy of a new converter converts alike (here mono to stereo).
    C2 original(16000, 8000, MONO, STEREO, PCM, PCM, 1.0), copy(original);
    const std::vector<unsigned char> tone = bytes(toInt16(sine(300, 16000, 3200, 7000.0)));
    EXPECT_EQ(stream(copy, tone, 640, 640), stream(original, tone, 640, 640));
}
