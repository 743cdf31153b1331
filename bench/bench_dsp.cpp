// Throughput of the signal-processing paths that run per block: G.711 array
// conversions, the mixer's output filter chain per tick and the talk-back
// capture conversion (48 kHz linear to 8 kHz A-law) per capture block.
#include "AudioConverter.h"
#include "Filter.h"
#include "G711.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

const int kG711Samples = 4096;

// Speech-like test signal: two tones and some noise at moderate level.
std::vector<short> testSignal(size_t count, double rate)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 800.0);
    std::vector<short> s(count);
    for (size_t i = 0; i < count; ++i) {
        const double t = double(i) / rate;
        const double v = 9000 * std::sin(2 * M_PI * 440 * t) + 4000 * std::sin(2 * M_PI * 1870 * t) + noise(rng);
        s[i] = short(std::lround(std::max(-32768.0, std::min(32767.0, v))));
    }
    return s;
}

void setModes()
{
    _G711_SetALawMode(false, false, 0x55, 0x55);
    _G711_SetULawMode(false, false, 0xFF, 0xFF, false);
}

template <void (*Convert)(const unsigned char*, unsigned char*, unsigned int, double)>
void BM_G711Decode(benchmark::State& state)
{
    setModes();
    std::mt19937 rng(1);
    std::vector<unsigned char> codes(kG711Samples);
    for (auto& c : codes)
        c = static_cast<unsigned char>(rng());
    std::vector<unsigned char> out(2 * kG711Samples);
    for (auto _ : state) {
        Convert(codes.data(), out.data(), kG711Samples, 1.0);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kG711Samples);
}

template <void (*Convert)(const unsigned char*, unsigned char*, unsigned int, double)>
void BM_G711Encode(benchmark::State& state)
{
    setModes();
    const std::vector<short> samples = testSignal(kG711Samples, 8000);
    std::vector<unsigned char> out(kG711Samples);
    const double gain = state.range(0) == 1 ? 1.0 : 0.8;
    for (auto _ : state) {
        Convert(reinterpret_cast<const unsigned char*>(samples.data()), out.data(), 2 * kG711Samples, gain);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kG711Samples);
}

BENCHMARK_TEMPLATE(BM_G711Decode, _G711_ConvertALaw2Linear);
BENCHMARK_TEMPLATE(BM_G711Decode, _G711_ConvertULaw2Linear);
BENCHMARK_TEMPLATE(BM_G711Encode, _G711_ConvertLinear2ALaw)->Arg(1);
BENCHMARK_TEMPLATE(BM_G711Encode, _G711_ConvertLinear2ULaw)->Arg(1);
// The gain path: one multiplication, truncation and clip per sample.
BENCHMARK_TEMPLATE(BM_G711Encode, _G711_ConvertLinear2ALaw)->Arg(0);

// One mixer tick: 1024 stereo frames through two-stage low- and high-pass,
// the notch, volume and balance. The accumulator is refilled every tick
// because process() stores the clipped values back into it.
void BM_FilterTick(benchmark::State& state)
{
    const int frames = 1024;
    Filter chain;
    chain.setLowpass(8000, 2);
    chain.setHighpass(100, 2);
    chain.setNotch(1000, 100, 50);
    for (int i = 0; i < 3; ++i)
        chain.enable(i, true);
    chain.setOutputVolume(90);
    chain.setBalance(10);
    const std::vector<short> mono = testSignal(frames, 48000);
    std::vector<int> mix(2 * frames), work(2 * frames);
    for (int f = 0; f < frames; ++f) {
        mix[size_t(2 * f)] = 2 * mono[size_t(f)];
        mix[size_t(2 * f + 1)] = mono[size_t(f)];
    }
    std::vector<unsigned short> out(2 * frames);
    for (auto _ : state) {
        std::memcpy(work.data(), mix.data(), mix.size() * sizeof(int));
        chain.process(work.data(), out.data(), frames);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * frames);
}
BENCHMARK(BM_FilterTick);

// One talk-back capture block: 1500 frames of 48 kHz linear PCM to 8 kHz
// A-law, converter type from the argument (2 is the default setting).
void BM_CaptureConvert(benchmark::State& state)
{
    setModes();
    const unsigned int frames = 1500;
    const int blocks = 64;
    AudioConverter converter(48000, 8000, false, false, true, 1.0, 2048, 0);
    converter.setQuality(int(state.range(0)));
    std::vector<short> stream = testSignal(size_t(frames) * blocks, 48000);
    std::vector<unsigned char> out(frames);
    int block = 0;
    for (auto _ : state) {
        unsigned int length = 0;
        converter.convert(reinterpret_cast<unsigned char*>(stream.data() + size_t(block) * frames), 2 * frames,
                          out.data(), &length);
        benchmark::DoNotOptimize(length);
        block = (block + 1) % blocks;
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * frames);
}
BENCHMARK(BM_CaptureConvert)->Arg(2)->Arg(0)->Arg(3);

}  // namespace

BENCHMARK_MAIN();
