#pragma once

#include "Clock.h"
#include "KavexMutex.h"

#include <QList>

// A clock that moves only when told: sleeping advances it by the sleep's
// length at once and records the length, so that code which paces itself by
// sleeping runs instantly and its waits can be checked. The wall clock moves
// with the monotonic clock. Thread-safe.
class TestClock : public Clock
{
public:
    explicit TestClock(quint64 startUs = 1000000000ULL);

    quint64 monotonicUs() override;
    NTPTimestamp wallClock() override;
    void sleepUs(quint64 us) override;

    void advanceUs(quint64 us)
    {
        KavexLocker lock(&m_lock);
        m_nowUs += us;
    }
    void advanceMs(quint64 ms) { advanceUs(ms * 1000); }
    void setNowUs(quint64 us)
    {
        KavexLocker lock(&m_lock);
        m_nowUs = us;
    }
    // Every reading advances the clock by `us` afterwards: time passing while
    // code busy-waits on the clock.
    void setAdvancePerReading(quint64 us)
    {
        KavexLocker lock(&m_lock);
        m_advancePerReading = us;
    }

    // Lengths of the sleeps so far in microseconds, in order.
    QList<quint64> sleepsUs() const
    {
        KavexLocker lock(&m_lock);
        return m_sleeps;
    }
    quint64 sleptUs() const;
    void clearSleeps()
    {
        KavexLocker lock(&m_lock);
        m_sleeps.clear();
    }

private:
    mutable KavexMutex m_lock;
    quint64 m_nowUs;
    const quint64 m_startUs;
    // The wall clock reads this at m_startUs (2026-01-01 00:00:00 UTC).
    const NTPTimestamp m_wallAtStart{quint32(3976214400U), 0};
    quint64 m_advancePerReading = 0;
    QList<quint64> m_sleeps;
};
