// Cost of live audio per mixing tick: N G.711 A-law channels each take the
// RTP packets that fall due in one tick (20 ms packets, one or two per
// 21.33 ms tick), check, decode and queue them; then the mixing step takes
// one frame from every channel for the tick's range, sums them into the
// stereo accumulator and runs the output stage. The budget is 2.5 ms of CPU
// per tick for 128 channels.
#include "AlawStreams.h"
#include "LiveScene.h"
#include "RTPPacket.h"
#include "VariableBuffer.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <vector>

namespace {

const int kPayloadCycle = 50;  // one second of distinct payloads, repeated

// Endless streams: the packets of one second of each stream's tone, again and again.
class LiveBench
{
public:
    explicit LiveBench(int count) : m_scene(count)
    {
        for (int c = 0; c < count; ++c)
            m_payloads.push_back(AlawStreams::tone(c, kPayloadCycle * AlawStreams::kPacketSamples));
    }

    void tick()
    {
        const quint64 due = LiveScene::packetsDueBefore(m_scene.ticksMixed());
        for (; m_packet < due; ++m_packet) {
            const quint32 timestamp = quint32(m_packet * AlawStreams::kPacketSamples);
            const size_t offset = size_t(m_packet % kPayloadCycle) * AlawStreams::kPacketSamples;
            for (int c = 0; c < m_scene.count(); ++c) {
                const RTPPacket packet(m_packetBuffer, AlawStreams::ssrc(c), quint16(m_packet), timestamp,
                                       AlawStreams::kPayloadType, m_payloads[size_t(c)].data() + offset,
                                       AlawStreams::kPacketSamples, false);
                m_scene.deliver(c, packet);
            }
        }
        m_scene.mixTick();
        benchmark::DoNotOptimize(m_scene.output());
    }

    const LiveScene& scene() const { return m_scene; }
    quint64 packets() const { return m_packet; }

private:
    LiveScene m_scene;
    std::vector<std::vector<unsigned char>> m_payloads;
    VariableBuffer m_packetBuffer{1500};
    quint64 m_packet = 0;
};

void BM_LiveTick(benchmark::State& state)
{
    const int count = int(state.range(0));
    LiveBench bench(count);
    for (int i = 0; i < 50; ++i)  // decoders set up, queues filled to their working depth
        bench.tick();
    const quint64 packetsBefore = bench.packets();
    for (auto _ : state)
        bench.tick();
    if (bench.scene().peak() == 0)
        state.SkipWithError("the channels played silence");
    state.counters["channels"] = count;
    const double ticks = double(std::max<benchmark::IterationCount>(1, state.iterations()));
    state.counters["packets/tick"] = double(bench.packets() - packetsBefore) * count / ticks;
}

BENCHMARK(BM_LiveTick)
    ->Arg(1)
    ->Arg(32)
    ->Arg(128)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void quiet(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

}  // namespace

int main(int argc, char** argv)
{
    // The channels' stale timers need an event dispatcher on this thread.
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
