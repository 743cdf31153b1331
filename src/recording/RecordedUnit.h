#pragma once

#include "NTPTimestamp.h"

#include <QByteArray>
#include <QString>

// One stored unit of a recorded stream: the audio between begin and end as
// the payload the decoder of `sdp` takes, possibly sealed in encryption layers.
struct RecordedUnit {
    qint64 streamId = 0;
    NTPTimestamp begin;
    NTPTimestamp end;
    QString sdp;
    QByteArray payload;
    bool encrypted = false;
};
