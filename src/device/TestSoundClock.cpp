#include "TestSoundClock.h"


TestSoundClock::TestSoundClock(quint64 startUs) : m_nowUs(startUs) {}

quint64 TestSoundClock::monotonicUs()
{
    KavexLocker lock(&m_lock);
    const quint64 now = m_nowUs;
    m_nowUs += m_advancePerReading;
    return now;
}

void TestSoundClock::sleepMs(quint32 ms)
{
    KavexLocker lock(&m_lock);
    m_sleeps.append(ms);
    m_nowUs += quint64(ms) * 1000;
}

void TestSoundClock::advanceUs(quint64 us)
{
    KavexLocker lock(&m_lock);
    m_nowUs += us;
}

void TestSoundClock::setNowUs(quint64 us)
{
    KavexLocker lock(&m_lock);
    m_nowUs = us;
}

void TestSoundClock::setAdvancePerReading(quint64 us)
{
    KavexLocker lock(&m_lock);
    m_advancePerReading = us;
}

QList<quint32> TestSoundClock::sleeps() const
{
    KavexLocker lock(&m_lock);
    return m_sleeps;
}

quint64 TestSoundClock::sleptMs() const
{
    KavexLocker lock(&m_lock);
    quint64 total = 0;
    for (quint32 ms : m_sleeps)
        total += ms;
    return total;
}

void TestSoundClock::clearSleeps()
{
    KavexLocker lock(&m_lock);
    m_sleeps.clear();
}
