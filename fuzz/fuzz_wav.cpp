// WAV files through both readers: the chunk reader (capture and file
// backends) and the tone channel, which checks the canonical header strictly
// and then plays the file, once or looping. Neither may accept what is not a
// usable WAV file, place samples outside the file, or run out of memory or
// time on a header's claims.
#include "SoundFileChannel.h"
#include "WavHeader.h"

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {
void readChunks(QByteArray& bytes)
{
    QBuffer file(&bytes);
    file.open(QIODevice::ReadOnly);
    WavHeader header;
    QString error;
    if (header.parse(file, &error)) {
        if (header.dataOffset < 12 + 8 || header.dataBytes < 0 ||
            header.dataOffset + header.dataBytes > qint64(bytes.size()))
            __builtin_trap();
    } else if (error.isEmpty()) {
        __builtin_trap();
    }
}

// The file the channel reads, as it opens files by name: one for all
// inputs, kept open and in memory (/dev/shm) where there is one, as making
// a disk file for every input costs more than the parsing.
class ScratchFile
{
public:
    ScratchFile()
        : m_path(
              QStringLiteral("%1/fuzz_wav_%2.wav")
                  .arg(QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm") : QStringLiteral("/tmp"))
                  .arg(QCoreApplication::applicationPid()))
        , m_fd(::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_TRUNC, 0600))
    {
    }
    ~ScratchFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
            ::unlink(QFile::encodeName(m_path).constData());
        }
    }
    // Makes the file hold exactly `bytes`.
    bool write(const QByteArray& bytes)
    {
        return m_fd >= 0 && ::pwrite(m_fd, bytes.constData(), size_t(bytes.size()), 0) == bytes.size() &&
               ::ftruncate(m_fd, bytes.size()) == 0;
    }
    const QString& path() const { return m_path; }

private:
    const QString m_path;
    const int m_fd;
};

void play(const QByteArray& bytes, bool loop)
{
    static ScratchFile file;
    if (!file.write(bytes))
        return;
    const QString& path = file.path();
    std::unique_ptr<SoundFileChannel> channel;
    try {
        channel.reset(new SoundFileChannel(path, 48000, loop, 1.0));
    } catch (const std::exception&) {
        return;
    }
    // A few mixer ticks' worth, as the mixer asks for them.
    std::vector<unsigned char> out(2048);
    for (int tick = 0; tick < 4; ++tick)
        channel->getData(out.data(), out.size());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536)
        return 0;
    QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    readChunks(bytes);
    play(bytes, size % 2 == 1);
    return 0;
}
