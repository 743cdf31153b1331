#pragma once

#include "NTPTimestamp.h"

#include <QObject>
#include <QString>

// Makes the presentation reports of all groups observable by a host: every
// interval a group plays (each mixing tick and on repositioning) and every
// group that was dropped. Signals are emitted on the reporting thread (the
// mixer thread for intervals); connect queued to receive them elsewhere.
class OSTKAVEXMIXER_EXPORT PresentationNotifier : public QObject
{
    Q_OBJECT
public:
    static PresentationNotifier* instance();

signals:
    void presentationInterval(const QString& group, NTPTimestamp start, NTPTimestamp end);
    void presentationGroupDone(const QString& group);

private:
    PresentationNotifier();
};

// A group's interval; the notifier emits it.
OSTKAVEXMIXER_EXPORT void emitPresentationInterval(const QString& group, NTPTimestamp start, NTPTimestamp end);
// A group was dropped; the notifier emits it.
OSTKAVEXMIXER_EXPORT void donePresentationGroup(const QString& group);
