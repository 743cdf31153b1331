#pragma once

#include "SoundClock.h"

#include <QList>
#include "KavexMutex.h"

// A clock that moves only when told: sleeping advances it by the sleep's
// length at once and records the length, so that code which paces itself by
// sleeping runs instantly and its waits can be checked. Thread-safe.
class TestSoundClock : public SoundClock
{
public:
    explicit TestSoundClock(quint64 startUs = 1000000000ULL);

    quint64 monotonicUs() override;
    void sleepMs(quint32 ms) override;

    void advanceUs(quint64 us);
    void setNowUs(quint64 us);
    // Every reading advances the clock by `us` afterwards: time passing while
    // code busy-waits on the clock.
    void setAdvancePerReading(quint64 us);

    // Lengths of the sleeps so far, in order.
    QList<quint32> sleeps() const;
    quint64 sleptMs() const;
    void clearSleeps();

private:
    mutable KavexMutex m_lock;
    quint64 m_nowUs;
    quint64 m_advancePerReading = 0;
    QList<quint32> m_sleeps;
};
