#pragma once

#include "ChannelTypes.h"
#include "NTPRange.h"
#include "NTPTimestamp.h"
#include "OstKavexMixerGlobal.h"

#include <QMetaType>
#include <QString>

#include <atomic>

// Number of bytes of 48 kHz 16-bit mono audio that `range` spans, always
// even; 0 when the range's start lies after its end.
OSTKAVEXMIXER_EXPORT quint64 bytesForRange(const NTPRange& range);

// Base of every mixer input. The mixer knows its inputs only through this
// interface: mute state, presentation group, activity, and audio for a time
// range (signed 16-bit little-endian mono PCM at 48 kHz). Concrete channels
// derive from QObject (or QThread) first and from Channel second, and are
// disposed of through deleteThis().
class OSTKAVEXMIXER_EXPORT Channel
{
public:
    Channel(const Channel& other);
    Channel& operator=(const Channel& other);

    virtual channel_t getMuteState();
    virtual void mute(channel_t side);
    virtual void unmute(channel_t side);
    virtual eSampleRate getSampleRate() = 0;
    virtual void deleteThis() = 0;
    // Fills `buffer` with bytesForRange(range) bytes of the range's audio.
    virtual void getData(NTPRange range, unsigned char* buffer);
    // Fills exactly `count` bytes.
    virtual void getData(unsigned char* buffer, quint64 count) = 0;
    virtual void shutdown();
    virtual NTPTimestamp getCurrentTimestamp() = 0;
    virtual QString getPresentationGroup();
    virtual void setPresentationGroup(const QString& name);
    virtual bool isActive();
    virtual void setActive(bool active);

protected:
    Channel();
    virtual ~Channel();

    // A channel_t bit set: written by the host's thread, read by the mixer
    // thread every tick.
    std::atomic<quint32> m_muteState;
    QString m_presentationGroup;
    double m_volume;
};

Q_DECLARE_METATYPE(Channel*)
