// Cost of live audio per mixing tick: N G.711 A-law channels each take the
// RTP packets that fall due in one tick (20 ms packets, one or two per
// 21.33 ms tick), check, decode and queue them; then the mixer's part takes
// one frame from every channel for the tick's range and sums them into the
// stereo accumulator. The budget is 2.5 ms of CPU per tick for 128 channels.
#include "AudioFrameDefs.h"
#include "NTPTimestamp.h"
#include "RTCPPacket.h"
#include "RTPPacket.h"
#include "RtpChannel.h"
#include "VariableBuffer.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDateTime>

#include <cmath>
#include <memory>
#include <vector>

namespace {

const int kPacketSamples = 160;  // 20 ms at 8 kHz
const NTPTimestamp kPacketDuration = NTPTimestamp::fromMilliseconds(20);
const NTPTimestamp kTick = AudioFrameDefs::frameDuration();
// Packets arrive this long before the mixer plays them (the receiving side's
// delay of 120 ms for G.711 is on top of it).
const NTPTimestamp kNetworkLead = NTPTimestamp::fromMilliseconds(60);
const int kPayloadCycle = 50;  // one second of distinct payloads, repeated

unsigned char alaw(int sample)
{
    const int mask = sample >= 0 ? 0xD5 : 0x55;
    int magnitude = (sample >= 0 ? sample : -sample - 1) >> 3;
    int segment = 0;
    while (segment < 7 && magnitude >= (0x20 << segment))
        ++segment;
    const int quant = segment < 2 ? (magnitude >> 1) & 0x0f : (magnitude >> segment) & 0x0f;
    return static_cast<unsigned char>(((segment << 4) | quant) ^ mask);
}

const QString kSdp = QStringLiteral("v=0\r\nm=audio 5004 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n");

struct ChannelDeleter {
    void operator()(RtpChannel* c) const { c->deleteThis(); }
};

class LiveScene
{
public:
    explicit LiveScene(int count) : m_base(NTPTimestamp::fromDateTime(QDateTime::currentDateTimeUtc()))
    {
        // Speech-band content, a different tone per channel.
        m_payloads.resize(size_t(count));
        for (int c = 0; c < count; ++c) {
            m_payloads[size_t(c)].resize(size_t(kPayloadCycle * kPacketSamples));
            for (int i = 0; i < kPayloadCycle * kPacketSamples; ++i)
                m_payloads[size_t(c)][size_t(i)] = alaw(int(6000 * std::sin(2 * M_PI * (200 + 20 * c) * i / 8000.0)));
        }
        std::vector<unsigned char> frame(AudioFrameDefs::BYTES_IN_FRAME);
        VariableBuffer report;
        const int reportSize = RTCPPacket::writeSenderReport(report, 1, m_base, 0, 0, 0);
        for (int c = 0; c < count; ++c) {
            m_channels.emplace_back(new RtpChannel(kSdp, 1.0));
            m_channels.back()->unmute(CHANNEL_BOTH);
            m_channels.back()->getData(NTPRange(m_base, m_base + kTick), frame.data());  // applies the SDP
            m_channels.back()->rtcp(RTCPPacket(report.getBuffer(), reportSize));
        }
        m_channelBuffer.resize(AudioFrameDefs::SAMPLES_IN_FRAME);
        m_mix.resize(2 * AudioFrameDefs::SAMPLES_IN_FRAME);
    }

    // One tick: the packets that have arrived by now, then one mixed frame.
    void tick()
    {
        const NTPTimestamp playStart = m_base + kTick * m_tick;
        const NTPTimestamp arrived = playStart + kTick + kNetworkLead;
        while (m_base + kPacketDuration * (m_packet + 1) <= arrived) {
            const quint32 timestamp = quint32(m_packet * kPacketSamples);
            const size_t offset = size_t(m_packet % kPayloadCycle) * kPacketSamples;
            for (size_t c = 0; c < m_channels.size(); ++c) {
                const RTPPacket packet(m_packetBuffer, 1, quint16(m_packet), timestamp, 8,
                                       m_payloads[c].data() + offset, kPacketSamples, false);
                m_channels[c]->depay(packet);
            }
            ++m_packet;
        }

        // The mixer's range runs 120 ms behind the wall clock; the channel
        // takes G.711 another 120 ms earlier, so [playStart, +tick] is played.
        const NTPTimestamp lead = NTPTimestamp::fromMilliseconds(120);
        const NTPRange range(playStart + lead, playStart + lead + kTick);
        std::fill(m_mix.begin(), m_mix.end(), 0);
        for (auto& channel : m_channels) {
            channel->getData(range, reinterpret_cast<unsigned char*>(m_channelBuffer.data()));
            const qint16* in = m_channelBuffer.data();
            qint32* out = m_mix.data();
            for (int i = 0; i < AudioFrameDefs::SAMPLES_IN_FRAME; ++i) {
                out[2 * i] += in[i];
                out[2 * i + 1] += in[i];
            }
        }
        benchmark::DoNotOptimize(m_mix.data());
        ++m_tick;
    }

    qint64 peak() const
    {
        qint64 p = 0;
        for (qint32 v : m_mix)
            p = std::max<qint64>(p, std::abs(v));
        return p;
    }
    quint64 packets() const { return m_packet; }

private:
    NTPTimestamp m_base;
    std::vector<std::unique_ptr<RtpChannel, ChannelDeleter>> m_channels;
    std::vector<std::vector<unsigned char>> m_payloads;
    VariableBuffer m_packetBuffer{1500};
    std::vector<qint16> m_channelBuffer;
    std::vector<qint32> m_mix;
    quint64 m_tick = 0;
    quint64 m_packet = 0;
};

void BM_LiveTick(benchmark::State& state)
{
    const int count = int(state.range(0));
    LiveScene scene(count);
    for (int i = 0; i < 50; ++i)  // decoders set up, queues filled to their working depth
        scene.tick();
    const quint64 packetsBefore = scene.packets();
    for (auto _ : state)
        scene.tick();
    if (scene.peak() == 0)
        state.SkipWithError("the channels played silence");
    state.counters["channels"] = count;
    const double ticks = double(std::max<benchmark::IterationCount>(1, state.iterations()));
    state.counters["packets/tick"] = double(scene.packets() - packetsBefore) * count / ticks;
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
