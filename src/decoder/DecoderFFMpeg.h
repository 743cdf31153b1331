#pragma once

#include "ByteIOBufferFFmpeg.h"
#include "Decoder.h"
#include "FFmpegHandles.h"
#include "OstKavexMixerGlobal.h"

#include <cstdint>
#include <vector>

// The decoder for every supported stream (G.711 A-law and µ-law, G.726, MPEG
// audio, AAC, AC-3). G.711 and G.726 payloads need no framing: each payload
// goes straight to libavcodec as one packet, in a buffer reused from call to
// call. The other streams' bytes go into an in-memory byte stream that
// libavformat reads through a custom I/O context to find the frames. Every
// decoded frame is converted by libswresample to 48 kHz mono 16-bit (G.711 payloads
// by a table of the codec's own samples). FFmpeg is set up on the first
// decode call and kept for the life of the decoder; a failed set-up is tried again on the next call. decode runs on
// the thread that delivers the stream; setGain may come from any thread.
class DecoderFFMpeg : public Decoder
{
public:
    DecoderFFMpeg(const QString& sdp, const QString& codecName, int payloadType, int clockRate, bool g726AsAac,
                  double gain);
    ~DecoderFFMpeg() override;

    void decode(const unsigned char* in, int inLength, unsigned char* out, int& outLength) override;
    int channels() override;
    void setGain(double gain) override;

private:
    bool setUp();
    bool setUpDecoding();
    // G.711 and G.726 (unless wrapped in AAC framing): no demuxer needed.
    bool sendsPayloadDirectly() const;
    // Decodes one payload as one packet behind the `written` bytes of `out`;
    // false when the packet could not be made or conversion failed.
    bool decodePayload(const unsigned char* in, int inLength, unsigned char* out, int capacity, int& written);
    // The last set-up attempt failed for want of bytes, not for bad ones.
    bool waitingForData() const;
    // Makes the codec (for parsed streams, of the stream the demuxer of
    // `formatName` found) and the resampler.
    bool setUpCodecAndResampler(const char* formatName);
    bool setUpParsedStream(const char* inputFormat);
    bool setUpRawStream(int codecId, int bitRate, int bitsPerCodedSample);
    bool setUpG726();
    bool setUpResampler();
    // Drops the demuxer, codec and resampler after a failed set-up.
    void release();
    // Decodes one packet and converts its frames behind the `written` bytes
    // of `out`; false when conversion failed and decoding must stop.
    bool decodePacket(unsigned char* out, int capacity, int& written);
    // Resamples `samples` input samples behind the `written` bytes of `out`;
    // false when conversion failed.
    bool resample(const uint8_t* const* in, int samples, unsigned char* out, int capacity, int& written);
    // G.711: takes the codec's sample for each of the 256 codes.
    void buildG711Table();
    void applyGain(unsigned char* out, int bytes);

    // All on the decoding thread. The format context reads the byte
    // stream's I/O context and goes first.
    ByteIOBufferFFmpeg m_byteStream;
    FFmpegHandles::FormatContext m_formatContext;
    FFmpegHandles::CodecContext m_codecContext;
    FFmpegHandles::Resampler m_resampler;
    // The input the resampler was set up for.
    int m_resamplerChannels = 0;
    int m_resamplerRate = 0;
    int m_resamplerFormat = -1;
    FFmpegHandles::Frame m_frame;
    int m_streamIndex = -1;
    FFmpegHandles::Packet m_packet;   // reused for every packet
    FFmpegHandles::Buffer m_payload;  // holds the payload sent directly; reused while the codec keeps no reference
    // G.711 codes map one to one to samples: the codec's sample for every
    // code, asked once, decodes a payload by table, without a codec call,
    // packet reference and frame buffer per packet. Empty for other codecs.
    std::vector<int16_t> m_g711Table;
    std::vector<int16_t> m_g711Samples;  // a payload's samples; grows to the largest payload
};

// The text of an FFmpeg error code, in a buffer shared by all callers: meant
// for immediate logging.
const char* getFFMmpegErrorString(int error);
