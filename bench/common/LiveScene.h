#pragma once

#include "MixingStep.h"
#include "NTPTimestamp.h"

#include <QMap>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <vector>

class Channel;
class PresentationGroup;
class RTPPacket;
class RtpChannel;

// The live path without threads or waits: N RTP channels of A-law streams
// take their packets (check, decode, queue) and a mixing step renders one
// tick of the "LIVE" group from them (mix, output stage, group reports),
// as fast as the caller drives it. Stream time 0 (RTP timestamp 0, stated
// by a sender report) is played by tick 0; packets reach the channels 60 ms
// ahead of the tick that plays them. Single-threaded; needs a
// QCoreApplication for the channels' timers.
class LiveScene
{
public:
    explicit LiveScene(int count);
    ~LiveScene();
    LiveScene(const LiveScene&) = delete;
    LiveScene& operator=(const LiveScene&) = delete;

    int count() const { return int(m_channels.size()); }
    // How many 20 ms packets of every stream must have arrived before `tick` is mixed.
    static quint64 packetsDueBefore(quint64 tick);
    // Ticks that play `seconds` of stream time through the channels' 120 ms delay.
    static quint64 ticksFor(double seconds);

    void deliver(int channel, const RTPPacket& packet);
    // Renders the next tick.
    void mixTick();
    quint64 ticksMixed() const { return m_tick; }
    // The block of the last tick: interleaved stereo.
    const qint16* output() const { return m_step.outputBlock(); }
    // Largest output magnitude so far.
    int peak() const { return m_peak; }

private:
    struct ChannelDeleter {
        void operator()(RtpChannel* c) const;
    };

    std::vector<std::unique_ptr<RtpChannel, ChannelDeleter>> m_channels;
    std::vector<Channel*> m_mixed;
    std::unique_ptr<PresentationGroup> m_live;
    QMap<QString, PresentationGroup*> m_groups;
    MixingStep m_step;
    quint64 m_tick = 0;
    int m_peak = 0;
};
