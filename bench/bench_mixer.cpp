// One mixing tick (mix of all channels + output stage + group reports) with
// N channels delivering constant audio, without and with all output filters.
#include "ChannelRegistry.h"
#include "MixingStep.h"
#include "PresentationGroup.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <vector>

namespace {
class ConstantChannel : public Channel
{
public:
    explicit ConstantChannel(qint16 v) : m_value(v) { unmute(CHANNEL_BOTH); }
    eSampleRate getSampleRate() override { return SAMPLE_RATE_NONE; }
    void deleteThis() override { delete this; }
    void getData(unsigned char* buffer, quint64 count) override
    {
        auto* s = reinterpret_cast<qint16*>(buffer);
        for (quint64 i = 0; i < count / 2; ++i)
            s[i] = m_value;
    }
    NTPTimestamp getCurrentTimestamp() override { return NTPTimestamp(); }
    qint16 m_value;
};

void mixingTick(benchmark::State& state)
{
    const int channels = int(state.range(0));
    const bool filters = state.range(1) != 0;
    ChannelRegistry registry;
    MixingStep step;
    std::vector<ConstantChannel> sources;
    sources.reserve(size_t(channels));
    for (int i = 0; i < channels; ++i) {
        sources.emplace_back(qint16(10 + i % 50));
        registry.addChannel(ChannelRegistry::kLive, &sources.back());
    }
    Filter& stage = step.outputStage();
    stage.setLowpass(2000, 2);
    stage.setHighpass(300, 2);
    stage.setNotch(500, 100, 0);
    for (int f = 0; f < 3; ++f)
        stage.enable(f, filters);
    registry.group(ChannelRegistry::kLive)->play(0);
    quint64 tick = 0;
    for (auto _ : state) {
        step.render(++tick, registry.snapshot(), registry.groups());
        benchmark::DoNotOptimize(step.outputBlock()[0]);
    }
    registry.removeAll();
    state.SetLabel(filters ? "all filters" : "no filters");
}
}  // namespace

BENCHMARK(mixingTick)->ArgsProduct({{1, 32, 128, 512}, {0, 1}})->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
