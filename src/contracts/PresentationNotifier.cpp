#include "PresentationNotifier.h"

PresentationNotifier::PresentationNotifier()
{
    NTPTimestamp::registerMetaType();
}

PresentationNotifier* PresentationNotifier::instance()
{
    static PresentationNotifier* notifier = new PresentationNotifier;
    return notifier;
}

void emitPresentationInterval(const QString& group, NTPTimestamp start, NTPTimestamp end)
{
    emit PresentationNotifier::instance()->presentationInterval(group, start, end);
}

void donePresentationGroup(const QString& group)
{
    emit PresentationNotifier::instance()->presentationGroupDone(group);
}
