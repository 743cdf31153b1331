#pragma once

#include "NTPRange.h"

#include <QString>

// What a playback group needs of a member channel beyond the Channel
// interface: positioning, direction, range and the interpret-pause flag, and
// the stream information it has seen. A member that also is a QObject with
// the signals streamInfo(QString, QString) and outOfData() has them connected
// to the group.
class PlaybackMember
{
public:
    virtual ~PlaybackMember() = default;
    // Fetch afresh from `ts`: the unit there (forward) or before it (reverse).
    virtual void requestPosition(const NTPTimestamp& ts) = 0;
    virtual void setReverse(bool reverse) = 0;
    virtual void setPlaybackRange(const NTPRange& range) = 0;
    virtual void setInterpretPause(bool interpret) = 0;
    // The last stream information reported, if any.
    virtual bool hasStreamInfo() const = 0;
    virtual QString streamInfo() const = 0;
    virtual QString streamName() const = 0;
};
