#include "PlaybackPresentationGroup.h"
#include "LogCategories.h"

#include "PlaybackMember.h"

#include <QDebug>
#include <QMetaMethod>
#include <cstdlib>

namespace {
const int kGraceTicks = 6;
const NTPTimestamp kOneMs = NTPTimestamp::fromMilliseconds(1);

PlaybackMember* asMember(Channel* c)
{
    return dynamic_cast<PlaybackMember*>(c);
}

bool hasSignal(const QObject* o, const char* normalizedSignature)
{
    return o->metaObject()->indexOfSignal(normalizedSignature) >= 0;
}
}  // namespace

PlaybackPresentationGroup::PlaybackPresentationGroup(const QString& name) : PresentationGroup(name) {}

template <typename Op>
void PlaybackPresentationGroup::forEachMember(Op op)
{
    const QList<Channel*> copy = m_channels;
    for (Channel* c : copy)
        if (PlaybackMember* m = asMember(c))
            op(m);
}

void PlaybackPresentationGroup::addChannel(Channel* channel)
{
    qCDebug(lcKavexPresentation).noquote() << "PlaybackPresentationGroup::addChannel for " + m_name;
    PresentationGroup::addChannel(channel);
    if (QObject* o = dynamic_cast<QObject*>(channel)) {
        if (hasSignal(o, "streamInfo(QString,QString)"))
            connect(o, SIGNAL(streamInfo(QString, QString)), this, SLOT(onStreamInfo(QString, QString)));
        if (hasSignal(o, "outOfData()"))
            connect(o, SIGNAL(outOfData()), this, SLOT(onOutOfData()));
    }
    if (PlaybackMember* m = asMember(channel)) {
        if (m->hasStreamInfo())
            onStreamInfo(m->streamInfo(), m->streamName());
        m->requestPosition(m_currentRange.start());
        m->setInterpretPause(m_interpretPause);
    }
    if (m_state == Playing)
        channel->setActive(true);
}

void PlaybackPresentationGroup::removeChannel(Channel* channel)
{
    qCDebug(lcKavexPresentation).noquote() << "PlaybackPresentationGroup::removeChannel for " + m_name;
    channel->shutdown();
    if (QObject* o = dynamic_cast<QObject*>(channel))
        disconnect(o, nullptr, this, nullptr);
    PresentationGroup::removeChannel(channel);
    if (m_channels.isEmpty()) {
        m_state = Stopped;  // no stateChanged: nothing is left to play
        m_graceTicks = kGraceTicks;
        m_timeBase = m_reverse ? m_currentRange.start() - kOneMs : m_currentRange.end() + kOneMs;
    }
}

void PlaybackPresentationGroup::play(quint64 tick)
{
    qCDebug(lcKavexPresentation).noquote() << "PlaybackPresentationGroup::play for " + m_name;
    m_lastTick = tick;
    PresentationGroup::play(tick);
    setActive(true);
}

void PlaybackPresentationGroup::pause()
{
    qCDebug(lcKavexPresentation).noquote() << "PlaybackPresentationGroup::pause for " + m_name;
    PresentationGroup::pause();
    if (!m_interpretPause)
        setActive(false);
}

void PlaybackPresentationGroup::stop()
{
    qCDebug(lcKavexPresentation).noquote() << "PlaybackPresentationGroup::stop for " + m_name;
    setActive(false);
    PresentationGroup::stop();
}

void PlaybackPresentationGroup::setPosition(const NTPTimestamp& pos, quint64 tick)
{
    qCDebug(lcKavexPresentation).noquote()
        << "PlaybackPresentationGroup::setPosition for " + m_name + " -> POS = " + pos.toString(false);
    const NTPTimestamp clamped = m_playbackRange.limitToRangeBounds(pos);
    PresentationGroup::setPosition(clamped, tick);
    forEachMember([&](PlaybackMember* m) { m->requestPosition(clamped); });
}

void PlaybackPresentationGroup::setPlaybackRange(const NTPRange& range, quint64 tick)
{
    qCDebug(lcKavexPresentation).noquote() << "PlaybackPresentationGroup::setPlaybackRange for " + m_name + " -> [" +
                                                  range.start().toString(false) + " - " + range.end().toString(false) +
                                                  "]";
    PresentationGroup::setPlaybackRange(range, tick);
    forEachMember([&](PlaybackMember* m) { m->setPlaybackRange(range); });
}

void PlaybackPresentationGroup::interpretPause(bool interpret, quint64 tick)
{
    qCDebug(lcKavexPresentation).noquote()
        << "PlaybackPresentationGroup::interpretPause for " + m_name +
               " -> PINT = " + (interpret ? QStringLiteral("true") : QStringLiteral("false"));
    PresentationGroup::interpretPause(interpret, tick);
    forEachMember([&](PlaybackMember* m) { m->setInterpretPause(interpret); });
}

void PlaybackPresentationGroup::setSpeed(int speed)
{
    qCDebug(lcKavexPresentation).noquote()
        << "PlaybackPresentationGroup::setSpeed for " + m_name + " to " + QString::number(speed);
    if (speed == 0) {
        // A zero rate has no meaning for the clock; the facade stops instead.
        qCWarning(lcKavexPresentation).noquote()
            << "PlaybackPresentationGroup::setSpeed: Ignoring speed 0 for " + m_name;
        return;
    }
    const bool wasPlaying = m_state == Playing;
    if (wasPlaying) {
        const QSignalBlocker blocker(this);
        stop();
    }
    if (!m_interpretPause && !m_channels.isEmpty()) {
        const NTPTimestamp t = m_channels.first()->getCurrentTimestamp();
        if (!t.isNull()) {
            m_graceTicks = kGraceTicks;
            m_timeBase = t;
            m_currentRange = NTPRange(t, t + frameDuration());
            m_clock.setTimeBase(t, m_lastTick);
        }
    }
    // Where the channels go on in the new direction: the clock's time while it
    // ran; otherwise where play() will start it, since a position given while
    // stopped or paused does not set the clock (a group positioned at the end
    // and started backwards would fetch from the clock's stale time).
    const NTPTimestamp at = wasPlaying ? m_clock.clockToNtp(m_lastTick) : m_timeBase;
    if (speed < 0) {
        m_reverse = true;
        forEachMember([&](PlaybackMember* m) {
            m->requestPosition(at);
            m->setReverse(true);
        });
    } else if (m_reverse) {
        forEachMember([&](PlaybackMember* m) {
            m->requestPosition(at);
            m->setReverse(false);
        });
        m_reverse = false;
    }
    m_speed = speed;
    m_clock.setClockFrequency(37500, quint64(8 * std::abs(speed)));
    if (wasPlaying) {
        const QSignalBlocker blocker(this);
        play(m_lastTick);
    }
}

void PlaybackPresentationGroup::onOutOfData()
{
    if (m_state == Playing)
        qCDebug(lcKavexPresentation).noquote()
            << "PlaybackPresentationGroup::onOutOfData: ==========> outOfData; PG: " + m_name;
}
