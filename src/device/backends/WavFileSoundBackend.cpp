#include "WavFileSoundBackend.h"
#include "LogCategories.h"

#include "WavHeader.h"

#include <QDebug>

#include <algorithm>

namespace {
// A RIFF file cannot describe more sample bytes than this.
constexpr quint64 MAX_DATA_BYTES = 0xFFFFFFFFull - 36;
}  // namespace

WavFileSoundBackend::WavFileSoundBackend(const Format& format, quint32 ringBytes, const QString& path, Clock& clock)
    : VirtualSoundBackend(DIRECTION_PLAYBACK, format, ringBytes, clock)
    , m_file(path)
{
    // Unbuffered: each write goes straight to the file without allocating.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        qCWarning(lcKavexDevice) << "WavFileSoundBackend::WavFileSoundBackend: cannot create" << path << ":"
                                 << m_file.errorString();
        return;
    }
    const QByteArray header =
        WavHeader::canonical(format.sampleRate, quint16(format.channels), quint16(8 * format.bytesPerSample), 0);
    if (m_file.write(header) != header.size()) {
        qCWarning(lcKavexDevice) << "WavFileSoundBackend::WavFileSoundBackend: cannot write" << path << ":"
                                 << m_file.errorString();
        m_file.close();
    }
}

WavFileSoundBackend::~WavFileSoundBackend()
{
    stop();
    finish();
}

void WavFileSoundBackend::render(const quint8* data, quint32 bytes)
{
    if (!m_file.isOpen() || m_writeFailed)
        return;
    if (m_file.write(reinterpret_cast<const char*>(data), bytes) != qint64(bytes)) {
        // Logged once; the card plays on without its recording.
        m_writeFailed = true;
        qCWarning(lcKavexDevice) << "WavFileSoundBackend::render: writing" << m_file.fileName()
                                 << "failed:" << m_file.errorString();
        return;
    }
    m_dataBytes += bytes;
}

void WavFileSoundBackend::renderSilence(quint64 bytes)
{
    static const quint8 zeros[4096] = {};
    while (bytes > 0) {
        const quint32 n = quint32(std::min<quint64>(bytes, sizeof zeros));
        render(zeros, n);
        bytes -= n;
    }
}

void WavFileSoundBackend::finish()
{
    if (!m_file.isOpen())
        return;
    const Format& f = format();
    const quint32 described = quint32(std::min(m_dataBytes, MAX_DATA_BYTES));
    const QByteArray header =
        WavHeader::canonical(f.sampleRate, quint16(f.channels), quint16(8 * f.bytesPerSample), described);
    if (!m_file.seek(0) || m_file.write(header) != header.size())
        qCWarning(lcKavexDevice) << "WavFileSoundBackend::finish: cannot complete the header of" << m_file.fileName();
    m_file.close();
}
