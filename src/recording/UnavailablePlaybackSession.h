#pragma once

#include "PlaybackSessionIf.h"

// The session behind playback kinds that this build cannot serve yet
// (playback from a unit server):
// init() says so in one warning and the session reports itself failed, so
// that its channel logs the failed interaction and reports "0-0" like any
// session that cannot reach its recordings. Every request is refused.
// Lives on its channel's thread.
class UnavailablePlaybackSession : public PlaybackSessionIf
{
    Q_OBJECT
public:
    explicit UnavailablePlaybackSession(const QString& kind, QObject* parent = nullptr);

    // `location`: where the recordings would have come from, for the warning.
    bool init(const QString& streamDetail, const QString& location);
    void requestStreamInfo() override;
    bool requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type) override;

private:
    const QString m_kind;
};
