#include "LogCapture.h"

KavexMutex LogCapture::s_lock;
LogCapture* LogCapture::s_current = nullptr;

LogCapture::LogCapture(bool withThirdParty) : m_withThirdParty(withThirdParty)
{
    KavexLocker lock(&s_lock);
    s_current = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    KavexLocker lock(&s_lock);
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
{
    KavexLocker lock(&s_lock);
    LogCapture* self = s_current;
    if (!self)
        return;
    const QByteArray function(ctx.function);
    if (!self->m_withThirdParty && (function == "FFmpeg" || function == "ALSA" || function == "JACK"))
        return;
    self->m_entries.append({type, msg, QString::fromUtf8(ctx.file), ctx.line, QString::fromUtf8(ctx.function),
                            QString::fromUtf8(ctx.category)});
    if (qEnvironmentVariableIsSet("KAVEX_TEST_VERBOSE") && self->m_previous)
        self->m_previous(type, ctx, msg);
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    KavexLocker lock(&s_lock);
    return m_entries;
}

int LogCapture::count(QtMsgType type, const QString& fragment) const
{
    int n = 0;
    for (const Entry& e : entries())
        n += e.type == type && e.text.contains(fragment);
    return n;
}

int LogCapture::countAny(const QString& fragment) const
{
    int n = 0;
    for (const Entry& e : entries())
        n += e.text.contains(fragment);
    return n;
}

void LogCapture::clear()
{
    KavexLocker lock(&s_lock);
    m_entries.clear();
}

QString LogCapture::dump() const
{
    QString out;
    for (const Entry& e : entries())
        out += QString::number(int(e.type)) + ": " + e.text + "\n";
    return out;
}
