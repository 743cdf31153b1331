#include "MonotonicSoundClock.h"

#include "DateTimeExt.h"

#include <QThread>

quint64 MonotonicSoundClock::monotonicUs()
{
    return DateTimeExt::getMonotonicTimeUs();
}

quint32 MonotonicSoundClock::monotonicMs()
{
    return DateTimeExt::getMonotonicTimeMs();
}

void MonotonicSoundClock::sleepMs(quint32 ms)
{
    QThread::msleep(ms);
}
