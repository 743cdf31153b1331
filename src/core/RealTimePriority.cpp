#include "RealTimePriority.h"
#include "LogCategories.h"

#include <QDebug>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>

bool RealTimePriority::raiseCurrentThread(const QString& threadName, int priority)
{
    // An unprivileged process may go as high as its RLIMIT_RTPRIO allows.
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > 0)
        priority = std::min<int>(priority, int(limit.rlim_cur));
    sched_param param{};
    param.sched_priority = std::max(1, std::min(priority, sched_get_priority_max(SCHED_FIFO)));
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error != 0) {
        qCInfo(lcKavexCore).noquote() << QStringLiteral("%1: running without real-time scheduling (%2)")
                                             .arg(threadName, QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    return true;
}
