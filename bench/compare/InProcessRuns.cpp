#include "InProcessRuns.h"

#include "AlawStreams.h"
#include "LiveScene.h"
#include "RTPPacket.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

// RIFF header, an 18-byte "fmt " chunk (format 6, A-law) and the "data" chunk header.
constexpr int kWavHeaderBytes = 46;
constexpr int kWaveFormatAlaw = 6;

void put16(QByteArray& b, int v)
{
    b.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
}

void put32(QByteArray& b, quint32 v)
{
    put16(b, int(v & 0xffff));
    put16(b, int(v >> 16));
}

std::vector<unsigned char> readStream(const QString& path, double seconds)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = file.readAll();
    const int samples = std::min(int(all.size()) - kWavHeaderBytes, int(seconds * AlawStreams::kRate));
    if (samples <= 0)
        return {};
    const auto* data = reinterpret_cast<const unsigned char*>(all.constData()) + kWavHeaderBytes;
    return std::vector<unsigned char>(data, data + samples);
}

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    void operator()(SwrContext* s) const { swr_free(&s); }
    void operator()(AVFrame* f) const { av_frame_free(&f); }
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// One stream's decoder and resampler as our decoder sets them up: A-law
// 8 kHz mono in, 16-bit mono at 48 kHz out, 256-tap filter.
struct FloorStream {
    std::unique_ptr<AVCodecContext, CodecDeleter> codec;
    std::unique_ptr<SwrContext, CodecDeleter> resampler;

    bool open()
    {
        const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_PCM_ALAW);
        codec.reset(decoder ? avcodec_alloc_context3(decoder) : nullptr);
        if (!codec)
            return false;
        codec->sample_rate = AlawStreams::kRate;
        av_channel_layout_uninit(&codec->ch_layout);
        codec->ch_layout = AV_CHANNEL_LAYOUT_MONO;
        if (avcodec_open2(codec.get(), decoder, nullptr) < 0)
            return false;
        resampler.reset(swr_alloc());
        if (!resampler)
            return false;
        const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        av_opt_set_chlayout(resampler.get(), "in_chlayout", &mono, 0);
        av_opt_set_chlayout(resampler.get(), "out_chlayout", &mono, 0);
        av_opt_set_int(resampler.get(), "in_sample_rate", AlawStreams::kRate, 0);
        av_opt_set_int(resampler.get(), "out_sample_rate", 48000, 0);
        av_opt_set_sample_fmt(resampler.get(), "in_sample_fmt", codec->sample_fmt, 0);
        av_opt_set_sample_fmt(resampler.get(), "out_sample_fmt", AV_SAMPLE_FMT_S16, 0);
        av_opt_set_int(resampler.get(), "filter_size", 256, 0);
        return swr_init(resampler.get()) >= 0;
    }
};

}  // namespace

QString streamFile(const QString& dir, int index)
{
    return dir + QStringLiteral("/s%1.wav").arg(index);
}

bool writeStreamFile(const QString& path, const std::vector<unsigned char>& codes)
{
    const quint32 dataBytes = quint32(codes.size());
    QByteArray header("RIFF");
    put32(header, dataBytes + kWavHeaderBytes - 8);
    header.append("WAVEfmt ");
    put32(header, 18);
    put16(header, kWaveFormatAlaw);
    put16(header, 1);                   // mono
    put32(header, AlawStreams::kRate);  // samples per second
    put32(header, AlawStreams::kRate);  // bytes per second
    put16(header, 1);                   // block align
    put16(header, 8);                   // bits per sample
    put16(header, 0);                   // no extra format bytes
    header.append("data");
    put32(header, dataBytes);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(header) == kWavHeaderBytes &&
           file.write(reinterpret_cast<const char*>(codes.data()), qint64(codes.size())) == qint64(codes.size());
}

InProcessResult runOurPath(const QString& dir, int count, double seconds)
{
    InProcessResult result;
    std::vector<AlawStreams::PacketList> streams;
    for (int c = 0; c < count; ++c) {
        const std::vector<unsigned char> codes = readStream(streamFile(dir, c), seconds);
        streams.emplace_back(codes.data(), int(codes.size()), AlawStreams::ssrc(c));
        result.heldBytes += double(streams.back().bytes());
    }
    const int packets = streams.empty() ? 0 : streams.front().count();

    const double start = processCpuSeconds();
    LiveScene scene(count);
    const quint64 ticks = LiveScene::ticksFor(packets * AlawStreams::kPacketSamples / double(AlawStreams::kRate));
    int next = 0;
    for (quint64 t = 0; t < ticks; ++t) {
        const int due = int(std::min<quint64>(LiveScene::packetsDueBefore(t), quint64(packets)));
        for (; next < due; ++next) {
            for (int c = 0; c < count; ++c) {
                const AlawStreams::PacketList& s = streams[size_t(c)];
                scene.deliver(c, RTPPacket(s.packet(next), s.packetSize()));
            }
        }
        scene.mixTick();
    }
    result.cpuSeconds = processCpuSeconds() - start;
    result.peak = scene.peak();
    return result;
}

InProcessResult runFloor(const QString& dir, int count, double seconds)
{
    InProcessResult result;
    std::vector<std::vector<unsigned char>> streams;
    for (int c = 0; c < count; ++c) {
        streams.push_back(readStream(streamFile(dir, c), seconds));
        result.heldBytes += double(streams.back().size());
    }
    const int packets = streams.empty() ? 0 : int(streams.front().size()) / AlawStreams::kPacketSamples;

    const double start = processCpuSeconds();
    std::vector<FloorStream> decoders(static_cast<size_t>(count));
    for (FloorStream& d : decoders) {
        if (!d.open())
            return result;
    }
    std::unique_ptr<AVPacket, CodecDeleter> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, CodecDeleter> frame(av_frame_alloc());
    std::vector<uint8_t> payload(AlawStreams::kPacketSamples + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::vector<qint16> out(4096);
    int peak = 0;
    // Packet by packet across the streams, as they arrive live.
    for (int k = 0; k < packets; ++k) {
        for (int c = 0; c < count; ++c) {
            FloorStream& d = decoders[size_t(c)];
            std::memcpy(payload.data(), streams[size_t(c)].data() + size_t(k) * AlawStreams::kPacketSamples,
                        AlawStreams::kPacketSamples);
            packet->data = payload.data();
            packet->size = AlawStreams::kPacketSamples;
            if (avcodec_send_packet(d.codec.get(), packet.get()) < 0)
                continue;
            while (avcodec_receive_frame(d.codec.get(), frame.get()) >= 0) {
                auto* dst = reinterpret_cast<uint8_t*>(out.data());
                const int n = swr_convert(d.resampler.get(), &dst, int(out.size()),
                                          const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
                av_frame_unref(frame.get());
                if (n > 0)
                    peak = std::max(peak, int(std::abs(out[size_t(n) / 2])));
            }
        }
    }
    decoders.clear();
    result.cpuSeconds = processCpuSeconds() - start;
    result.peak = peak;
    return result;
}
