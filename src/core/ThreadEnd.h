#pragma once

#include "KavexMutex.h"

#include <QObject>
#include <QThread>

// QThread::wait() orders a thread's end through Qt's own futexes, which a
// thread checker cannot see. markThreadEnd(thread), called before the thread
// starts, makes the thread's last act a hand-off that joinedThread(thread)
// takes over once wait() has returned: everything the thread did is then seen
// as done before the join. Both are no-ops outside ThreadSanitizer builds.
inline void markThreadEnd(QThread* thread)
{
    QObject::connect(
        thread, &QThread::finished, thread, [thread] { kavexHandOff(thread); }, Qt::DirectConnection);
}

inline void joinedThread(QThread* thread)
{
    kavexTakeOver(thread);
}

// Runs `fn` on `context`'s thread and waits until it has run (a blocking
// queued call), with the hand-over both ways visible to a thread checker.
template <typename Fn>
void invokeAndWait(QObject* context, Fn fn)
{
    int token = 0;
    kavexHandOff(&token);
    QMetaObject::invokeMethod(
        context,
        [&] {
            kavexTakeOver(&token);
            fn();
            kavexHandOff(&token);
        },
        Qt::BlockingQueuedConnection);
    kavexTakeOver(&token);
}
