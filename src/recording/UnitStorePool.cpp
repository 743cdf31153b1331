#include "UnitStorePool.h"
#include "LogCategories.h"

#include "Clock.h"
#include "KavexTcpSocket.h"
#include "RecordingCatalog.h"
#include "RecordingStore.h"

#include <QDebug>

UnitStorePool::UnitStorePool(const QString& storePath, int workers, Deliver deliver)
    : m_path(storePath)
    , m_deliver(std::move(deliver))
{
    for (int i = 0; i < std::max(1, workers); ++i)
        m_threads.emplace_back([this] { run(); });
}

UnitStorePool::~UnitStorePool()
{
    {
        KavexLocker lock(&m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

void UnitStorePool::submit(quint64 connection, const UnitProtocol::Message& request)
{
    {
        KavexLocker lock(&m_lock);
        m_jobs.push_back({connection, request});
    }
    m_wake.notify_one();
}

void UnitStorePool::run()
{
    RecordingStore store(Clock::system());
    if (!store.open(m_path, RecordingStore::OPEN_EXISTING))
        qCWarning(lcKavexRecording).noquote() << "UnitServer: A worker cannot open the store:" << store.errorText();
    for (;;) {
        Job job;
        {
            KavexLocker lock(&m_lock);
            m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
            if (m_stop)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        const UnitProtocol::Message reply = answer(store.isOpen() ? &store : nullptr, job.request);
        m_deliver(job.connection, UnitProtocol::frame(UnitProtocol::encode(reply)));
    }
}

UnitProtocol::Message UnitStorePool::answer(RecordingStore* store, const UnitProtocol::Message& request)
{
    UnitProtocol::Message reply;
    reply.type = request.type;
    reply.id = request.id;
    const auto fail = [&reply](const QString& text) {
        reply.type = UnitProtocol::TYPE_ERROR;
        reply.text = text;
        return reply;
    };
    if (!store)
        return fail(QStringLiteral("the store cannot be read"));
    if (request.type == UnitProtocol::TYPE_LIST) {
        QList<RecordingCatalog::Entry> entries;
        QString error;
        if (!RecordingCatalog::list(*store, &entries, &error))
            return fail(error);
        for (const RecordingCatalog::Entry& e : qAsConst(entries))
            reply.streams.append(
                {e.name, e.detail, e.codec, e.span.start().getRaw(), e.span.end().getRaw(), e.units, e.encrypted});
        return reply;
    }
    const qint64 streamId = store->findStream(request.stream);
    if (streamId < 0)
        return fail(QStringLiteral("the store cannot be read"));
    if (request.type == UnitProtocol::TYPE_STREAM_INFO) {
        const NTPRange span = streamId > 0 ? store->streamSpan(streamId) : NTPRange();
        reply.begin = span.start().getRaw();
        reply.end = span.end().getRaw();
        return reply;
    }
    if (request.type != UnitProtocol::TYPE_UNIT)
        return fail(QStringLiteral("not a request"));
    if (streamId == 0)
        return fail(QStringLiteral("no stream '%1'").arg(request.stream.left(200)));
    RecordedUnit unit;
    reply.begin = reply.end = request.ts;  // a missing unit
    if (!store->findUnit(streamId, NTPTimestamp(request.ts), PlaybackSessionIf::UnitRequestType(request.requestType),
                         &unit))
        return reply;
    // Room for the message's own fields within the frame limit.
    if (unit.payload.size() + unit.sdp.size() * 3 > KavexTcpSocket::MAX_MESSAGE_SIZE - 1024)
        return fail(QStringLiteral("the unit is too large to send"));
    reply.begin = unit.begin.getRaw();
    reply.end = unit.end.getRaw();
    reply.sdp = unit.sdp;
    reply.data = unit.payload;
    reply.sealed = unit.encrypted;
    return reply;
}
