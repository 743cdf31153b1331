#include "PresentationGroup.h"
#include "LogCategories.h"

#include "PresentationNotifier.h"

#include <QDebug>

namespace {
const QString kLiveGroup = QStringLiteral("LIVE");
// Offset of the interval reported on repositioning.
const NTPTimestamp kRepositionIntervalOffset = NTPTimestamp::fromMilliseconds(60);
const NTPTimestamp kOneMs = NTPTimestamp::fromMilliseconds(1);
const NTPTimestamp kDriftLimit = NTPTimestamp::fromMilliseconds(1000);
const NTPTimestamp kFrameDuration = NTPTimestamp::fromDivision(8, 375);
const int kGraceTicks = 6;
}  // namespace

// Debug lines of every group but "LIVE", which writes none.
#define GROUP_DEBUG                                                                                                    \
    if (m_isLive) {                                                                                                    \
    } else                                                                                                             \
        qCDebug(lcKavexPresentation).noquote()

NTPTimestamp PresentationGroup::frameDuration()
{
    return kFrameDuration;
}

PresentationGroup::PresentationGroup(const QString& name)
    : m_clock(375, 8)
    , m_streamInterval(0, 0)
    , m_playbackRange(NTPTimestamp(0), NTPTimestamp(~quint64(0)))
    , m_name(name)
    , m_isLive(name == kLiveGroup)
{
    NTPTimestamp::registerMetaType();
    connect(this, &PresentationGroup::positionUpdate, this, &PresentationGroup::onPosU);
}

PresentationGroup::~PresentationGroup() = default;

void PresentationGroup::addChannel(Channel* channel)
{
    GROUP_DEBUG << "PresentationGroup::addChannel: add channel to " + m_name;
    m_channels.append(channel);
}

void PresentationGroup::removeChannel(Channel* channel)
{
    GROUP_DEBUG << "PresentationGroup::removeChannel: remove channel from " + m_name;
    m_channels.removeOne(channel);
}

bool PresentationGroup::isEmpty()
{
    return m_channels.isEmpty();
}

void PresentationGroup::setActive(bool active)
{
    GROUP_DEBUG << "PresentationGroup::setActive for " + m_name +
                       " -> active = " + (active ? QStringLiteral("true") : QStringLiteral("false"));
    const QList<Channel*> copy = m_channels;
    for (Channel* c : copy)
        c->setActive(active);
}

void PresentationGroup::mute(channel_t side)
{
    const QList<Channel*> copy = m_channels;
    for (Channel* c : copy)
        c->mute(side);
}

void PresentationGroup::unmute(channel_t side)
{
    const QList<Channel*> copy = m_channels;
    for (Channel* c : copy)
        c->unmute(side);
}

void PresentationGroup::setPositionUpdateInterval(int ms)
{
    m_positionUpdateInterval = ms;
}

int PresentationGroup::positionUpdateInterval()
{
    return m_positionUpdateInterval;
}

void PresentationGroup::setState(ePlaybackState state)
{
    GROUP_DEBUG << "PresentationGroup::setState for " + m_name + " -> state = " + QString::number(int(state));
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(m_name, int(state), QString());
}

void PresentationGroup::setSpeed(int) {}

void PresentationGroup::play(quint64 tick)
{
    GROUP_DEBUG << "PresentationGroup::play for " + m_name;
    m_graceTicks = kGraceTicks;
    m_clock.setTimeBase(m_timeBase, tick);
    setState(Playing);
}

void PresentationGroup::halt(ePlaybackState target)
{
    setState(target);
    m_graceTicks = kGraceTicks;
    // A later play continues just beyond what was already handed out, in the
    // direction of play.
    m_timeBase = m_reverse ? m_currentRange.start() - kOneMs : m_currentRange.end() + kOneMs;
}

void PresentationGroup::pause()
{
    GROUP_DEBUG << "PresentationGroup::pause for " + m_name;
    halt(Paused);
}

void PresentationGroup::stop()
{
    GROUP_DEBUG << "PresentationGroup::stop for " + m_name;
    halt(Stopped);
}

void PresentationGroup::setPosition(const NTPTimestamp& pos, quint64 tick)
{
    m_graceTicks = kGraceTicks;
    m_timeBase = pos;
    m_currentRange = NTPRange(pos, pos + kFrameDuration);
    if (!m_isLive) {
        qCDebug(lcKavexPresentation).noquote()
            << "PresentationGroup::setPosition for " + m_name + " -> POS = " + pos.toString(false);
        emitPresentationInterval(m_name, m_currentRange.start() - kRepositionIntervalOffset,
                                 m_currentRange.end() - kRepositionIntervalOffset);
    }
    switch (m_state) {
    case Stopped:
        m_lastReportedPosition = m_position = pos;
        emit positionUpdate(m_name, pos, QString());
        break;
    case Paused:
        m_lastReportedPosition = m_position = pos;
        break;
    case Playing:
        play(tick);
        break;
    }
}

void PresentationGroup::setPlaybackRange(const NTPRange& range, quint64 tick)
{
    GROUP_DEBUG << "PresentationGroup::setPlaybackRange for " + m_name + " -> [" + range.start().toString(false) +
                       " - " + range.end().toString(false) + "]";
    m_playbackRange = range;
    setPosition(range.limitToRangeBounds(m_position), tick);
}

NTPRange PresentationGroup::getCurrentRange(quint64 tick)
{
    if (m_state != Playing) {
        if (m_reverse) {
            m_timeBase = m_position;
            m_clock.setTimeBase(m_position, tick);
        }
        m_currentRange = NTPRange(m_position, m_position + kFrameDuration);
    } else if (!m_reverse) {
        const NTPTimestamp t = m_clock.clockToNtp(tick);
        m_currentRange = NTPRange(t, t + kFrameDuration);
    } else if (tick != m_lastTick) {
        const NTPTimestamp last = m_clock.clockToNtp(m_lastTick);
        const NTPTimestamp elapsed = m_clock.clockToNtp(tick) - last;
        const NTPTimestamp start = last - elapsed;
        m_currentRange = NTPRange(start, start + kFrameDuration);
        m_timeBase = start;
        m_clock.setTimeBase(start, tick);
    }

    if (m_state == Playing) {
        if (!m_interpretPause && m_graceTicks == 0 && !m_channels.isEmpty()) {
            const NTPTimestamp ts = m_channels.first()->getCurrentTimestamp();
            if (!ts.isNull() &&
                (ts + kDriftLimit < m_currentRange.start() || ts > m_currentRange.end() + kDriftLimit)) {
                GROUP_DEBUG << "PresentationGroup::getCurrentRange[" + QString::number(tick) + "] for " + m_name +
                                   " -> [" + ts.toString(false) + "] not in range [" +
                                   m_currentRange.start().toString(false) + " - " +
                                   m_currentRange.end().toString(false) + "]";
                m_timeBase = ts;
                m_currentRange = NTPRange(ts, ts + kFrameDuration);
                m_clock.setTimeBase(ts, tick);
            }
        }
        if (!m_currentRange.intersects(m_playbackRange)) {
            emit endOfRangeReached(m_name);
            setState(Stopped);
        }
    }

    m_lastTick = tick;
    if (m_graceTicks > 0)
        --m_graceTicks;
    return m_currentRange;
}

void PresentationGroup::updatePosition(const QString&, quint64 tick)
{
    if (m_state == Playing) {
        NTPTimestamp pos;
        if (m_interpretPause) {
            pos = m_clock.clockToNtp(tick);
        } else {
            if (m_channels.isEmpty())
                return;
            pos = m_channels.first()->getCurrentTimestamp();
            if (pos.isNull())
                return;
        }
        // Modular distance: a jump against the direction of play counts as far.
        const NTPTimestamp distance = m_reverse ? m_lastReportedPosition - pos : pos - m_lastReportedPosition;
        const bool due =
            m_positionUpdateInterval >= 1 && distance.toMilliseconds() >= quint64(m_positionUpdateInterval);
        if (due) {
            m_lastReportedPosition = pos;
            emit positionUpdate(m_name, pos, QString());
        }
        m_position = pos;
    } else if (m_positionUpdateInterval > 0) {
        emit positionUpdate(m_name, m_lastReportedPosition, QString());
    }
}

void PresentationGroup::interpretPause(bool interpret, quint64 tick)
{
    GROUP_DEBUG << "PresentationGroup::interpretPause for " + m_name +
                       " -> PINT = " + (interpret ? QStringLiteral("true") : QStringLiteral("false"));
    if (!m_channels.isEmpty() && !m_interpretPause && interpret)
        m_clock.setTimeBase(m_channels.first()->getCurrentTimestamp(), tick);
    m_interpretPause = interpret;
    if (m_state == Paused)
        setActive(interpret);
}

void PresentationGroup::onStreamInfo(const QString& streamInfo, const QString& streamName)
{
    if (streamInfo == QLatin1String("0-0")) {
        emit playbackSessionState(m_name, false, streamInfo, streamName);
        return;
    }
    const QStringList parts = streamInfo.split(QLatin1Char('-'));
    const quint64 a = parts.value(0).toULongLong();
    const quint64 b = parts.value(1).toULongLong();
    if (m_streamInterval.first == 0 && m_streamInterval.second == 0)
        m_streamInterval = qMakePair(a, b);
    else
        m_streamInterval = qMakePair(qMin(m_streamInterval.first, a), qMax(m_streamInterval.second, b));
    emit playbackSessionState(
        m_name, true, QStringLiteral("%1-%2").arg(m_streamInterval.first).arg(m_streamInterval.second), streamName);
}

void PresentationGroup::onPosU(const QString&, NTPTimestamp, const QString&) {}
