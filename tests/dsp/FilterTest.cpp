#include "Filter.h"
#include "IIRFilter.h"
#include "SignalAnalysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

namespace {

// The block through the given filters in order, left and right state apart, rounded.
std::vector<short> reference(const std::vector<int>& block, std::initializer_list<IIRFilter*> filters)
{
    std::vector<short> out;
    for (size_t i = 0; i < block.size(); ++i) {
        double v = block[i];
        const auto side = i % 2 ? &IIRFilter::processRight : &IIRFilter::processLeft;
        for (IIRFilter* f : filters)
            (f->*side)(v, &v);
        out.push_back(short(std::lrint(v)));
    }
    return out;
}

// The block through the chain; the sums it stores in place must be what it writes.
std::vector<short> run(Filter& chain, std::vector<int> block)
{
    std::vector<short> out(block.size());
    chain.process(block.data(), reinterpret_cast<unsigned short*>(out.data()), int(block.size() / 2));
    EXPECT_EQ(block, std::vector<int>(out.begin(), out.end()));
    return out;
}

}  // namespace

TEST(IIRFilterTest, ButterworthAndNotchResponses)
{
    // Gain in dB of a sine through a fresh filter (q = 10), measured on the second half of one second.
    const auto responseDb = [](int kind, int stages, double cutoffHz, double atHz) {
        IIRFilter filter(kind, stages, cutoffHz / 48000.0, 1.0, 10.0);
        std::vector<double> out = SignalAnalysis::sine(atHz, 48000, 48000, 10000.0);
        for (double& v : out)
            filter.processLeft(v, &v);
        return 20.0 * std::log10(SignalAnalysis::toneAmplitude(SignalAnalysis::slice(out, 24000, 24000), atHz, 48000) /
                                 10000.0);
    };
    EXPECT_NEAR(responseDb(IIRFilter::KIND_LOWPASS, 1, 2000, 2000), -3.01, 0.05);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_LOWPASS, 2, 2000, 2000), -6.02, 0.1);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_LOWPASS, 1, 2000, 100), 0.0, 0.05);
    EXPECT_LT(responseDb(IIRFilter::KIND_LOWPASS, 2, 2000, 8000), -44.0);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_HIGHPASS, 1, 500, 500), -3.01, 0.05);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_HIGHPASS, 1, 500, 10000), 0.0, 0.05);
    EXPECT_LT(responseDb(IIRFilter::KIND_HIGHPASS, 1, 500, 100), -27.0);
    // The notch's q = 10 at 1 kHz puts its -3 dB points 100 Hz apart.
    EXPECT_LT(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 1000), -50.0);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 1050), -3.0, 0.3);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 950), -3.0, 0.3);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 100), 0.0, 0.05);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 10000), 0.0, 0.05);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_LOWPASS, 0, 2000, 2000), 0.0, 1e-9);  // no stage: unchanged
}

TEST(FilterTest, VolumeAndBalanceGains)
{
    // Each output is the gain times the input, rounded and clipped.
    const std::tuple<int, int, double, double> cases[] = {
        {100, 0, 1.0, 1.0},       {0, 0, 0.0, 0.0},         {255, 0, 1.8278, 1.8278},
        {100, 100, 0.0, 1.0},     {100, -50, 1.0, 0.58496}, {50, 40, std::log2(1.3), std::log2(1.5)},
        {356 & 0xFF, 0, 1.0, 1.0}};  // the facade keeps the low 8 bits
    const std::vector<int> in = {10000, 10000, -20000, 20000, 40000, -40000, 12345, -7};
    for (const auto& [volume, balance, left, right] : cases) {
        Filter chain;
        chain.setOutputVolume(static_cast<unsigned char>(volume));
        chain.setBalance(balance);
        const std::vector<short> out = run(chain, in);
        EXPECT_NEAR(out[0], 10000 * left, 0.5) << volume << "/" << balance;
        EXPECT_NEAR(out[1], 10000 * right, 0.5) << volume << "/" << balance;
        for (size_t i = 2; i < in.size(); ++i)
            EXPECT_EQ(out[i],
                      std::clamp(std::lrint(in[i] * (i % 2 ? chain.rightGain() : chain.leftGain())), -32768L, 32767L))
                << volume << "/" << balance << ": " << i;
    }
}

TEST(FilterTest, ChainRunsLowpassHighpassNotchWithSeparateSides)
{
    Filter chain;
    chain.enable(Filter::INDEX_LOWPASS, true);
    chain.enable(3, true);  // ignored
    // As stereo frames, a tone on each side, the right one a sample later.
    const std::vector<int16_t> tones = SignalAnalysis::toInt16(SignalAnalysis::sine(1700, 48000, 2048, 12000.0));
    const std::vector<int> block(tones.begin(), tones.end());
    EXPECT_EQ(run(chain, block), std::vector<short>(block.begin(), block.end()));  // no low-pass yet

    chain.setLowpass(4000, 2);
    chain.setHighpass(300, 2);
    chain.setNotch(1000, 100, 50);  // q = 10 - 9 * 0.5
    chain.enable(Filter::INDEX_HIGHPASS, true);
    chain.enable(Filter::INDEX_NOTCH, true);
    IIRFilter lp(IIRFilter::KIND_LOWPASS, 2, 4000 / 48000.0, 1.0, 10.0);
    IIRFilter hp(IIRFilter::KIND_HIGHPASS, 2, 300 / 48000.0, 1.0, 10.0);
    IIRFilter notch(IIRFilter::KIND_NOTCH, 1, 1000 / 48000.0, 1.0, 5.5);
    EXPECT_EQ(run(chain, block), reference(block, {&lp, &hp, &notch}));
    EXPECT_EQ(run(chain, block), reference(block, {&lp, &hp, &notch}));  // state carries over

    // Switched off, a filter keeps its state for later; replaced, it starts from zero state.
    chain.enable(Filter::INDEX_HIGHPASS, false);
    EXPECT_EQ(run(chain, block), reference(block, {&lp, &notch}));
    chain.enable(Filter::INDEX_HIGHPASS, true);
    EXPECT_EQ(run(chain, block), reference(block, {&lp, &hp, &notch}));
    chain.setNotch(1000, 100, 50);
    IIRFilter freshNotch(IIRFilter::KIND_NOTCH, 1, 1000 / 48000.0, 1.0, 5.5);
    EXPECT_EQ(run(chain, block), reference(block, {&lp, &hp, &freshNotch}));
}
