#pragma once

#include "Channel.h"
#include "ClockToNtpMapper64.h"
#include "NTPRange.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <atomic>

enum ePlaybackState { Stopped = 0, Paused = 1, Playing = 2 };

// A named set of channels that share one time line: play state, position,
// playback range, direction. The mixer asks it every tick for the range its
// channels must deliver next; the group turns the mixer's tick counter into
// NTP time, follows play/pause/stop/position commands, keeps its clock near
// the time its first channel actually delivers, and reports position and
// state through signals. It does not own its channels.
class PresentationGroup : public QObject
{
    Q_OBJECT
public:
    explicit PresentationGroup(const QString& name);
    ~PresentationGroup() override;

    virtual void setPosition(const NTPTimestamp& pos, quint64 tick);
    virtual void setSpeed(int speed);
    virtual void play(quint64 tick);
    virtual void pause();
    virtual void stop();
    virtual void addChannel(Channel* channel);
    virtual void removeChannel(Channel* channel);
    virtual void interpretPause(bool interpret, quint64 tick);
    virtual void setPositionUpdateInterval(int ms);
    virtual int positionUpdateInterval();
    virtual void setPlaybackRange(const NTPRange& range, quint64 tick);
    virtual bool isEmpty();
    virtual void updatePosition(const QString& name, quint64 tick);
    virtual void setActive(bool active);
    virtual void mute(channel_t side);
    virtual void unmute(channel_t side);

    // The range the group's channels deliver for `tick`; called several times
    // per mixing tick with the same tick.
    NTPRange getCurrentRange(quint64 tick);
    void setState(ePlaybackState state);

    QString name() const { return m_name; }
    ePlaybackState state() const { return m_state; }
    NTPTimestamp position() const { return m_position; }
    NTPRange playbackRange() const { return m_playbackRange; }
    NTPRange currentRange() const { return m_currentRange; }
    QPair<quint64, quint64> streamInterval() const { return m_streamInterval; }
    QList<Channel*> channels() const { return m_channels; }

    // One mixing tick: 1024 samples at 48 kHz.
    static NTPTimestamp frameDuration();

signals:
    void positionUpdate(const QString& presentationGroup, NTPTimestamp ts, const QString& detail);
    void playbackSessionState(const QString& presentationGroup, bool bState, const QString& streamInfo,
                              const QString& streamName);
    void stateChanged(const QString presentationGroup, int state, const QString& detail);
    void endOfRangeReached(const QString presentationGroup);

public slots:
    void onStreamInfo(const QString& streamInfo, const QString& streamName);
    void onPosU(const QString& pg, NTPTimestamp ts, const QString& detail);

protected:
    bool isLive() const { return m_isLive; }
    // Pause and stop share everything but their log line and target state.
    void halt(ePlaybackState target);

    NTPTimestamp m_timeBase;
    ClockToNtpMapper64 m_clock;
    QList<Channel*> m_channels;
    // Written under the mixer lock (by the host's calls and the mixer thread), read
    // without it by the group's own slots.
    std::atomic<ePlaybackState> m_state{Stopped};
    quint64 m_lastTick = 0;
    NTPRange m_currentRange;
    QPair<quint64, quint64> m_streamInterval;
    bool m_interpretPause = true;
    bool m_reverse = false;
    int m_graceTicks = 0;
    int m_positionUpdateInterval = 0;
    NTPTimestamp m_lastReportedPosition;
    NTPTimestamp m_position;
    NTPRange m_playbackRange;
    const QString m_name;

private:
    const bool m_isLive;
};
