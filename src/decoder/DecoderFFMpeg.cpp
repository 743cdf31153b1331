#include "DecoderFFMpeg.h"
#include "LogCategories.h"

#include "FFmpegLog.h"

#include <QDebug>
#include <QStringList>

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace {
constexpr int kOutputSampleRate = 48000;
constexpr int kResamplerFilterSize = 256;
constexpr int kG726AacHeaderBytes = 7;  // ADTS header in front of each G.726 block
constexpr int kErrorTextSize = 100;
// The payload buffer's smallest size: more than any usual RTP payload.
constexpr int kMinPayloadBufferBytes = 2048;
// A set-up that runs out of bytes is repeated quietly with more, up to this
// much stream (the MPEG audio demuxer scans 64 KiB for two frame headers).
constexpr int kMaxSetUpBytes = 80 * 1024;

char g_errorText[kErrorTextSize];

bool isG726(const QString& name)
{
    return name.startsWith(QLatin1String("G726"));
}
}  // namespace

const char* getFFMmpegErrorString(int error)
{
    memset(g_errorText, 0, sizeof g_errorText);
    const int ret = av_strerror(error, g_errorText, kErrorTextSize);
    if (ret < 0)
        qCWarning(lcKavexDecoder, "DecoderFFMpeg::getFFMmpegErrorString(): av_strerror() returned %d", ret);
    return g_errorText;
}

DecoderFFMpeg::DecoderFFMpeg(const QString& sdp, const QString& codecName, int payloadType, int clockRate,
                             bool g726AsAac, double gain)
    : Decoder(sdp, codecName, payloadType, clockRate, g726AsAac)
    , m_frame(av_frame_alloc())
    , m_packet(av_packet_alloc())
{
    FFmpegLog::install();
    m_gain = gain;
}

DecoderFFMpeg::~DecoderFFMpeg() = default;

void DecoderFFMpeg::release()
{
    m_codecContext.reset();
    m_formatContext.reset();
    m_resampler.reset();
    m_streamIndex = -1;
}

int DecoderFFMpeg::channels()
{
    return m_codecContext ? m_codecContext->ch_layout.nb_channels : 0;
}

void DecoderFFMpeg::setGain(double gain)
{
    KavexLocker locker(&m_mutex);
    m_gain = gain;
}

void DecoderFFMpeg::decode(const unsigned char* in, int inLength, unsigned char* out, int& outLength)
{
    const int capacity = outLength;
    outLength = 0;
    if (sendsPayloadDirectly()) {
        int written = 0;
        if ((!m_codecContext && !setUpDecoding()) || !decodePayload(in, inLength, out, capacity, written))
            return;
        outLength = written;
        if (written > 0)
            applyGain(out, written);
        return;
    }
    m_byteStream.putBytes(in, inLength);
    if (!m_codecContext && !setUp())
        return;
    if (!m_frame || !m_packet)
        return;

    const bool stripHeader = m_g726AsAac && isG726(m_codecName);
    int written = 0;
    int ret;
    AVPacket* const packet = m_packet.get();
    while ((ret = av_read_frame(m_formatContext.get(), packet)) >= 0) {
        bool goOn = true;
        if (packet->stream_index == m_streamIndex) {
            const int skip = stripHeader ? qMin(kG726AacHeaderBytes, packet->size) : 0;
            packet->data += skip;
            packet->size -= skip;
            goOn = decodePacket(out, capacity, written);
            packet->data -= skip;
            packet->size += skip;
        }
        av_packet_unref(packet);
        if (!goOn)
            break;
    }
    // The byte stream reports end of file as soon as it is drained: that is
    // the normal end of a call. Any other end reports nothing.
    if (ret != AVERROR_EOF)
        return;
    outLength = written;
    if (written > 0 && m_codecContext->ch_layout.nb_channels <= 2)
        applyGain(out, written);
}

bool DecoderFFMpeg::decodePayload(const unsigned char* in, int inLength, unsigned char* out, int capacity, int& written)
{
    if (inLength <= 0 || !m_frame || !m_packet)
        return true;
    if (!m_g711Table.empty()) {
        if (m_g711Samples.size() < size_t(inLength))
            m_g711Samples.resize(size_t(inLength));
        for (int i = 0; i < inLength; ++i)
            m_g711Samples[size_t(i)] = m_g711Table[in[i]];
        const auto* samples = reinterpret_cast<const uint8_t*>(m_g711Samples.data());
        return resample(&samples, inLength, out, capacity, written);
    }
    // The codec holds a reference only until its frames are taken, so the
    // buffer is normally free to be written again; else a new one is made.
    const int needed = inLength + AV_INPUT_BUFFER_PADDING_SIZE;
    if (!m_payload || m_payload->size < size_t(needed) || !av_buffer_is_writable(m_payload.get())) {
        m_payload.reset(av_buffer_allocz(qMax(needed, kMinPayloadBufferBytes)));
        if (!m_payload)
            return false;
    }
    memcpy(m_payload->data, in, inLength);
    memset(m_payload->data + inLength, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    AVPacket* const packet = m_packet.get();
    packet->buf = av_buffer_ref(m_payload.get());
    if (!packet->buf)
        return false;
    packet->data = m_payload->data;
    packet->size = inLength;
    const bool ok = decodePacket(out, capacity, written);
    av_packet_unref(packet);
    return ok;
}

bool DecoderFFMpeg::decodePacket(unsigned char* out, int capacity, int& written)
{
    // A packet the codec refuses is skipped.
    if (avcodec_send_packet(m_codecContext.get(), m_packet.get()) < 0)
        return true;
    while (avcodec_receive_frame(m_codecContext.get(), m_frame.get()) >= 0) {
        // A frame whose layout, rate or format changed mid-stream does not
        // fit the resampler (it would read channels the frame lacks): dropped.
        if (m_frame->ch_layout.nb_channels != m_resamplerChannels || m_frame->sample_rate != m_resamplerRate ||
            m_frame->format != m_resamplerFormat) {
            av_frame_unref(m_frame.get());
            continue;
        }
        const bool ok = resample(m_frame->extended_data, m_frame->nb_samples, out, capacity, written);
        av_frame_unref(m_frame.get());
        if (!ok)
            return false;
    }
    return true;
}

bool DecoderFFMpeg::resample(const uint8_t* const* in, int samples, unsigned char* out, int capacity, int& written)
{
    // The resampler sizes its working buffers by the output room it is
    // given: offered the whole decode buffer, it would allocate and clear
    // about 1 MB per stream. It is offered what this input can make at most.
    const int room = std::min((capacity - written) / 2, swr_get_out_samples(m_resampler.get(), samples));
    uint8_t* dst = out + written;
    const int n = swr_convert(m_resampler.get(), &dst, std::max(room, 0), const_cast<const uint8_t**>(in), samples);
    if (n < 0) {
        qCWarning(lcKavexDecoder, "DecoderFFMpeg::decode(): swr_convert() return %d => %s", n,
                  getFFMmpegErrorString(n));
        return false;
    }
    if (n > 0) {
        const int bytes = av_samples_get_buffer_size(nullptr, 1, n, AV_SAMPLE_FMT_S16, 1);
        if (bytes < 0) {
            qCWarning(lcKavexDecoder, "DecoderFFMpeg::decode(): av_samples_get_buffer_size() return %d => %s", bytes,
                      getFFMmpegErrorString(bytes));
            return false;
        }
        written += bytes;
    }
    return true;
}

// Decodes the 256 codes as one packet. Anything unexpected leaves the table
// empty, and payloads go through the codec.
void DecoderFFMpeg::buildG711Table()
{
    m_g711Table.clear();
    const AVCodecID id = m_codecContext->codec_id;
    if ((id != AV_CODEC_ID_PCM_ALAW && id != AV_CODEC_ID_PCM_MULAW) || !m_frame || !m_packet)
        return;
    constexpr int kCodes = 256;
    FFmpegHandles::Buffer codes(av_buffer_allocz(kCodes + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!codes)
        return;
    for (int c = 0; c < kCodes; ++c)
        codes->data[c] = uint8_t(c);
    AVPacket* const packet = m_packet.get();
    packet->buf = av_buffer_ref(codes.get());
    if (!packet->buf)
        return;
    packet->data = codes->data;
    packet->size = kCodes;
    const bool sent = avcodec_send_packet(m_codecContext.get(), packet) >= 0;
    av_packet_unref(packet);
    while (sent && avcodec_receive_frame(m_codecContext.get(), m_frame.get()) >= 0) {
        if (m_g711Table.empty() && m_frame->format == AV_SAMPLE_FMT_S16 && m_resamplerFormat == AV_SAMPLE_FMT_S16 &&
            m_frame->ch_layout.nb_channels == 1 && m_frame->nb_samples == kCodes) {
            const auto* samples = reinterpret_cast<const int16_t*>(m_frame->data[0]);
            m_g711Table.assign(samples, samples + kCodes);
        }
        av_frame_unref(m_frame.get());
    }
}

void DecoderFFMpeg::applyGain(unsigned char* out, int bytes)
{
    KavexLocker locker(&m_mutex);
    if (m_gain == 1.0)
        return;
    for (int i = 0; i + 1 < bytes; i += 2) {
        qint16 sample;
        memcpy(&sample, out + i, 2);
        const double scaled = double(sample) * m_gain;  // int conversion truncates toward zero
        const qint16 result = qint16(qBound(-32768.0, scaled, 32767.0));
        memcpy(out + i, &result, 2);
    }
}

bool DecoderFFMpeg::waitingForData() const
{
    return m_byteStream.ranDry() && m_byteStream.recordedBytes() < kMaxSetUpBytes;
}

bool DecoderFFMpeg::setUp()
{
    m_byteStream.startRecording();
    const bool ok = setUpDecoding();
    if (!ok && waitingForData())
        m_byteStream.rewind();
    else
        m_byteStream.stopRecording();
    return ok;
}

bool DecoderFFMpeg::sendsPayloadDirectly() const
{
    return m_codecName == QLatin1String("PCMA") || m_codecName == QLatin1String("G.711") ||
           m_codecName == QLatin1String("G711") || m_codecName == QLatin1String("PCMU") ||
           (isG726(m_codecName) && !m_g726AsAac);
}

bool DecoderFFMpeg::setUpDecoding()
{
    if (sendsPayloadDirectly())
        return setUpCodecAndResampler("");
    const char* formatName = "";
    if (m_codecName == QLatin1String("MPA"))
        formatName = "mp3";
    else if (m_codecName == QLatin1String("AAC"))
        formatName = "aac";
    else if (m_codecName == QLatin1String("AC3"))
        formatName = "ac3";
    else if (isG726(m_codecName))
        formatName = "aac";

    const AVInputFormat* inputFormat = *formatName ? av_find_input_format(formatName) : nullptr;
    if (!inputFormat) {
        qCCritical(lcKavexDecoder, "DecoderFFMpeg::decode:  input format %s not available", formatName);
        return false;
    }

    AVFormatContext* context = avformat_alloc_context();
    if (!context)
        return false;
    context->pb = m_byteStream.ioContext();
    // Frees the context when it fails.
    if (avformat_open_input(&context, nullptr, inputFormat, nullptr) < 0) {
        if (!waitingForData())
            qCCritical(lcKavexDecoder, "DecoderFFMpeg::decode: avformat_open_input failed");
        release();
        return false;
    }
    m_formatContext.reset(context);
    m_formatContext->flags |= AVFMT_FLAG_NONBLOCK;
    return setUpCodecAndResampler(formatName);
}

bool DecoderFFMpeg::setUpCodecAndResampler(const char* formatName)
{
    bool ok;
    if (m_codecName == QLatin1String("MPA") || m_codecName == QLatin1String("AAC") ||
        m_codecName == QLatin1String("AC3"))
        ok = setUpParsedStream(formatName);
    else if (isG726(m_codecName))
        ok = setUpG726();
    else if (m_codecName == QLatin1String("PCMU"))
        ok = setUpRawStream(AV_CODEC_ID_PCM_MULAW, 64000, 8);
    else
        ok = setUpRawStream(AV_CODEC_ID_PCM_ALAW, 64000, 8);
    if (!ok || !setUpResampler()) {
        release();
        return false;
    }
    buildG711Table();

    char layout[64] = {0};
    av_channel_layout_describe(&m_codecContext->ch_layout, layout, sizeof layout);
    const char* sampleFormat = av_get_sample_fmt_name(m_codecContext->sample_fmt);
    qCDebug(lcKavexDecoder).nospace().noquote()
        << "DecoderFFMpeg::decode: new decoder: " << m_codecName << "; sample rate: " << m_codecContext->sample_rate
        << "; bit rate: " << m_codecContext->bit_rate << "; channel layout: " << layout
        << "; sample format: " << (sampleFormat ? sampleFormat : "none");
    return true;
}

// MPEG audio, AAC and AC-3 carry their parameters in the stream: the demuxer
// finds them, and the decoder is made for the stream it found.
bool DecoderFFMpeg::setUpParsedStream(const char* inputFormat)
{
    if (avformat_find_stream_info(m_formatContext.get(), nullptr) < 0)
        return false;
    for (unsigned i = 0; i < m_formatContext->nb_streams && m_streamIndex < 0; ++i) {
        const AVCodecID id = m_formatContext->streams[i]->codecpar->codec_id;
        if ((m_codecName == QLatin1String("MPA") && (id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3)) ||
            (m_codecName == QLatin1String("AAC") && id == AV_CODEC_ID_AAC) ||
            (m_codecName == QLatin1String("AC3") && id == AV_CODEC_ID_AC3))
            m_streamIndex = int(i);
    }
    if (m_streamIndex < 0) {
        if (!waitingForData())
            qCCritical(lcKavexDecoder, "DecoderFFMpeg::decode: no %s stream", inputFormat);
        return false;
    }
    const AVStream* stream = m_formatContext->streams[m_streamIndex];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        qCCritical(lcKavexDecoder, "DecoderFFMpeg::decode: avcodec_find_decoder failed");
        return false;
    }
    m_codecContext.reset(avcodec_alloc_context3(codec));
    if (!m_codecContext || avcodec_parameters_to_context(m_codecContext.get(), stream->codecpar) < 0) {
        qCCritical(lcKavexDecoder, "DecoderFFMpeg::decode: avcodec_open failed");
        return false;
    }
    m_codecContext->thread_count = 1;
    m_codecContext->pkt_timebase = stream->time_base;
    if (avcodec_open2(m_codecContext.get(), codec, nullptr) < 0) {
        qCCritical(lcKavexDecoder, "DecoderFFMpeg::decode: avcodec_open failed");
        return false;
    }
    return true;
}

// G.711 and G.726 payloads carry no parameters: the codec is configured from
// the codec name.
bool DecoderFFMpeg::setUpRawStream(int codecId, int bitRate, int bitsPerCodedSample)
{
    const AVCodec* codec = avcodec_find_decoder(AVCodecID(codecId));
    if (!codec) {
        qCWarning(lcKavexDecoder, "DecoderFFMpeg::decode: Failed to find appropriate decoder! No decoding possible!");
        return false;
    }
    m_codecContext.reset(avcodec_alloc_context3(codec));
    if (!m_codecContext)
        return false;
    if (bitRate > 0) {
        m_codecContext->bit_rate = bitRate;
        m_codecContext->bits_per_coded_sample = bitsPerCodedSample;
    }
    m_codecContext->sample_rate = 8000;
    av_channel_layout_uninit(&m_codecContext->ch_layout);
    m_codecContext->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    if (avcodec_open2(m_codecContext.get(), codec, nullptr) < 0) {
        qCWarning(lcKavexDecoder, "DecoderFFMpeg::decode: Failed to open codec! No decoding possible!");
        return false;
    }
    // Raw payloads come in framed by AAC headers only: the demuxer reads them
    // as its stream 0.
    if (m_formatContext) {
        if (!avformat_new_stream(m_formatContext.get(), codec)) {
            qCWarning(lcKavexDecoder, "DecoderFFMpeg::decode: Failed to open new stream! No decoding possible!");
            return false;
        }
        m_streamIndex = 0;
    }
    return true;
}

bool DecoderFFMpeg::setUpG726()
{
    const AVCodecID id = m_codecName.contains(QLatin1String("LE")) ? AV_CODEC_ID_ADPCM_G726LE : AV_CODEC_ID_ADPCM_G726;
    if (!avcodec_find_decoder(id)) {
        qCWarning(lcKavexDecoder, "DecoderFFMpeg::decode: Failed to find appropriate decoder! No decoding possible!");
        return false;
    }
    // "G726-32" and "G726-32LE": the bit rate in kbit/s after the one hyphen.
    const QStringList parts = m_codecName.split(QLatin1Char('-'));
    int kbits = 0;
    if (parts.size() == 2) {
        int digits = 0;
        while (digits < parts[1].size() && parts[1][digits].isDigit())
            ++digits;
        kbits = parts[1].left(digits).toInt();
    }
    if (kbits < 16 || kbits > 40) {
        qCWarning(lcKavexDecoder, "DecoderFFMpeg::decode: Failed to find bitrate information! No decoding possible!");
        return false;
    }
    // 2 to 5 bits per sample at 8 kHz; other rates set neither and the codec refuses to open.
    const int bitsPerSample = (kbits % 8 == 0) ? kbits / 8 : 0;
    return setUpRawStream(id, bitsPerSample ? kbits * 1000 : 0, bitsPerSample);
}

bool DecoderFFMpeg::setUpResampler()
{
    m_resampler.reset(swr_alloc());
    if (!m_resampler)
        return false;
    AVChannelLayout inLayout = {};  // copying into it first clears it: it must hold no garbage
    if (m_codecContext->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&inLayout, m_codecContext->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&inLayout, &m_codecContext->ch_layout);
    const AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_MONO;
    av_opt_set_chlayout(m_resampler.get(), "in_chlayout", &inLayout, 0);
    av_opt_set_chlayout(m_resampler.get(), "out_chlayout", &outLayout, 0);
    av_channel_layout_uninit(&inLayout);
    av_opt_set_int(m_resampler.get(), "in_sample_rate", m_codecContext->sample_rate, 0);
    av_opt_set_int(m_resampler.get(), "out_sample_rate", kOutputSampleRate, 0);
    av_opt_set_sample_fmt(m_resampler.get(), "in_sample_fmt", m_codecContext->sample_fmt, 0);
    av_opt_set_sample_fmt(m_resampler.get(), "out_sample_fmt", AV_SAMPLE_FMT_S16, 0);
    av_opt_set_int(m_resampler.get(), "filter_size", kResamplerFilterSize, 0);
    const int ret = swr_init(m_resampler.get());
    if (ret < 0) {
        if (!waitingForData())
            qCWarning(lcKavexDecoder, "DecoderFFMpeg::decode: swr_init() return %d => %s", ret,
                      getFFMmpegErrorString(ret));
        return false;
    }
    m_resamplerChannels = m_codecContext->ch_layout.nb_channels;
    m_resamplerRate = m_codecContext->sample_rate;
    m_resamplerFormat = m_codecContext->sample_fmt;
    return true;
}
