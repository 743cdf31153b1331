// WAV files through both readers: the chunk reader (capture and file
// backends) and the tone channel, which checks the canonical header strictly
// and then plays the file, once or looping. Neither may accept what is not a
// usable WAV file, place samples outside the file, or run out of memory or
// time on a header's claims.
#include "SoundFileChannel.h"
#include "WavHeader.h"

#include <QBuffer>
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sys/mman.h>
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

// The file the channel reads, as it opens files by name: one file in memory
// for all inputs (a memfd, named by its /proc/self/fd link), as making a
// disk file for every input costs more than the parsing. It goes with the
// process, however that ends.
class ScratchFile
{
public:
    ScratchFile() : m_fd(memfd_create("fuzz_wav", MFD_CLOEXEC)), m_path(QStringLiteral("/proc/self/fd/%1").arg(m_fd))
    {
        if (m_fd < 0) {
            std::perror("fuzz_wav: memfd_create");
            std::abort();
        }
    }
    ~ScratchFile() { ::close(m_fd); }
    // Makes the file hold exactly `bytes`.
    bool write(const QByteArray& bytes)
    {
        return ::pwrite(m_fd, bytes.constData(), size_t(bytes.size()), 0) == bytes.size() &&
               ::ftruncate(m_fd, bytes.size()) == 0;
    }
    const QString& path() const { return m_path; }

private:
    const int m_fd;
    const QString m_path;
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
