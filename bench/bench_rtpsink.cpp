// CPU time of one talk-back capture cycle without the device: the two
// high-pass stages, the 8 kHz and 16 kHz A-law conversions and the RTP
// packets for one destination of each rate (in-process, so no socket time).
// Reports the median microseconds per 1500-frame cycle as "median_us".
#include "G711.h"
#include "KavexUdpSender.h"
#include "RtpSink.h"

#include <QHostAddress>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

// Drives the capture thread's steps directly.
class MeasuredRtpSink : public RtpSink
{
public:
    explicit MeasuredRtpSink(int channels)
    {
        rebuildProcessing(channels);
        addDestination(QHostAddress(QHostAddress::LocalHost), 0, SAMPLE_RATE_8000, QHostAddress());
        addDestination(QHostAddress(QHostAddress::LocalHost), 0, SAMPLE_RATE_16000, QHostAddress());
    }
    using RtpSink::captureBuffer;
    using RtpSink::processCapturedBlock;
};

// One second of speech-like 48 kHz audio: two tones and some noise.
std::vector<qint16> testSignal(int channels)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 800.0);
    std::vector<qint16> s(size_t(48000 * channels));
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = double(i / size_t(channels)) / 48000.0;
        const double v = 9000 * std::sin(2 * M_PI * 440 * t) + 4000 * std::sin(2 * M_PI * 1870 * t) + noise(rng);
        s[i] = qint16(std::lround(std::clamp(v, -32768.0, 32767.0)));
    }
    return s;
}

void BM_CaptureCycle(benchmark::State& state)
{
    const int channels = int(state.range(0));
    const int frames = RtpSink::MIC_BLOCK_FRAMES;
    const size_t blockSamples = size_t(frames * channels);
    _G711_SetALawMode(false, false, 0x55, 0x55);
    QTemporaryDir config;
    qputenv("OSTKAVEX_CONFIG_DIR", config.path().toUtf8());  // default settings

    MeasuredRtpSink sink(channels);
    KavexUdpSender sender;
    const std::vector<qint16> signal = testSignal(channels);
    size_t position = 0;
    std::vector<double> cycleUs;
    for (auto _ : state) {
        // The next block of the looping signal, as the device would deliver
        // it (a copy of 3 to 6 KB, outside the median).
        if (position + blockSamples > signal.size())
            position = 0;
        std::memcpy(sink.captureBuffer(), signal.data() + position, blockSamples * sizeof(qint16));
        position += blockSamples;

        const auto start = std::chrono::steady_clock::now();
        sink.processCapturedBlock(frames, sender);
        const auto end = std::chrono::steady_clock::now();
        cycleUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::nth_element(cycleUs.begin(), cycleUs.begin() + cycleUs.size() / 2, cycleUs.end());
    state.counters["median_us"] = cycleUs[cycleUs.size() / 2];
    state.SetItemsProcessed(int64_t(state.iterations()) * frames);
}
BENCHMARK(BM_CaptureCycle)->Arg(1)->Arg(2)->ArgName("channels")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
