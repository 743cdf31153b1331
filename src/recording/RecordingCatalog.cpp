#include "RecordingCatalog.h"

#include "Clock.h"
#include "RecordingStore.h"
#include "StoreLocation.h"
#include "Util.h"

bool RecordingCatalog::list(const QString& location, QList<Entry>* entries, QString* error)
{
    RecordingStore store(Clock::system());
    QVector<RecordingStore::StreamRow> rows;
    if (!store.open(StoreLocation::resolve(location), RecordingStore::OPEN_EXISTING) || !store.listStreams(&rows)) {
        *error = store.errorText();
        return false;
    }
    for (const RecordingStore::StreamRow& row : qAsConst(rows)) {
        Entry entry;
        entry.name = row.name;
        entry.detail = row.detail;
        int payloadType = -1, clockRate = 0;
        MixerUtil::parseSdp(row.sdp, entry.codec, payloadType, clockRate);
        entry.span = store.streamSpan(row.id);
        entry.units = store.unitCount(row.id);
        entry.encrypted = store.hasEncryptedUnits(row.id);
        entries->append(entry);
    }
    return true;
}
