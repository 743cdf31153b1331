#pragma once

#include "NTPTimestamp.h"
#include "SharedPoolBuffer.h"

#include <QObject>
#include <QString>

// A recording session: delivers the stream units of one recorded stream on
// request. Implementations report on their own threads; the playback channel
// that owns a session connects its signals queued.
class PlaybackSessionIf : public QObject
{
    Q_OBJECT
public:
    enum UnitRequestType {
        RequestCurrent = 0,   // the unit that contains ts
        RequestPrevious = 1,  // the unit before ts
        RequestNext = 2       // the unit after ts
    };
    Q_ENUM(UnitRequestType)

    explicit PlaybackSessionIf(QObject* parent = nullptr) : QObject(parent) {}
    ~PlaybackSessionIf() override = default;

    // Answered by onStreamInfo.
    virtual void requestStreamInfo() = 0;
    // True when accepted; then answered by exactly one onUnit with the same id.
    virtual bool requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type) = 0;

signals:
    // true: ready for requests; false: the session failed.
    void playbackSessionState(bool state);
    // The recording's span as "begin-end" (unsigned decimals); "0-0" when there is none.
    void onStreamInfo(const QString& streamInfo);
    // A unit: its SDP, the span of its audio and the payload. A missing unit
    // comes with begin >= end.
    void onUnit(const quint64& id, const QString& sdp_, const NTPTimestamp& absNtpTimeBegin,
                const NTPTimestamp& absNtpTimeEnd, const SharedPoolBuffer& data_);
};
