#pragma once

#include "Channel.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <memory>
#include <vector>

class AudioConverter;

// A mixer input that plays a mono 16-bit PCM WAV file (canonical 44-byte
// header, checked strictly), converted to the mixer rate with a gain, once
// or looping. It has no time line: it is served by byte count.
//
// The constructor throws std::runtime_error when the file cannot be used:
// the warning and what() say why (what() with the value found, for callers
// that show it). getData never blocks on the
// disk: the sample data is read into memory at construction (files up to
// kMaxCachedBytes; longer files are read as they play). The object is used
// by one thread at a time (the mixer thread, or the talk-back capture thread
// that reads it); it has no lock.
class OSTKAVEXMIXER_EXPORT SoundFileChannel : public QObject, public Channel
{
    Q_OBJECT
public:
    SoundFileChannel(const QString& path, unsigned int outputRate, bool loop, double gain);
    ~SoundFileChannel() override;

    eSampleRate getSampleRate() override;
    void deleteThis() override;
    using Channel::getData;
    void getData(unsigned char* buffer, quint64 count) override;
    NTPTimestamp getCurrentTimestamp() override;

    // True once a non-looping file has been played to its end.
    bool hasEnded() const { return !m_converter; }

    static constexpr qint64 kMaxCachedBytes = 32 * 1024 * 1024;

private:
    // Reads up to `count` sample bytes at the current position.
    qint64 readSamples(unsigned char* dst, qint64 count);
    void rewind();
    void ensureScratch(qint64 chunk);

    bool m_loop;
    QFile m_file;
    qint64 m_dataStart = 44;
    qint64 m_bytesRead = 0;
    qint64 m_dataSize = 0;
    double m_ratio = 1.0;
    unsigned int m_outputRate;
    unsigned int m_fileRate = 0;
    std::unique_ptr<AudioConverter> m_converter;
    QByteArray m_output;
    double m_gain;
    QByteArray m_cache;  // the whole sample data, when it fits
    std::vector<unsigned char> m_in;
    std::vector<unsigned char> m_out;
};
