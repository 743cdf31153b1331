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
    if (length > 0 && completesTagHeader(data, length)) {
        // The first refusal is worth a warning; a sender repeating it would flood the log.
        static const char kDropped[] = "ByteIOBufferFFmpeg::putBytes: %d bytes dropped: they carry an ID3v2 tag header";
        if (m_refusedPieces++ == 0)
            qCWarning(lcKavexDecoder, kDropped, length);
        else
            qCDebug(lcKavexDecoder, kDropped, length);
        return 0;
    }
    const int stored = m_fifo.put(data, length);
    keepTail(data, stored);
    if (stored > 0 && m_ioContext)
        m_ioContext->eof_reached = 0;
    if (stored < length)
        qCCritical(lcKavexDecoder, "ByteIOBufferFFmpeg::putBytes failed, increase max fifo size and recompile");
    return stored;
}

bool ByteIOBufferFFmpeg::completesTagHeader(const unsigned char* data, int length) const
{
    // The tail and the first bytes of the piece, then the piece itself: every
    // window that ends within the piece.
    unsigned char joint[2 * (TAG_HEADER_SIZE - 1)];
    const int head = qMin(length, TAG_HEADER_SIZE - 1);
    memcpy(joint, m_tail, size_t(m_tailSize));
    memcpy(joint + m_tailSize, data, size_t(head));
    // As libavformat matches a header: "ID3", version and revision not 0xFF,
    // flags, and a size of four 7-bit bytes.
    const auto isHeader = [](const unsigned char* h) {
        return h[0] == 'I' && h[1] == 'D' && h[2] == '3' && h[3] != 0xFF && h[4] != 0xFF &&
               ((h[6] | h[7] | h[8] | h[9]) & 0x80) == 0;
    };
    for (int i = 0; i + TAG_HEADER_SIZE <= m_tailSize + head; ++i)
        if (isHeader(joint + i))
            return true;
    for (int i = 0; i + TAG_HEADER_SIZE <= length; ++i)
        if (isHeader(data + i))
            return true;
    return false;
}

void ByteIOBufferFFmpeg::keepTail(const unsigned char* data, int length)
{
    const int fromData = qMin(length, TAG_HEADER_SIZE - 1);
    const int fromTail = qMin(m_tailSize, TAG_HEADER_SIZE - 1 - fromData);
    memmove(m_tail, m_tail + m_tailSize - fromTail, size_t(fromTail));
    memcpy(m_tail + fromTail, data + length - fromData, size_t(fromData));
    m_tailSize = fromTail + fromData;
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
