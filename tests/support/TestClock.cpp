#include "TestClock.h"

#include <numeric>

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

quint64 TestClock::sleptUs() const
{
    KavexLocker lock(&m_lock);
    return std::accumulate(m_sleeps.begin(), m_sleeps.end(), quint64(0));
}
