#pragma once

#include "OstKavexMixerGlobal.h"

#include <QByteArray>
#include <QString>

#include <memory>

class Clock;
class QThread;
class UnitServerCore;
class UnitStorePool;

// Serves the streams of one recording store to playback sessions in other
// processes over TCP (the message format is in the README, "Unit server
// protocol"). Every connection first presents the server's access token.
// The sockets are driven by one network thread of the server's own; a small
// fixed pool of worker threads, each with its own connection to the store,
// answers the requests. Units go out as stored: sealed units stay sealed, and
// the server never needs a private key.
//
// start() and stop() are called from one thread (the owner's); the server
// needs no event loop on that thread.
class OSTKAVEXMIXER_EXPORT UnitServer
{
public:
    struct Options {
        // The recording store ("" = recordings.db in the data directory).
        QString store;
        // Address to listen on ("" = every interface) and port (0 = any free one).
        QString listen;
        quint16 port = 0;
        // The access token clients must present; must not be empty.
        QByteArray token;
        // Threads answering requests, each with its own store connection.
        int workers = 3;
        // Connections beyond this many are closed at once.
        int maxClients = 64;
        // A connection that has not presented a token by then is closed.
        int helloTimeoutMs = 5000;
    };

    explicit UnitServer(const Options& options);
    UnitServer(const Options& options, Clock& clock);
    ~UnitServer();
    UnitServer(const UnitServer&) = delete;
    UnitServer& operator=(const UnitServer&) = delete;

    // Opens the store and starts listening. False, with the reason in
    // `error`, when the store cannot be opened or the address not bound.
    bool start(QString* error);
    // The port listened on (useful when Options::port was 0); 0 when not started.
    quint16 port() const { return m_port; }
    // Closes every connection and ends the threads; also done on destruction.
    void stop();

    // Reads the token from `path`, or writes a new random one there when
    // the file does not exist (then `created` is set).
    static bool loadOrCreateToken(const QString& path, QByteArray* token, bool* created, QString* error);

private:
    Options m_options;
    Clock& m_clock;
    quint16 m_port = 0;
    std::unique_ptr<UnitStorePool> m_pool;
    QThread* m_thread = nullptr;
    UnitServerCore* m_core = nullptr;
};
