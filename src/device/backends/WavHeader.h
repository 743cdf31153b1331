#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// The RIFF/WAVE framing of PCM files: writing the canonical 44-byte header
// and finding the format and the samples in a file. A plain value, used by
// one thread at a time.
class WavHeader
{
public:
    static constexpr int CANONICAL_SIZE = 44;

    quint16 formatTag = 0;
    quint16 channels = 0;
    quint32 sampleRate = 0;
    quint16 bitsPerSample = 0;
    qint64 dataOffset = 0;  // where the samples begin in the file
    qint64 dataBytes = 0;   // sample bytes present in the file

    // A canonical PCM header for `dataBytes` of samples.
    static QByteArray canonical(quint32 sampleRate, quint16 channels, quint16 bitsPerSample, quint32 dataBytes);
    // Reads the chunks of `file` (open for reading) up to the data chunk.
    // False with `error` set when it is not a WAV file with format and data.
    bool parse(QIODevice& file, QString* error);
};
