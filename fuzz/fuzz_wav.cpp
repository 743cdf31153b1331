// The WAV chunk reader over arbitrary file contents: it must refuse what is
// not a WAV file with format and data, and never place the samples outside
// the file.
#include "WavHeader.h"

#include <QBuffer>
#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536)
        return 0;
    QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    QBuffer file(&bytes);
    file.open(QIODevice::ReadOnly);
    WavHeader header;
    QString error;
    if (header.parse(file, &error)) {
        if (header.dataOffset < 12 + 8 || header.dataBytes < 0 || header.dataOffset + header.dataBytes > qint64(size))
            __builtin_trap();
    } else if (error.isEmpty()) {
        __builtin_trap();
    }
    return 0;
}
