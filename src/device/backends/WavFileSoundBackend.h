#pragma once

#include "VirtualSoundBackend.h"

#include <QFile>

// A virtual sound card that records what it plays into a WAV file: every
// byte the play cursor passes, in order, including the silence it plays
// while nothing new was written. The header carries the final sizes once the
// backend is destroyed (the sound buffer released). Opening the same path
// again starts the file anew. The file is written on the thread that owns
// the backend, whenever it reads the cursor.
class WavFileSoundBackend : public VirtualSoundBackend
{
public:
    WavFileSoundBackend(const Format& format, quint32 ringBytes, const QString& path, Clock& clock);
    ~WavFileSoundBackend() override;

    // False (with a warning logged) when the file could not be created.
    bool isOpen() const { return m_file.isOpen(); }

protected:
    void render(const quint8* data, quint32 bytes) override;
    void renderSilence(quint64 bytes) override;

private:
    void finish();

    QFile m_file;
    quint64 m_dataBytes = 0;
    bool m_writeFailed = false;
};
