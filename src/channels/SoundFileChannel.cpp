#include "SoundFileChannel.h"
#include "LogCategories.h"

#include "AudioConverter.h"

#include <QDebug>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {
const int kHeaderSize = 44;
const quint32 kMaxFileRate = 384000;
// The largest request (in output bytes) the converter handles in one piece.
const double kConverterRequestBytes = 16384;

quint32 le32(const char* p)
{
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(p));
}
quint16 le16(const char* p)
{
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar*>(p));
}

// A four-character code as text, with bytes that are not printable shown as '?'.
QString fourCc(const char* p)
{
    QString text;
    for (int i = 0; i < 4; ++i)
        text += (p[i] >= 0x20 && p[i] < 0x7f) ? QChar(p[i]) : QChar('?');
    return text;
}

// Writes the warning of a failed check and throws the reason a caller can show.
[[noreturn]] void reject(const char* warning, const QString& reason, const QString& detail = QString())
{
    if (detail.isNull())
        qCWarning(lcKavexChannels) << warning;
    else
        qCWarning(lcKavexChannels).noquote() << warning << detail;
    throw std::runtime_error(reason.toStdString());
}
}  // namespace

SoundFileChannel::SoundFileChannel(const QString& path, unsigned int outputRate, bool loop, double gain)
    : m_loop(loop)
    , m_file(path)
    , m_outputRate(outputRate)
    , m_gain(gain)
{
    qCDebug(lcKavexChannels) << "WAVHeader:" << kHeaderSize;
    // Unbuffered: the header and the sample data are each read in one call,
    // a read-ahead buffer would only be one more copy.
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        reject("SoundFileChannel::SoundFileChannel: Failed to open WAV file", "cannot open it: " + m_file.errorString(),
               path);
    const QByteArray h = m_file.read(kHeaderSize);
    if (h.size() < kHeaderSize)
        reject("SoundFileChannel::SoundFileChannel: Failed to read Header",
               QString("not a WAV file: %1 bytes, shorter than a WAV header (44)").arg(h.size()));
    const char* p = h.constData();
    if (std::memcmp(p, "RIFF", 4) != 0)
        reject("SoundFileChannel::SoundFileChannel: This is not a RIFF file",
               "not a WAV file: it begins with '" + fourCc(p) + "', not 'RIFF'");
    const quint32 riffSize = le32(p + 4);
    qCDebug(lcKavexChannels) << "SoundFileChannel::SoundFileChannel: Size is:" << riffSize;
    if (qint64(riffSize) + 8 != m_file.size())
        reject("SoundFileChannel::SoundFileChannel: WAV file sizes do not match",
               QString("damaged WAV file: its header gives %1 bytes, the file has %2")
                   .arg(qint64(riffSize) + 8)
                   .arg(m_file.size()));
    if (std::memcmp(p + 8, "WAVE", 4) != 0)
        reject("SoundFileChannel::SoundFileChannel: This is not a WAV file",
               "not a WAV file: a RIFF file of form '" + fourCc(p + 8) + "', not 'WAVE'");
    if (std::memcmp(p + 12, "fmt ", 4) != 0)
        reject("SoundFileChannel::SoundFileChannel: First sub chunk is not fmt",
               "unsupported WAV layout: the first chunk is '" + fourCc(p + 12) + "', not 'fmt '");
    qCDebug(lcKavexChannels) << "SoundFileChannel::SoundFileChannel: Fmt header size:" << le32(p + 16);
    if (le16(p + 20) != 1)
        reject("SoundFileChannel::SoundFileChannel: Wav file is not raw PCM",
               QString("unsupported WAV format %1: only PCM (format 1) is played").arg(le16(p + 20)));
    if (std::memcmp(p + 36, "data", 4) != 0)
        reject("SoundFileChannel::SoundFileChannel: No data chunk",
               "unsupported WAV layout: '" + fourCc(p + 36) +
                   "' where the 'data' chunk must follow a 16-byte 'fmt ' chunk");
    const quint16 channels = le16(p + 22);
    if (channels != 1)
        reject("SoundFileChannel::SoundFileChannel: Only mono files supported",
               QString("unsupported WAV format: %1 channels, only mono is played").arg(channels));
    const quint16 bits = le16(p + 34);
    if (bits != 16)
        reject("SoundFileChannel::SoundFileChannel: Only 16bit samples supported",
               QString("unsupported WAV format: %1 bits per sample, only 16 is played").arg(bits));
    m_fileRate = le32(p + 24);
    const quint32 dataSize = le32(p + 40);
    qCDebug(lcKavexChannels) << "SoundFileChannel::SoundFileChannel: WAV file info:";
    qCDebug(lcKavexChannels) << "SoundFileChannel::SoundFileChannel: Channels:" << channels;
    qCDebug(lcKavexChannels) << "SoundFileChannel::SoundFileChannel: Samples/s:" << m_fileRate;
    qCDebug(lcKavexChannels) << "SoundFileChannel::SoundFileChannel: AvgBytes/s:" << le32(p + 28);
    qCDebug(lcKavexChannels) << "SoundFileChannel::SoundFileChannel: BlockAlign:" << le16(p + 32);
    qCDebug(lcKavexChannels) << "SoundFileChannel::SoundFileChannel: Bits/Sample:" << bits;
    qCDebug(lcKavexChannels) << "SoundFileChannel::SoundFileChannel: Sample data size:" << dataSize;
    if (m_fileRate == 0)
        reject("SoundFileChannel::SoundFileChannel: Sample rate 0 cannot be played",
               "unsupported WAV format: sample rate 0");
    // The converter's buffers grow with the rate: a header claiming
    // gigahertz would ask for gigabytes.
    if (m_fileRate > kMaxFileRate)
        reject("SoundFileChannel::SoundFileChannel: Sample rate above 384000 Hz cannot be played",
               QString("unsupported WAV format: sample rate %1 Hz, above 384000").arg(m_fileRate),
               QString::number(m_fileRate));

    m_ratio = double(m_fileRate) / 48000.0;
    // The converter's buffers take one request of up to kConverterRequestBytes
    // in one piece (a mixer tick asks for far less); a larger request goes
    // through in pieces, which the resampler joins seamlessly. Sized by the
    // request, not by seconds of audio, they stay small at any rate.
    qCDebug(lcKavexChannels) << m_ratio * 1280 * 1000;
    const unsigned int pieceSamples = static_cast<unsigned int>(m_ratio * kConverterRequestBytes) + 1;
    m_converter.reset(new AudioConverter(m_fileRate, outputRate, channels == 2, false, false, gain, pieceSamples, 0));
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
