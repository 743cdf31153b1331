#include "TestClock.h"

TestClock::TestClock(quint64 startUs) : m_nowUs(startUs), m_startUs(startUs) {}

quint64 TestClock::monotonicUs()
{
    KavexLocker lock(&m_lock);
    const quint64 now = m_nowUs;
    m_nowUs += m_advancePerReading;
    return now;
}

NTPTimestamp TestClock::wallClock()
{
    KavexLocker lock(&m_lock);
    return m_wallAtStart + NTPTimestamp::fromMicroseconds(m_nowUs - m_startUs);
}

void TestClock::sleepUs(quint64 us)
{
    KavexLocker lock(&m_lock);
    m_nowUs += us;
    m_sleeps.append(us);
}

void TestClock::advanceUs(quint64 us)
{
    KavexLocker lock(&m_lock);
    m_nowUs += us;
}

void TestClock::setNowUs(quint64 us)
{
    KavexLocker lock(&m_lock);
    m_nowUs = us;
}

void TestClock::setAdvancePerReading(quint64 us)
{
    KavexLocker lock(&m_lock);
    m_advancePerReading = us;
}

QList<quint64> TestClock::sleepsUs() const
{
    KavexLocker lock(&m_lock);
    return m_sleeps;
}

quint64 TestClock::sleptUs() const
{
    KavexLocker lock(&m_lock);
    quint64 sum = 0;
    for (quint64 s : m_sleeps)
        sum += s;
    return sum;
}

void TestClock::clearSleeps()
{
    KavexLocker lock(&m_lock);
    m_sleeps.clear();
}
