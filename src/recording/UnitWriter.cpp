#include "UnitWriter.h"

#include "Clock.h"
#include "RecordingStore.h"

#include <QDebug>

#include <stdexcept>

UnitWriter::UnitWriter(const QString& path, const std::vector<QByteArray>& publicKeys, Clock& clock)
    : m_sealer(publicKeys)
    , m_clock(clock)
{
    m_thread = std::thread([this, path] { run(path); });
    KavexLocker lock(&m_lock);
    while (!m_opened)
        m_progress.wait(lock);
    if (!m_openError.isEmpty()) {
        const std::string error = m_openError.toStdString();
        lock.unlock();
        m_thread.join();
        throw std::runtime_error(error);
    }
}

UnitWriter::~UnitWriter()
{
    {
        KavexLocker lock(&m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void UnitWriter::submit(const QVector<CutUnit>& units)
{
    if (units.isEmpty())
        return;
    {
        KavexLocker lock(&m_lock);
        m_queue += units;
        m_submitted += quint64(units.size());
    }
    m_wake.notify_one();
}

void UnitWriter::waitUntilWritten()
{
    KavexLocker lock(&m_lock);
    const quint64 target = m_submitted;
    while (m_finished < target)
        m_progress.wait(lock);
}

quint64 UnitWriter::unitsWritten() const
{
    KavexLocker lock(&m_lock);
    return m_written;
}

void UnitWriter::run(const QString& path)
{
    RecordingStore store(m_clock);
    const bool ok = store.open(path, RecordingStore::OPEN_OR_CREATE);
    {
        KavexLocker lock(&m_lock);
        m_openError = ok ? QString() : store.errorText();
        m_opened = true;
    }
    m_progress.notify_all();
    if (!ok)
        return;
    for (;;) {
        QVector<CutUnit> batch;
        {
            KavexLocker lock(&m_lock);
            while (!m_stop && m_queue.isEmpty())
                m_wake.wait(lock);
            if (m_queue.isEmpty())
                return;
            batch.swap(m_queue);
        }
        write(store, batch);
    }
}

void UnitWriter::write(RecordingStore& store, QVector<CutUnit>& batch)
{
    QVector<RecordedUnit> units;
    units.reserve(batch.size());
    for (CutUnit& cut : batch) {
        auto it = m_streamIds.constFind(cut.stream);
        if (it == m_streamIds.constEnd()) {
            const qint64 id = store.addStream(cut.stream, cut.detail, cut.streamSdp);
            if (id <= 0)
                continue;
            it = m_streamIds.insert(cut.stream, id);
        }
        RecordedUnit unit = cut.unit;
        unit.streamId = it.value();
        if (m_sealer.isSealing()) {
            unit.payload = m_sealer.seal(unit.payload);
            unit.encrypted = true;
        }
        units.append(unit);
    }
    const bool ok = store.writeUnits(units);
    {
        KavexLocker lock(&m_lock);
        m_finished += quint64(batch.size());
        if (ok)
            m_written += quint64(units.size());
    }
    m_progress.notify_all();
}
