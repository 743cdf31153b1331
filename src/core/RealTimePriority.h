#pragma once

#include <QString>

// Real-time scheduling for the threads that feed or drain the sound card.
// QThread::TimeCriticalPriority alone changes nothing under Linux's default
// policy, so the thread asks for SCHED_FIFO, which the process gets when it
// runs privileged or RLIMIT_RTPRIO allows it (as set up by the desktop's
// real-time policy, e.g. rtkit or limits.conf).
namespace RealTimePriority {

// Raises the calling thread to SCHED_FIFO at `priority` (1..99). When that is
// not allowed, logs one line naming `threadName` and returns false; the
// thread then runs at normal priority.
bool raiseCurrentThread(const QString& threadName, int priority = 20);

}  // namespace RealTimePriority
