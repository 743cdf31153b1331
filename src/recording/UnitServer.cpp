#include "UnitServer.h"

#include "AccessToken.h"
#include "Clock.h"
#include "RecordingStore.h"
#include "StoreLocation.h"
#include "ThreadEnd.h"
#include "UnitServerCore.h"
#include "UnitStorePool.h"

#include <QFile>
#include <QMetaObject>
#include <QThread>

UnitServer::UnitServer(const Options& options) : UnitServer(options, Clock::system()) {}

UnitServer::UnitServer(const Options& options, Clock& clock) : m_options(options), m_clock(clock) {}

UnitServer::~UnitServer()
{
    stop();
}

bool UnitServer::start(QString* error)
{
    if (m_thread) {
        *error = QStringLiteral("the server is running already");
        return false;
    }
    if (m_options.token.isEmpty()) {
        *error = QStringLiteral("no access token");
        return false;
    }
    const QString path = StoreLocation::resolve(m_options.store);
    {
        RecordingStore store(m_clock);
        if (!store.open(path, RecordingStore::OPEN_EXISTING)) {
            *error = store.errorText();
            return false;
        }
    }
    m_core = new UnitServerCore(m_options, m_clock);
    UnitServerCore* core = m_core;
    m_pool = std::make_unique<UnitStorePool>(path, m_options.workers, [core](quint64 connection, QByteArray framed) {
        // The answer moves into the queued call: only the server thread holds it from here on.
        kavexHandOff(core);
        QMetaObject::invokeMethod(
            core,
            [core, connection, framed = std::move(framed)] {
                kavexTakeOver(core);
                core->deliver(connection, framed);
            },
            Qt::QueuedConnection);
    });
    m_core->setPool(m_pool.get());
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("UnitServer"));
    m_core->moveToThread(m_thread);
    markThreadEnd(m_thread);
    m_thread->start();
    bool listening = false;
    invokeAndWait(m_core, [&] { listening = m_core->listen(&m_port, error); });
    if (!listening)
        stop();
    return listening;
}

void UnitServer::stop()
{
    if (!m_thread)
        return;
    // Workers first: none of them posts an answer after this.
    m_pool.reset();
    invokeAndWait(m_core, [this] { delete m_core; });
    m_core = nullptr;
    m_thread->quit();
    m_thread->wait();
    joinedThread(m_thread);
    delete m_thread;
    m_thread = nullptr;
    m_port = 0;
}

bool UnitServer::loadOrCreateToken(const QString& path, QByteArray* token, bool* created, QString* error)
{
    *created = !QFile::exists(path);
    return *created ? AccessToken::createFile(path, token, error) : AccessToken::readFile(path, token, error);
}
