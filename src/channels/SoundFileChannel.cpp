#include "SoundFileChannel.h"

#include "AudioConverter.h"

#include <QDebug>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {
const int kHeaderSize = 44;
const quint32 kMaxFileRate = 384000;

quint32 le32(const char* p)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(p));
}
quint16 le16(const char* p)
{
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar*>(p));
}

[[noreturn]] void reject(const char* text, const QString& detail = QString())
{
    if (detail.isNull())
        qWarning() << text;
    else
        qWarning().noquote() << text << detail;
    // A plain std::exception: the mixer logs its what() ("std::exception"),
    // and the warning above has said why.
    throw std::exception();
}
}  // namespace

SoundFileChannel::SoundFileChannel(const QString& path, unsigned int outputRate, bool loop, double gain)
    : m_loop(loop)
    , m_file(path)
    , m_outputRate(outputRate)
    , m_gain(gain)
{
    qDebug() << "WAVHeader:" << kHeaderSize;
    if (!m_file.open(QIODevice::ReadOnly))
        reject("SoundFileChannel::SoundFileChannel: Failed to open WAV file", path);
    const QByteArray h = m_file.read(kHeaderSize);
    if (h.size() < kHeaderSize)
        reject("SoundFileChannel::SoundFileChannel: Failed to read Header");
    const char* p = h.constData();
    if (std::memcmp(p, "RIFF", 4) != 0)
        reject("SoundFileChannel::SoundFileChannel: This is not a RIFF file");
    const quint32 riffSize = le32(p + 4);
    qDebug() << "SoundFileChannel::SoundFileChannel: Size is:" << riffSize;
    if (qint64(riffSize) + 8 != m_file.size())
        reject("SoundFileChannel::SoundFileChannel: WAV file sizes do not match");
    if (std::memcmp(p + 8, "WAVE", 4) != 0)
        reject("SoundFileChannel::SoundFileChannel: This is not a WAV file");
    if (std::memcmp(p + 12, "fmt ", 4) != 0)
        reject("SoundFileChannel::SoundFileChannel: First sub chunk is not fmt");
    qDebug() << "SoundFileChannel::SoundFileChannel: Fmt header size:" << le32(p + 16);
    if (le16(p + 20) != 1)
        reject("SoundFileChannel::SoundFileChannel: Wav file is not raw PCM");
    if (std::memcmp(p + 36, "data", 4) != 0)
        reject("SoundFileChannel::SoundFileChannel: No data chunk");
    const quint16 channels = le16(p + 22);
    if (channels != 1)
        reject("SoundFileChannel::SoundFileChannel: Only mono files supported");
    const quint16 bits = le16(p + 34);
    if (bits != 16)
        reject("SoundFileChannel::SoundFileChannel: Only 16bit samples supported");
    m_fileRate = le32(p + 24);
    const quint32 dataSize = le32(p + 40);
    qDebug() << "SoundFileChannel::SoundFileChannel: WAV file info:";
    qDebug() << "SoundFileChannel::SoundFileChannel: Channels:" << channels;
    qDebug() << "SoundFileChannel::SoundFileChannel: Samples/s:" << m_fileRate;
    qDebug() << "SoundFileChannel::SoundFileChannel: AvgBytes/s:" << le32(p + 28);
    qDebug() << "SoundFileChannel::SoundFileChannel: BlockAlign:" << le16(p + 32);
    qDebug() << "SoundFileChannel::SoundFileChannel: Bits/Sample:" << bits;
    qDebug() << "SoundFileChannel::SoundFileChannel: Sample data size:" << dataSize;
    if (m_fileRate == 0)
        reject("SoundFileChannel::SoundFileChannel: Sample rate 0 cannot be played");
    // The converter's working buffers grow with the rate (about 25 MB at
    // 48 kHz): a header claiming gigahertz would ask for gigabytes.
    if (m_fileRate > kMaxFileRate)
        reject("SoundFileChannel::SoundFileChannel: Sample rate above 384000 Hz cannot be played",
               QString::number(m_fileRate));

    m_ratio = double(m_fileRate) / 48000.0;
    qDebug() << m_ratio * 1280 * 1000;
    m_converter.reset(new AudioConverter(m_fileRate, outputRate, channels == 2, false, false, gain,
                                         static_cast<unsigned int>(m_ratio * 1280 * 1000), 0));
    m_dataStart = m_file.pos();
    m_dataSize = qint64(dataSize & ~quint32(1));
    m_bytesRead = 0;
    if (m_dataSize <= kMaxCachedBytes)
        m_cache = m_file.read(m_dataSize);
    // Room for the surplus of a pass beyond the request it serves.
    m_output.reserve(64 * 1024);
}

SoundFileChannel::~SoundFileChannel()
{
    blockSignals(true);
    m_file.close();
}

eSampleRate SoundFileChannel::getSampleRate()
{
    return SAMPLE_RATE_NONE;
}

void SoundFileChannel::deleteThis()
{
    delete this;
}

NTPTimestamp SoundFileChannel::getCurrentTimestamp()
{
    return NTPTimestamp();
}

qint64 SoundFileChannel::readSamples(unsigned char* dst, qint64 count)
{
    if (count <= 0)
        return 0;
    if (m_dataSize <= kMaxCachedBytes) {
        const qint64 n = std::min<qint64>(count, qint64(m_cache.size()) - m_bytesRead);
        if (n <= 0)
            return 0;
        std::memcpy(dst, m_cache.constData() + m_bytesRead, size_t(n));
        return n;
    }
    return m_file.read(reinterpret_cast<char*>(dst), count);
}

void SoundFileChannel::rewind()
{
    m_bytesRead = 0;
    if (m_dataSize > kMaxCachedBytes)
        m_file.seek(m_dataStart);
}

void SoundFileChannel::ensureScratch(qint64 chunk)
{
    // Grows only when a larger request than ever before arrives.
    const size_t in = size_t(2 * chunk);
    const size_t out =
        size_t(std::max<qint64>(2 * chunk, qint64(m_converter->estimateDestinationSize(quint64(chunk), 2)) + 64));
    if (m_in.size() < in)
        m_in.resize(in);
    if (m_out.size() < out)
        m_out.resize(out);
}

void SoundFileChannel::getData(unsigned char* buffer, quint64 count)
{
    const int n = int(count);
    if (!m_converter) {
        std::memset(buffer, 0, size_t(count));
        return;
    }
    while (m_output.size() < n) {
        const qint64 want = qint64(2.0 * double(count) * m_ratio);
        qint64 chunk = std::min(want, m_dataSize - m_bytesRead);
        if (chunk & 1)
            ++chunk;
        ensureScratch(std::max<qint64>(chunk, 2));
        qint64 got = readSamples(m_in.data(), chunk);
        qint64 inLength = std::max<qint64>(got, 0);
        if (inLength == 0 && m_bytesRead < m_dataSize) {
            // The data chunk declares more than the file holds: its end is here.
            m_dataSize = m_bytesRead;
        }
        m_bytesRead += inLength;
        if (m_bytesRead == m_dataSize && m_loop && m_dataSize > 0) {
            rewind();
            const qint64 second = readSamples(m_in.data() + inLength, chunk - inLength);
            if (second > 0) {
                inLength += second;
                m_bytesRead = second;
            }
        }
        if (inLength > 0) {
            unsigned int produced = 0;
            m_converter->convert(m_in.data(), unsigned(inLength), m_out.data(), &produced);
            m_output.append(reinterpret_cast<const char*>(m_out.data()), int(produced));
        }
        if (m_bytesRead == m_dataSize && (!m_loop || m_dataSize == 0)) {
            // The end: the rest of this request and every later one is silence.
            m_converter.reset();
            if (m_output.size() < n)
                m_output.append(QByteArray(n - m_output.size(), 0));
            break;
        }
    }
    std::memcpy(buffer, m_output.constData(), size_t(n));
    m_output.remove(0, n);
}
