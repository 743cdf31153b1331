#include "ByteIOBufferFFmpeg.h"
#include "LogCategories.h"

#include <QDebug>

#include <cstring>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {
// Extra room behind the read buffer, which some parsers read a little past.
constexpr int kIoBufferPadding = 32;
}  // namespace

ByteIOBufferFFmpeg::ByteIOBufferFFmpeg() : m_fifo(FIFO_BLOCK_SIZE, FIFO_MAX_BLOCKS)
{
    std::unique_ptr<unsigned char, FFmpegHandles::AvFree> buffer(
        static_cast<unsigned char*>(av_malloc(IO_BUFFER_SIZE + kIoBufferPadding)));
    if (!buffer)
        return;
    m_ioContext.reset(
        avio_alloc_context(buffer.get(), IO_BUFFER_SIZE, 0, this, &ByteIOBufferFFmpeg::read, nullptr, nullptr));
    if (!m_ioContext)
        return;
    buffer.release();  // the context holds it now
    m_ioContext->seekable = 0;
}

ByteIOBufferFFmpeg::~ByteIOBufferFFmpeg() = default;

int ByteIOBufferFFmpeg::putBytes(const unsigned char* data, int length)
{
    const int stored = m_fifo.put(data, length);
    if (stored > 0 && m_ioContext)
        m_ioContext->eof_reached = 0;
    if (stored < length)
        qCCritical(lcKavexDecoder, "ByteIOBufferFFmpeg::putBytes failed, increase max fifo size and recompile");
    return stored;
}

void ByteIOBufferFFmpeg::clear()
{
    m_fifo.clear();
    m_replay.clear();
    m_replayPos = 0;
}

void ByteIOBufferFFmpeg::startRecording()
{
    m_recorded.clear();
    m_recording = true;
    m_ranDry = false;
}

void ByteIOBufferFFmpeg::stopRecording()
{
    m_recorded = QByteArray();
    m_recording = false;
}

void ByteIOBufferFFmpeg::rewind()
{
    if (m_ioContext) {
        avio_flush(m_ioContext.get());
        m_ioContext->eof_reached = 0;
    }
    m_replay = m_recorded + m_replay.mid(m_replayPos);
    m_replayPos = 0;
    stopRecording();
}

int ByteIOBufferFFmpeg::read(void* opaque, unsigned char* buffer, int size)
{
    auto* self = static_cast<ByteIOBufferFFmpeg*>(opaque);
    int n = qMin(size, self->m_replay.size() - self->m_replayPos);
    if (n > 0) {
        memcpy(buffer, self->m_replay.constData() + self->m_replayPos, size_t(n));
        self->m_replayPos += n;
        if (self->m_replayPos == self->m_replay.size()) {
            self->m_replay = QByteArray();
            self->m_replayPos = 0;
        }
    } else {
        n = 0;
    }
    n += self->m_fifo.get(buffer + n, size - n);
    if (n == 0) {
        self->m_ranDry = true;
        return AVERROR_EOF;
    }
    if (self->m_recording)
        self->m_recorded.append(reinterpret_cast<const char*>(buffer), n);
    return n;
}
