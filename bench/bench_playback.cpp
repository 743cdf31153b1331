// Recorded playback at scale: 64 playback channels in one playback group at
// double speed, reading 64 streams of 60 s of A-law (1 s units) from one store.
//  - CPU per mixing tick on the mixer's side (the timed loop: one render of
//    all channels for the group's range);
//  - CPU per second of audio on the channels' and sessions' threads (process
//    CPU minus this thread's, over the run), reported as worker_ms_per_s.
// Between ticks the channels' threads get the time they would have in real
// time to refill their queues: the next tick starts once every channel has
// audio queued again.
#include "ChannelRegistry.h"
#include "Clock.h"
#include "G711.h"
#include "InprocPlaybackSession.h"
#include "MixingStep.h"
#include "PlaybackChannel.h"
#include "PresentationGroup.h"
#include "RecordingStore.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace {

const int kChannels = 64;
const int kUnitSeconds = 60;
const int kTicks = 1000;  // 42.7 s of recording at double speed
const NTPTimestamp kStart(quint32(3976214400U), 0);
const QString kGroup = QStringLiteral("P");

double cpuSeconds(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The store, written once per process: one 400 Hz A-law second per unit.
const QString& storePath()
{
    static QTemporaryDir dir;
    static const QString path = dir.filePath("playback.db");
    static bool written = false;
    if (written)
        return path;
    written = true;
    _G711_SetALawMode(false, false, 0x55, 0x55);
    QByteArray second(8000, '\0');
    for (int i = 0; i < second.size(); ++i)
        second[i] = char(_G711_Linear2ALaw(short(8000 * std::sin(2 * M_PI * 400 * i / 8000.0))));
    const QString sdp = "v=0\r\nm=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n";
    RecordingStore store(Clock::system());
    if (!store.open(path, RecordingStore::OPEN_OR_CREATE))
        qFatal("cannot create the store: %s", qPrintable(store.errorText()));
    for (int s = 0; s < kChannels; ++s) {
        QVector<RecordedUnit> units;
        const qint64 id = store.addStream(QString("s%1").arg(s), QString(), sdp);
        for (int u = 0; u < kUnitSeconds; ++u)
            units.append({id, kStart + NTPTimestamp::fromMilliseconds(quint64(u) * 1000),
                          kStart + NTPTimestamp::fromMilliseconds(quint64(u + 1) * 1000), sdp, second, false});
        store.writeUnits(units);
    }
    return path;
}

template <typename Pred>
void waitFor(Pred ready)
{
    while (!ready())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void playbackTick(benchmark::State& state)
{
    const QString path = storePath();
    ChannelRegistry registry;
    MixingStep step;
    registry.addPlaybackGroup(kGroup);
    std::vector<PlaybackChannel*> channels;
    for (int s = 0; s < kChannels; ++s) {
        auto* channel = new PlaybackChannel;
        auto session = std::make_unique<InprocPlaybackSession>();
        InprocPlaybackSession* raw = session.get();
        const QString name = QString("s%1").arg(s);
        channel->openSession(std::move(session),
                             [=] { return raw->init(path, QString(), name, "bench", false, false); }, name, "bench",
                             1.0, {});
        registry.addChannel(kGroup, channel);
        channels.push_back(channel);
    }
    const auto allHave = [&](auto has) {
        for (PlaybackChannel* c : channels)
            if (!has(c))
                return false;
        return true;
    };
    waitFor([&] { return allHave([](PlaybackChannel* c) { return c->hasStreamInfo(); }); });
    PresentationGroup* group = registry.group(kGroup);
    quint64 tick = 1;
    group->setPosition(kStart + NTPTimestamp::fromMilliseconds(1000), tick);
    group->setSpeed(200);
    group->play(tick);
    const auto queued = [](PlaybackChannel* c) { return !c->getCurrentTimestamp().isNull(); };

    const double processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double threadStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (auto _ : state) {
        state.PauseTiming();
        waitFor([&] { return allHave(queued); });
        state.ResumeTiming();
        step.render(++tick, registry.snapshot(), registry.groups());
        benchmark::DoNotOptimize(step.outputBlock()[0]);
    }
    const double workers =
        (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart) - (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadStart);
    const double audioSeconds = double(state.iterations()) * 8.0 / 375.0;
    state.counters["worker_ms_per_s"] = 1000.0 * workers / audioSeconds;
    double peakLevel = 0;
    for (int i = 0; i < 2048; ++i)
        peakLevel = std::max(peakLevel, std::fabs(double(step.outputBlock()[i])));
    state.counters["last_peak"] = peakLevel;  // not silent: the channels were heard
    registry.removeAll();
}
}  // namespace

BENCHMARK(playbackTick)->Iterations(kTicks)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
