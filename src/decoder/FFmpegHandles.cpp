#include "FFmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace FFmpegHandles {

void FormatContextFree::operator()(AVFormatContext* context) const
{
    avformat_close_input(&context);
}

void CodecContextFree::operator()(AVCodecContext* context) const
{
    avcodec_free_context(&context);
}

void FrameFree::operator()(AVFrame* frame) const
{
    av_frame_free(&frame);
}

void PacketFree::operator()(AVPacket* packet) const
{
    av_packet_free(&packet);
}

void ResamplerFree::operator()(SwrContext* resampler) const
{
    swr_free(&resampler);
}

void IoContextFree::operator()(AVIOContext* context) const
{
    // The context may have replaced the buffer it was given.
    av_freep(&context->buffer);
    avio_context_free(&context);
}

void BufferUnref::operator()(AVBufferRef* buffer) const
{
    av_buffer_unref(&buffer);
}

void AvFree::operator()(void* memory) const
{
    av_free(memory);
}

}  // namespace FFmpegHandles
