#pragma once

#include "DynamicByteFifo.h"
#include "FFmpegHandles.h"
#include "OstKavexMixerGlobal.h"

#include <QByteArray>

// An in-memory byte stream that libavformat reads through a custom I/O
// context: payload bytes are put in as they arrive and the demuxer takes them
// out. When the stream runs dry the read reports end of file, so every read
// loop over it ends as soon as the bytes put in so far are consumed; putting
// more bytes in lets the demuxer read again. Used by one thread at a time (the
// decoder's).
//
// libavformat reads an ID3v2 tag wherever a demuxer meets one (at the start
// of every stream it opens, and between ADTS frames) and allocates the sizes
// the tag claims, gigabytes from a few dozen bytes. An RTP audio stream
// carries no tags, so a piece that would complete a tag header in the stream
// is refused whole: the demuxer never sees one.
class ByteIOBufferFFmpeg
{
public:
    static constexpr int IO_BUFFER_SIZE = 4096;
    static constexpr int FIFO_BLOCK_SIZE = 4096;
    static constexpr int FIFO_MAX_BLOCKS = 1000;

    ByteIOBufferFFmpeg();
    ~ByteIOBufferFFmpeg();
    ByteIOBufferFFmpeg(const ByteIOBufferFFmpeg&) = delete;
    ByteIOBufferFFmpeg& operator=(const ByteIOBufferFFmpeg&) = delete;

    // Appends bytes for the demuxer; returns how many were stored (fewer
    // than `length` when the FIFO is full: the rest is dropped; none when
    // they would complete an ID3v2 tag header).
    int putBytes(const unsigned char* data, int length);
    // Drops the bytes not yet read. The demuxer may still hold some of what
    // came before, so new bytes are checked against those as before.
    void clear();
    // Null when FFmpeg could not allocate it.
    AVIOContext* ioContext() const { return m_ioContext.get(); }
    // Bytes waiting to be read by the demuxer (not counting its own buffer).
    int pending() const { return m_fifo.size() + m_replay.size() - m_replayPos; }

    // Opening a demuxer may need more bytes than have arrived (the MPEG
    // audio demuxer looks for a second frame header). While recording, the
    // bytes handed to the demuxer are kept, so that an attempt that ran out
    // of data can be repeated from the same first byte once more arrive.
    void startRecording();
    // Forgets the recorded bytes; reading goes on where it is.
    void stopRecording();
    // Discards what the I/O context has buffered and hands the recorded bytes
    // out again before any others.
    void rewind();
    // A read found no bytes since recording started.
    bool ranDry() const { return m_ranDry; }
    int recordedBytes() const { return m_recorded.size(); }

private:
    static constexpr int TAG_HEADER_SIZE = 10;

    static int read(void* opaque, unsigned char* buffer, int size);
    // Whether the stream so far followed by these bytes holds a tag header
    // that ends within them.
    bool completesTagHeader(const unsigned char* data, int length) const;
    void keepTail(const unsigned char* data, int length);

    DynamicByteFifo m_fifo;
    // Holds the read buffer, which FFmpeg may replace.
    FFmpegHandles::IoContext m_ioContext;
    QByteArray m_replay;  // handed out before the FIFO, from m_replayPos on
    int m_replayPos = 0;
    QByteArray m_recorded;
    bool m_recording = false;
    bool m_ranDry = false;
    // The last bytes stored, where a tag header may begin.
    unsigned char m_tail[TAG_HEADER_SIZE - 1] = {};
    int m_tailSize = 0;
    int m_refusedPieces = 0;
};
