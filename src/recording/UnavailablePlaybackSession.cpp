#include "UnavailablePlaybackSession.h"

#include <QDebug>
#include <QMetaObject>

UnavailablePlaybackSession::UnavailablePlaybackSession(const QString& kind, QObject* parent)
    : PlaybackSessionIf(parent)
    , m_kind(kind)
{
}

bool UnavailablePlaybackSession::init(const QString& streamDetail, const QString& location)
{
    qWarning().noquote() << QStringLiteral("%1%2: this build cannot play from unit servers yet (%3)")
                                .arg(streamDetail.isEmpty() ? QString() : streamDetail + ": ", m_kind, location);
    // Reported from the event loop, as a real session reports from its own thread.
    QMetaObject::invokeMethod(
        this, [this] { emit playbackSessionState(false); }, Qt::QueuedConnection);
    return false;
}

void UnavailablePlaybackSession::requestStreamInfo()
{
    emit onStreamInfo(QStringLiteral("0-0"));
}

bool UnavailablePlaybackSession::requestUnit(const quint64&, const NTPTimestamp&, UnitRequestType)
{
    return false;
}
