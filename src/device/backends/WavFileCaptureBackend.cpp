#include "WavFileCaptureBackend.h"
#include "LogCategories.h"

#include "WavHeader.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

WavFileCaptureBackend::WavFileCaptureBackend(const Format& format, quint32 ringBytes, const QString& path, Clock& clock)
    : VirtualSoundBackend(DIRECTION_CAPTURE, format, ringBytes, clock)
    , m_file(path)
{
    // Unbuffered: reads go straight into the ring without allocating.
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qCWarning(lcKavexDevice) << "WavFileCaptureBackend::WavFileCaptureBackend: cannot open" << path << ":"
                                 << m_file.errorString();
        return;
    }
    WavHeader header;
    QString error;
    if (!header.parse(m_file, &error)) {
        qCWarning(lcKavexDevice) << "WavFileCaptureBackend::WavFileCaptureBackend: cannot use" << path << ":" << error;
        m_file.close();
        return;
    }
    const bool matches = header.formatTag == 1 && header.sampleRate == format.sampleRate &&
                         header.channels == format.channels && header.bitsPerSample == 8 * format.bytesPerSample;
    if (!matches) {
        qCWarning(lcKavexDevice).nospace().noquote()
            << "WavFileCaptureBackend::WavFileCaptureBackend: cannot use " << path << ": it holds "
            << (header.formatTag == 1 ? "PCM" : "non-PCM (format tag " + QString::number(header.formatTag) + ")") << " "
            << header.sampleRate << " Hz, " << header.channels << " channel(s), " << header.bitsPerSample
            << " bit; the capture needs PCM " << format.sampleRate << " Hz, " << format.channels << " channel(s), "
            << 8 * format.bytesPerSample << " bit";
        m_file.close();
        return;
    }
    m_dataOffset = header.dataOffset;
    m_dataBytes = header.dataBytes - header.dataBytes % format.bytesPerFrame();
    if (m_dataBytes <= 0) {
        qCWarning(lcKavexDevice) << "WavFileCaptureBackend::WavFileCaptureBackend: cannot use" << path
                                 << ": it has no samples";
        m_file.close();
    }
}

void WavFileCaptureBackend::fill(quint8* data, quint32 bytes)
{
    while (bytes > 0) {
        const quint32 n = quint32(std::min<qint64>(bytes, m_dataBytes - m_position));
        qint64 got = -1;
        if (m_file.seek(m_dataOffset + m_position))
            got = m_file.read(reinterpret_cast<char*>(data), n);
        if (got < qint64(n)) {
            // The file shrank underneath us: deliver silence for the rest.
            std::memset(data + std::max<qint64>(got, 0), 0, n - std::max<qint64>(got, 0));
        }
        data += n;
        bytes -= n;
        m_position = (m_position + n) % m_dataBytes;
    }
}

void WavFileCaptureBackend::skip(quint64 bytes)
{
    m_position = qint64((quint64(m_position) + bytes) % quint64(m_dataBytes));
}
