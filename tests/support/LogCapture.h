#pragma once

#include "KavexMutex.h"
#include <QList>
#include <QString>
#include <QtGlobal>

// Records every Qt log message (level and text) while it lives, so that tests
// can assert the exact texts the library writes. Messages from any thread are
// recorded; nested captures are not supported. The lines the library routes
// from FFmpeg, ALSA and JACK depend on the machine (sound card, JACK server,
// FFmpeg version) and are left out unless asked for.
class LogCapture
{
public:
    struct Entry {
        QtMsgType type;
        QString text;
        QString file;
        int line;
        QString function;
        QString category;
    };

    explicit LogCapture(bool withThirdParty = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QList<Entry> entries() const;
    // Number of messages of the given type whose text contains the fragment.
    int count(QtMsgType type, const QString& fragment) const;
    bool contains(QtMsgType type, const QString& fragment) const { return count(type, fragment) > 0; }
    // Number of messages of any type whose text contains the fragment.
    int countAny(const QString& fragment) const;
    void clear();
    QString dump() const;

private:
    static void handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg);
    // Messages come from any thread: one lock guards which capture is current
    // and every capture's entries, so that a capture never goes away under a
    // message being recorded.
    static KavexMutex s_lock;
    static LogCapture* s_current;
    QList<Entry> m_entries;
    QtMessageHandler m_previous;
    bool m_withThirdParty;
};
