// Decoding cost per codec: CPU time spent per second of audio when a
// decoder is fed one RTP payload at a time, as the live channel does.
#include "Decoder.h"

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace {

constexpr double kStreamSeconds = 10.0;

struct Stream {
    QList<QByteArray> packets;
    double packetSeconds = 0.0;
};

struct Codec {
    const char* sdpName;
    int clockRate;
    QStringList encode;
    int packetBytes;  // 0: one coded frame per packet
};

const Codec kCodecs[] = {
    {"PCMA", 8000, {"-ar", "8000", "-f", "alaw"}, 160},
    {"PCMU", 8000, {"-ar", "8000", "-f", "mulaw"}, 160},
    {"G726-32", 8000, {"-ar", "8000", "-c:a", "g726", "-b:a", "32k", "-f", "g726"}, 80},
    {"G726-16", 8000, {"-ar", "8000", "-c:a", "g726", "-b:a", "16k", "-f", "g726"}, 40},
    {"MPA", 90000, {"-ar", "48000", "-c:a", "mp2", "-b:a", "128k", "-f", "mp2"}, 0},
    {"AAC", 48000, {"-ar", "48000", "-c:a", "aac", "-b:a", "64k", "-f", "adts"}, 0},
    {"AC3", 48000, {"-ar", "48000", "-ac", "2", "-c:a", "ac3", "-b:a", "192k", "-f", "ac3"}, 0},
};

QByteArray run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, QStringList{"-hide_banner", "-loglevel", "error"} + args);
    p.waitForFinished(120000);
    return p.exitCode() == 0 ? p.readAllStandardOutput() : QByteArray();
}

// A speech-band test signal encoded by the ffmpeg tool and cut into payloads.
Stream makeStream(const Codec& codec)
{
    Stream s;
    QTemporaryDir dir;
    const QString path = dir.filePath("stream");
    const QString source = QStringLiteral("aevalsrc=0.3*sin(2*PI*(160+40*sin(3*t))*t)+0.15*sin(2*PI*1250*t)"
                                          "+0.04*(random(0)-0.5):s=48000:d=%1")
                               .arg(kStreamSeconds);
    run("ffmpeg",
        QStringList{"-nostdin", "-y", "-f", "lavfi", "-i", source, "-ac", "1"} + codec.encode + QStringList{path});
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return s;
    const QByteArray bytes = file.readAll();
    if (codec.packetBytes) {
        for (int pos = 0; pos + codec.packetBytes <= bytes.size(); pos += codec.packetBytes)
            s.packets.append(bytes.mid(pos, codec.packetBytes));
    } else {
        // Frame boundaries as the ffmpeg prober reports them: "size,pos" per line.
        const QByteArray list = run("ffprobe", {"-show_entries", "packet=size,pos", "-of", "csv=p=0", path});
        for (const QByteArray& line : list.split('\n')) {
            const QList<QByteArray> f = line.split(',');
            if (f.size() == 2)
                s.packets.append(bytes.mid(f[1].toInt(), f[0].toInt()));
        }
    }
    if (!s.packets.isEmpty())
        s.packetSeconds = kStreamSeconds / s.packets.size();
    return s;
}

const Stream& streamFor(int index)
{
    static QMap<int, Stream> streams;
    if (!streams.contains(index))
        streams.insert(index, makeStream(kCodecs[index]));
    return streams[index];
}

void BM_Decode(benchmark::State& state)
{
    const Codec& codec = kCodecs[state.range(0)];
    const double gain = double(state.range(1)) / 100.0;
    const Stream& stream = streamFor(int(state.range(0)));
    state.SetLabel(codec.sdpName);
    if (stream.packets.size() < 10) {
        state.SkipWithError("ffmpeg could not make the stream");
        return;
    }
    const QString sdp =
        QStringLiteral("m=audio 5004 RTP/AVP 96\r\na=rtpmap:96 %1/%2\r\n").arg(codec.sdpName).arg(codec.clockRate);
    std::unique_ptr<Decoder> decoder(Decoder::getDecoderBySdp(sdp, false, gain));
    std::vector<unsigned char> out(256000);
    int next = 0;
    auto decodeNext = [&] {
        const QByteArray& p = stream.packets[next];
        next = (next + 1) % stream.packets.size();
        int length = int(out.size());
        decoder->decode(reinterpret_cast<const unsigned char*>(p.constData()), p.size(), out.data(), length);
        return length;
    };
    for (int i = 0; i < 5; ++i)  // set-up happens here, not in the timed loop
        decodeNext();

    long bytesOut = 0;
    for (auto _ : state)
        bytesOut += decodeNext();
    const double audioSeconds = double(state.iterations()) * stream.packetSeconds;
    // Inverted rate of audio microseconds: CPU microseconds per second of audio.
    state.counters["cpu_us_per_audio_s"] =
        benchmark::Counter(audioSeconds * 1e-6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["out_per_in"] = double(bytesOut) / (audioSeconds * 96000.0);
}

void codecArguments(benchmark::internal::Benchmark* b)
{
    for (int i = 0; i < int(sizeof kCodecs / sizeof kCodecs[0]); ++i)
        b->Args({i, 100});
    b->Args({0, 80});  // with the gain step
}

}  // namespace

BENCHMARK(BM_Decode)->Apply(codecArguments);

BENCHMARK_MAIN();
