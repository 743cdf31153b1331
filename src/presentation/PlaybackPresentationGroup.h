#pragma once

#include "PresentationGroup.h"

class PlaybackMember;

// The presentation group of recorded playback: adds a speed in percent
// (negative = backwards) that sets how fast the group's clock runs, hands
// every seek, range change and change of direction on to its playback
// members, and switches them on and off with play, pause and stop. Members
// that are not playback members are kept on the time line but never treated
// as one.
class PlaybackPresentationGroup : public PresentationGroup
{
    Q_OBJECT
public:
    explicit PlaybackPresentationGroup(const QString& name);

    void setPosition(const NTPTimestamp& pos, quint64 tick) override;
    void setSpeed(int speed) override;
    void play(quint64 tick) override;
    void pause() override;
    void stop() override;
    void addChannel(Channel* channel) override;
    void removeChannel(Channel* channel) override;
    void interpretPause(bool interpret, quint64 tick) override;
    void setPlaybackRange(const NTPRange& range, quint64 tick) override;

    bool isReverse() const { return m_reverse; }
    int speed() const { return m_speed; }

public slots:
    void onOutOfData();

private:
    template <typename Op>
    void forEachMember(Op op);

    int m_speed = 100;
};
