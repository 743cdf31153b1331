#pragma once

#include "OstKavexMixerGlobal.h"

#include <QHostAddress>
#include <QList>
#include <QString>

/// What a host can show about one live stream (one sender and SSRC of a
/// receiver): where it comes from, what it carries and how it arrives.
struct OSTKAVEXMIXER_EXPORT LiveStreamStatus {
    quint64 receiverId = 0;  ///< the id addUnicast/MulticastRtpChannel returned
    QHostAddress sender;     ///< the address the stream arrives from
    quint32 ssrc = 0;        ///< the stream's RTP synchronisation source
    QString codec;           ///< as the stream's SDP names it
    quint64 packets = 0;     ///< accepted RTP packets
    quint64 lost = 0;        ///< gaps in the sequence numbers
    quint64 duplicates = 0;  ///< packets rejected as duplicates or too old
    int peak = 0;            ///< peak sample of the audio last mixed, 0..32767
};
