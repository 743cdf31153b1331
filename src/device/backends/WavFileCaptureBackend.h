#pragma once

#include "VirtualSoundBackend.h"

#include <QFile>

// A virtual microphone that delivers the samples of a WAV file in real
// time, starting over at its end. The file must be PCM with the capture's
// sample rate, channel count and sample size; anything else is refused when
// the backend is made. The file is read on the thread that owns the
// backend, whenever it reads the cursor.
class WavFileCaptureBackend : public VirtualSoundBackend
{
public:
    WavFileCaptureBackend(const Format& format, quint32 ringBytes, const QString& path, Clock& clock);

    // False (with a warning logged) when the file is missing or does not match.
    bool isOpen() const { return m_file.isOpen(); }

protected:
    void fill(quint8* data, quint32 bytes) override;
    void skip(quint64 bytes) override;

private:
    QFile m_file;
    qint64 m_dataOffset = 0;
    qint64 m_dataBytes = 0;
    qint64 m_position = 0;  // next sample byte to deliver, relative to the data
};
