#pragma once

#include "NTPRange.h"
#include "OstKavexMixerGlobal.h"

#include <QList>
#include <QString>

class RecordingStore;

/// What a recording store holds, for hosts that let a user pick a recording:
/// one entry per recorded stream. Reads the store on the caller's thread.
class OSTKAVEXMIXER_EXPORT RecordingCatalog
{
public:
    /// One recorded stream.
    struct Entry {
        /// The stream's name, as Mixer::addInprocPlayChannel takes it.
        QString name;
        /// The text stored with the stream when it was recorded.
        QString detail;
        /// Encoding name of the stream's SDP ("PCMA", "MPA", "AAC", ...).
        QString codec;
        /// From the first unit's begin to the last unit's end; null without units.
        NTPRange span;
        /// How many units the stream has.
        qint64 units = 0;
        /// Whether any unit carries an encryption layer.
        bool encrypted = false;
    };

    /// The streams of the store at `location` (a file path or a postgresql://
    /// location; "" = recordings.db in the data directory). False, with the reason in `error`, when it cannot be read.
    static bool list(const QString& location, QList<Entry>* entries, QString* error);
    /// The same from a store already open on the calling thread.
    static bool list(RecordingStore& store, QList<Entry>* entries, QString* error);
    /// The same from a unit server at host:port; `token` is the access token
    /// or "\@FILE" to read it from FILE. Waits up to `timeoutMs` for the answer.
    static bool listFromServer(const QString& host, quint16 port, const QString& token, QList<Entry>* entries,
                               QString* error, int timeoutMs = 10000);
};
