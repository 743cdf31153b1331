#pragma once

#include <QObject>

class QSocketNotifier;

// Wakes the thread this object lives on from any other thread, without
// allocating and without taking a lock: wake() bumps a kernel event counter
// that a socket notifier of the owning thread watches, and woken() is emitted
// there, once for however many wakes came since the last one. Meant for a
// real-time thread that must hand work to an event-loop thread.
//
// The notifier moves with the object (moveToThread). Destroy the object on its
// own thread, or after that thread has finished.
class ThreadWakeup : public QObject
{
    Q_OBJECT
public:
    explicit ThreadWakeup(QObject* parent = nullptr);
    ~ThreadWakeup() override;

    // Any thread; returns at once.
    void wake();

signals:
    void woken();

private slots:
    void onActivated();

private:
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
};
