#include "Filter.h"
#include "IIRFilter.h"
#include "SignalAnalysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace SignalAnalysis;

namespace {

// Gain in dB of a sine through a fresh filter, measured on the second half of
// one second at 48 kHz, after the transient.
double responseDb(int kind, int stages, double cutoffHz, double q, double atHz)
{
    IIRFilter filter(kind, stages, cutoffHz / 48000.0, 1.0, q);
    const std::vector<double> in = sine(atHz, 48000, 48000, 10000.0);
    std::vector<double> out(in.size());
    for (size_t i = 0; i < in.size(); ++i)
        filter.processLeft(in[i], &out[i]);
    const std::vector<double> tail(out.begin() + 24000, out.end()), ref(in.begin() + 24000, in.end());
    return 20.0 * std::log10(toneAmplitude(tail, atHz, 48000) / toneAmplitude(ref, atHz, 48000));
}

std::vector<int> stereoTones(double leftHz, double rightHz, int frames)
{
    std::vector<int> block;
    for (int f = 0; f < frames; ++f) {
        block.push_back(int(std::lround(12000 * std::sin(2 * M_PI * leftHz * f / 48000))));
        block.push_back(int(std::lround(9000 * std::sin(2 * M_PI * rightHz * f / 48000))));
    }
    return block;
}

// The block through the given filters in order, left and right state apart, rounded.
std::vector<short> reference(const std::vector<int>& block, std::initializer_list<IIRFilter*> filters)
{
    std::vector<short> out(block.size());
    for (size_t i = 0; i < block.size(); i += 2) {
        double l = block[i], r = block[i + 1];
        for (IIRFilter* f : filters) {
            f->processLeft(l, &l);
            f->processRight(r, &r);
        }
        out[i] = short(std::lrint(l));
        out[i + 1] = short(std::lrint(r));
    }
    return out;
}

std::vector<short> run(Filter& chain, std::vector<int> block)
{
    std::vector<unsigned short> out(block.size());
    chain.process(block.data(), out.data(), int(block.size() / 2));
    return std::vector<short>(out.begin(), out.end());
}

}  // namespace

TEST(IIRFilterTest, ButterworthResponse)
{
    EXPECT_NEAR(responseDb(IIRFilter::KIND_LOWPASS, 1, 2000, 10, 2000), -3.01, 0.05);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_LOWPASS, 2, 2000, 10, 2000), -6.02, 0.1);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_LOWPASS, 1, 2000, 10, 100), 0.0, 0.05);
    EXPECT_LT(responseDb(IIRFilter::KIND_LOWPASS, 2, 2000, 10, 8000), -44.0);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_HIGHPASS, 1, 500, 10, 500), -3.01, 0.05);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_HIGHPASS, 1, 500, 10, 10000), 0.0, 0.05);
    EXPECT_LT(responseDb(IIRFilter::KIND_HIGHPASS, 1, 500, 10, 100), -27.0);
    double y = 0;
    IIRFilter(IIRFilter::KIND_LOWPASS, 0, 0.1, 1.0, 10.0).processRight(-5.5, &y);
    EXPECT_EQ(y, -5.5);  // no stage: unchanged
}

TEST(IIRFilterTest, NotchDepthAndWidth)
{
    // q = 10 at 1 kHz: 100 Hz between the -3 dB points.
    EXPECT_LT(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 10, 1000), -50.0);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 10, 1050), -3.0, 0.3);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 10, 950), -3.0, 0.3);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 10, 100), 0.0, 0.05);
    EXPECT_NEAR(responseDb(IIRFilter::KIND_NOTCH, 1, 1000, 10, 10000), 0.0, 0.05);
}

TEST(FilterTest, NewChainRoundsAndClips)
{
    Filter chain;
    std::vector<int> block = {40000, -40000, 12345, -7};
    std::vector<unsigned short> out(4);
    chain.process(block.data(), out.data(), 2);
    EXPECT_EQ(block, (std::vector<int>{32767, -32768, 12345, -7}));
    EXPECT_EQ(std::vector<short>(out.begin(), out.end()), (std::vector<short>{32767, -32768, 12345, -7}));
}

TEST(FilterTest, VolumeAndBalanceGains)
{
    struct Case {
        int volume, balance;
        double left, right;
    } const cases[] = {{100, 0, 1.0, 1.0},          {0, 0, 0.0, 0.0},
                       {255, 0, 1.8278, 1.8278},    {100, 100, 0.0, 1.0},
                       {100, -50, 1.0, 0.58496},    {50, 40, std::log2(1.3), std::log2(1.5)},
                       {356 & 0xFF, 0, 1.0, 1.0}};  // the facade keeps the low 8 bits
    for (const Case& c : cases) {
        Filter chain;
        chain.setOutputVolume(static_cast<unsigned char>(c.volume));
        chain.setBalance(c.balance);
        const std::vector<short> out = run(chain, {10000, 10000, -20000, 20000});
        EXPECT_NEAR(out[0], 10000 * c.left, 0.5) << c.volume << "/" << c.balance;
        EXPECT_NEAR(out[1], 10000 * c.right, 0.5) << c.volume << "/" << c.balance;
        EXPECT_EQ(out[2], std::max(-32768L, std::lrint(-20000 * chain.leftGain())));
        EXPECT_EQ(out[3], std::min(32767L, std::lrint(20000 * chain.rightGain())));
    }
}

TEST(FilterTest, ChainRunsLowpassHighpassNotchWithSeparateSides)
{
    Filter chain;
    chain.enable(Filter::INDEX_LOWPASS, true);
    chain.enable(3, true);  // ignored
    const std::vector<int> block = stereoTones(1000, 3000, 1024);
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
}

TEST(FilterTest, SwitchingOffKeepsStateAndReplacingResetsIt)
{
    const std::vector<int> block = stereoTones(300, 500, 1024);
    Filter steady, toggled;
    for (Filter* f : {&steady, &toggled}) {
        f->setHighpass(400, 2);
        f->enable(Filter::INDEX_HIGHPASS, true);
        run(*f, block);
    }
    toggled.enable(Filter::INDEX_HIGHPASS, false);
    run(toggled, std::vector<int>(2048, 5000));
    toggled.enable(Filter::INDEX_HIGHPASS, true);
    const std::vector<short> expected = run(steady, block);
    EXPECT_EQ(run(toggled, block), expected);
    toggled.setHighpass(400, 2);
    EXPECT_NE(run(toggled, block), expected);
}
