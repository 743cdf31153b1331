#include "LogCapture.h"

#include <QMutexLocker>

LogCapture* LogCapture::s_current = nullptr;

LogCapture::LogCapture()
{
    s_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
{
    LogCapture* self = s_current;
    if (!self)
        return;
    QMutexLocker lock(&self->m_lock);
    self->m_entries.append({type, msg, QString::fromUtf8(ctx.file ? ctx.file : ""), ctx.line,
                            QString::fromUtf8(ctx.function ? ctx.function : "")});
    if (qEnvironmentVariableIsSet("KAVEX_TEST_VERBOSE") && self->m_previous)
        self->m_previous(type, ctx, msg);
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    QMutexLocker lock(&m_lock);
    return m_entries;
}

int LogCapture::count(QtMsgType type, const QString& fragment) const
{
    QMutexLocker lock(&m_lock);
    int n = 0;
    for (const Entry& e : m_entries)
        if (e.type == type && e.text.contains(fragment))
            ++n;
    return n;
}

int LogCapture::countAny(const QString& fragment) const
{
    QMutexLocker lock(&m_lock);
    int n = 0;
    for (const Entry& e : m_entries)
        if (e.text.contains(fragment))
            ++n;
    return n;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_lock);
    m_entries.clear();
}

QString LogCapture::dump() const
{
    QMutexLocker lock(&m_lock);
    QString out;
    for (const Entry& e : m_entries)
        out += QString::number(int(e.type)) + ": " + e.text + "\n";
    return out;
}
