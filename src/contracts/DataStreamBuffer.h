#pragma once

#include "OstKavexMixerGlobal.h"

#include <QByteArray>
#include <QIODevice>

// A random-access QIODevice over bytes in memory, for reading or writing a
// message with QDataStream. It is open for reading and writing from
// construction on, positioned at the start. Writing past the end extends the
// bytes; writing inside them overwrites.
class DataStreamBuffer : public QIODevice
{
    Q_OBJECT
public:
    // Empty: for composing a message.
    explicit DataStreamBuffer(QObject* parent = nullptr);
    // Over a copy of `bytes` (implicitly shared, so this does not copy).
    explicit DataStreamBuffer(const QByteArray& bytes, QObject* parent = nullptr);
    // Over the caller's bytes without copying them: they must stay valid and
    // unchanged while the device is read. The first write makes a private copy.
    DataStreamBuffer(const char* data, int size, QObject* parent = nullptr);

    const QByteArray& getBuffer() const { return m_bytes; }

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_bytes.size(); }
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    QByteArray m_bytes;
};
