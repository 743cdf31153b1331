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
#include <memory>
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

void play(const QByteArray& bytes, bool loop)
{
    // One file rewritten for every input, as the channel opens files by
    // name: in memory (/dev/shm) where there is one, as a disk file costs
    // more than the parsing.
    static const QString path =
        QStringLiteral("%1/fuzz_wav_%2.wav")
            .arg(QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm") : QStringLiteral("/tmp"))
            .arg(QCoreApplication::applicationPid());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) ||
        file.write(bytes) != bytes.size())
        return;
    file.close();
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
