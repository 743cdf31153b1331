#include "WavHeader.h"

#include <QIODevice>
#include <QtEndian>

#include <algorithm>

namespace {
void putLe16(QByteArray& out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void putLe32(QByteArray& out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}
}  // namespace

QByteArray WavHeader::canonical(quint32 sampleRate, quint16 channels, quint16 bitsPerSample, quint32 dataBytes)
{
    const quint16 blockAlign = quint16(channels * bitsPerSample / 8);
    QByteArray out;
    out.reserve(CANONICAL_SIZE);
    out.append("RIFF", 4);
    putLe32(out, 36 + dataBytes);
    out.append("WAVEfmt ", 8);
    putLe32(out, 16);
    putLe16(out, 1);
    putLe16(out, channels);
    putLe32(out, sampleRate);
    putLe32(out, sampleRate * blockAlign);
    putLe16(out, blockAlign);
    putLe16(out, bitsPerSample);
    out.append("data", 4);
    putLe32(out, dataBytes);
    return out;
}

bool WavHeader::parse(QIODevice& file, QString* error)
{
    const QByteArray riff = file.read(12);
    if (riff.size() < 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE") {
        *error = QStringLiteral("not a RIFF/WAVE file");
        return false;
    }
    bool haveFormat = false;
    qint64 pos = 12;
    while (file.seek(pos)) {
        const QByteArray chunk = file.read(8);
        if (chunk.size() < 8)
            break;
        const quint32 size = qFromLittleEndian<quint32>(chunk.constData() + 4);
        const qint64 body = pos + 8;
        if (chunk.startsWith("fmt ")) {
            const QByteArray fmt = file.read(16);
            if (size < 16 || fmt.size() < 16) {
                *error = QStringLiteral("format chunk too short");
                return false;
            }
            formatTag = qFromLittleEndian<quint16>(fmt.constData());
            channels = qFromLittleEndian<quint16>(fmt.constData() + 2);
            sampleRate = qFromLittleEndian<quint32>(fmt.constData() + 4);
            bitsPerSample = qFromLittleEndian<quint16>(fmt.constData() + 14);
            haveFormat = true;
        } else if (chunk.startsWith("data")) {
            if (!haveFormat) {
                *error = QStringLiteral("data chunk before the format chunk");
                return false;
            }
            dataOffset = body;
            // Files written by a recorder that never finished carry a bogus size.
            dataBytes = std::min<qint64>(size, file.size() - body);
            return true;
        }
        pos = body + qint64(size) + (size & 1);
    }
    *error = haveFormat ? QStringLiteral("no data chunk") : QStringLiteral("no format chunk");
    return false;
}
