#include "DateTimeExt.h"

#include <time.h>

quint64 DateTimeExt::getMonotonicTimeUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return quint64(ts.tv_sec) * 1000000ULL + quint64(ts.tv_nsec) / 1000ULL;
}

quint32 DateTimeExt::getMonotonicTimeMs()
{
    return quint32(getMonotonicTimeUs() / 1000ULL);
}
