#pragma once

#include <memory>

struct AVBufferRef;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwrContext;

// Owning pointers for FFmpeg's handles, each freed by FFmpeg's own function
// for it, so that no error path has to free anything by hand.
namespace FFmpegHandles {

struct FormatContextFree {
    // Closes an opened input (never the custom I/O context it reads from).
    void operator()(AVFormatContext* context) const;
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const;
};
struct FrameFree {
    void operator()(AVFrame* frame) const;
};
struct PacketFree {
    void operator()(AVPacket* packet) const;
};
struct ResamplerFree {
    void operator()(SwrContext* resampler) const;
};
struct IoContextFree {
    // Frees the context and the buffer it holds at the time.
    void operator()(AVIOContext* context) const;
};
struct BufferUnref {
    void operator()(AVBufferRef* buffer) const;
};
struct AvFree {
    void operator()(void* memory) const;
};

using FormatContext = std::unique_ptr<AVFormatContext, FormatContextFree>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Resampler = std::unique_ptr<SwrContext, ResamplerFree>;
using Buffer = std::unique_ptr<AVBufferRef, BufferUnref>;
using IoContext = std::unique_ptr<AVIOContext, IoContextFree>;

}  // namespace FFmpegHandles
