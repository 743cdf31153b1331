#include "UnitPayloadFormat.h"

#include "Util.h"

#include <QDebug>
#include <QRegularExpression>

namespace {
const int kAdtsHeaderBytes = 7;
const int kMaxAdtsFrame = 8191;
// Samples in one AAC access unit (AAC-LC and HE-AAC's core).
const quint64 kAacFrameSamples = 1024;
const int kSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

int frequencyIndex(int rate)
{
    for (int i = 0; i < int(sizeof kSampleRates / sizeof kSampleRates[0]); ++i)
        if (kSampleRates[i] == rate)
            return i;
    return 4;  // 44.1 kHz, the decoder reads the rate from the stream anyway
}

// Reads `bits` bits (at most 32) MSB first from `data` at bit offset `pos`.
quint32 readBits(const unsigned char* data, int pos, int bits)
{
    quint32 v = 0;
    for (int i = 0; i < bits; ++i, ++pos)
        v = (v << 1) | ((data[pos >> 3] >> (7 - (pos & 7))) & 1);
    return v;
}

// The value of an "a=fmtp" parameter for the payload type (names are case-insensitive).
QString fmtpValue(const QString& sdp, int payloadType, const QString& name)
{
    const QRegularExpression line(QStringLiteral("a=fmtp:%1 ([^\\r\\n]*)").arg(payloadType));
    const QRegularExpressionMatch m = line.match(sdp);
    if (!m.hasMatch())
        return QString();
    for (const QString& item : m.captured(1).split(QLatin1Char(';'))) {
        const int eq = item.indexOf(QLatin1Char('='));
        if (eq > 0 && item.left(eq).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return item.mid(eq + 1).trimmed();
    }
    return QString();
}
}  // namespace

QString UnitPayloadFormat::staticSdp(int payloadType)
{
    const char* map = payloadType == 0    ? "PCMU/8000"
                      : payloadType == 8  ? "PCMA/8000"
                      : payloadType == 14 ? "MPA/90000"
                                          : nullptr;
    if (!map)
        return QString();
    return QStringLiteral("v=0\r\no=- 0 0 IN IP4 0.0.0.0\r\ns=Recording\r\nm=audio 0 RTP/AVP %1\r\na=rtpmap:%1 %2\r\n")
        .arg(payloadType)
        .arg(QLatin1String(map));
}

UnitPayloadFormat::UnitPayloadFormat(const QString& sdp)
{
    if (sdp.isEmpty() || !MixerUtil::parseSdp(sdp, m_codec, m_payloadType, m_clockRate) || m_clockRate <= 0)
        return;
    m_valid = true;
    m_unitSdp = sdp;
    const QString codec = m_codec.toUpper();
    if (codec == QLatin1String("PCMA") || codec == QLatin1String("PCMU") || codec == QLatin1String("PCMA16") ||
        codec == QLatin1String("G711") || codec == QLatin1String("G.711")) {
        m_bitsPerSample = 8;
    } else if (codec == QLatin1String("MPA") || codec == QLatin1String("MP2")) {
        m_kind = KIND_SKIP;
        m_skip = 4;
    } else if (codec == QLatin1String("AC3")) {
        m_kind = KIND_SKIP;
        m_skip = 2;
    } else if (codec == QLatin1String("MPEG4-GENERIC")) {
        setUpAac(sdp);
    } else if (codec.startsWith(QLatin1String("G726"))) {
        m_kind = KIND_ADTS_WRAP;
        m_bitsPerSample = QStringRef(&codec).mid(5, 2).toInt() / 8;
    }
}

void UnitPayloadFormat::setUpAac(const QString& sdp)
{
    m_kind = KIND_AU_HEADERS;
    m_sizeLength = fmtpValue(sdp, m_payloadType, QStringLiteral("sizeLength")).toInt();
    m_indexLength = fmtpValue(sdp, m_payloadType, QStringLiteral("indexLength")).toInt();
    m_indexDeltaLength = fmtpValue(sdp, m_payloadType, QStringLiteral("indexDeltaLength")).toInt();
    // AudioSpecificConfig: 5 bits object type, 4 bits frequency index, 4 bits channels.
    const QByteArray config = QByteArray::fromHex(fmtpValue(sdp, m_payloadType, QStringLiteral("config")).toLatin1());
    const QRegularExpression channels(QStringLiteral("a=rtpmap:%1 [^/\\s]+/\\d+/(\\d+)").arg(m_payloadType));
    const QRegularExpressionMatch m = channels.match(sdp);
    m_adtsChannels = m.hasMatch() ? m.captured(1).toInt() : 1;
    m_adtsFrequencyIndex = frequencyIndex(m_clockRate);
    if (config.size() >= 2) {
        const auto* c = reinterpret_cast<const unsigned char*>(config.constData());
        const int objectType = int(readBits(c, 0, 5));
        const int index = int(readBits(c, 5, 4));
        m_adtsProfile = objectType >= 1 && objectType <= 4 ? objectType - 1 : 1;
        if (index < 13)
            m_adtsFrequencyIndex = index;
        m_adtsChannels = int(readBits(c, 9, 4));
    }
    // The AAC decoder reads ADTS; it is chosen by the codec name "AAC".
    m_unitSdp.replace(QRegularExpression(QStringLiteral("(a=rtpmap:%1 )MPEG4-GENERIC").arg(m_payloadType),
                                         QRegularExpression::CaseInsensitiveOption),
                      QStringLiteral("\\1AAC"));
}

bool UnitPayloadFormat::append(const unsigned char* payload, int size, QByteArray& unit) const
{
    switch (m_kind) {
    case KIND_RAW:
        if (size <= 0)
            return false;
        unit.append(reinterpret_cast<const char*>(payload), size);
        return true;
    case KIND_SKIP:
        if (size <= m_skip)
            return false;
        unit.append(reinterpret_cast<const char*>(payload) + m_skip, size - m_skip);
        return true;
    case KIND_AU_HEADERS:
        return appendAccessUnits(payload, size, unit);
    case KIND_ADTS_WRAP:
        if (size <= 0 || size + kAdtsHeaderBytes > kMaxAdtsFrame)
            return false;
        appendAdts(payload, size, unit);
        return true;
    }
    return false;
}

void UnitPayloadFormat::appendAdts(const unsigned char* data, int size, QByteArray& unit) const
{
    const int length = size + kAdtsHeaderBytes;
    const unsigned char header[kAdtsHeaderBytes] = {
        0xFF,
        0xF1,  // sync word, MPEG-4, no CRC
        static_cast<unsigned char>((m_adtsProfile << 6) | (m_adtsFrequencyIndex << 2) | ((m_adtsChannels >> 2) & 1)),
        static_cast<unsigned char>(((m_adtsChannels & 3) << 6) | (length >> 11)),
        static_cast<unsigned char>((length >> 3) & 0xFF),
        static_cast<unsigned char>(((length & 7) << 5) | 0x1F),
        0xFC};
    unit.append(reinterpret_cast<const char*>(header), kAdtsHeaderBytes);
    unit.append(reinterpret_cast<const char*>(data), size);
}

// RFC 3640: a 16-bit AU-headers-length in bits, the AU headers (size and
// index or index delta), padding to a byte, then the access units in order.
// Fragments of an access unit larger than one packet are not reassembled.
bool UnitPayloadFormat::appendAccessUnits(const unsigned char* payload, int size, QByteArray& unit) const
{
    if (m_sizeLength <= 0) {
        if (size <= 0 || size + kAdtsHeaderBytes > kMaxAdtsFrame)
            return false;
        appendAdts(payload, size, unit);
        return true;
    }
    if (size < 2)
        return false;
    const int headerBits = (payload[0] << 8) | payload[1];
    const int headerBytes = (headerBits + 7) / 8;
    if (2 + headerBytes > size)
        return false;
    const unsigned char* headers = payload + 2;
    const unsigned char* data = payload + 2 + headerBytes;
    const int dataSize = size - 2 - headerBytes;
    // Check every unit first: a malformed packet adds nothing.
    int pos = 0, offset = 0, count = 0;
    int sizes[64];
    while (pos + m_sizeLength <= headerBits && count < 64) {
        sizes[count] = int(readBits(headers, pos, m_sizeLength));
        pos += m_sizeLength + (count == 0 ? m_indexLength : m_indexDeltaLength);
        offset += sizes[count];
        if (sizes[count] <= 0 || offset > dataSize || sizes[count] + kAdtsHeaderBytes > kMaxAdtsFrame)
            return false;
        ++count;
    }
    if (count == 0)
        return false;
    offset = 0;
    for (int i = 0; i < count; ++i) {
        appendAdts(data + offset, sizes[i], unit);
        offset += sizes[i];
    }
    return true;
}

quint32 UnitPayloadFormat::durationTicks(int payloadSize) const
{
    if (m_bitsPerSample <= 0 || payloadSize <= 0)
        return 0;
    return quint32(payloadSize) * 8 / quint32(m_bitsPerSample);
}

quint32 UnitPayloadFormat::durationTicks(const unsigned char* payload, int size) const
{
    if (m_kind != KIND_AU_HEADERS || m_sizeLength <= 0 || size < 2)
        return durationTicks(size);
    const int headerBits = (payload[0] << 8) | payload[1];
    quint64 count = 0;
    for (int pos = 0; pos + m_sizeLength <= headerBits && count < 64; ++count)
        pos += m_sizeLength + (count == 0 ? m_indexLength : m_indexDeltaLength);
    const quint64 sampleRate = quint64(kSampleRates[m_adtsFrequencyIndex]);
    return quint32(count * kAacFrameSamples * quint64(m_clockRate) / sampleRate);
}
