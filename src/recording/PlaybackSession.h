#pragma once

#include "PlaybackSessionIf.h"
#include "UnitProtocol.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

#include <atomic>

class QTcpSocket;
class QThread;
class QTimer;
class SharedBufferPool;

// Plays one stream from a unit server over TCP. The connection lives on a
// thread of the session's own, so the caller (a playback channel's thread)
// never waits for the network. Reports playbackSessionState(true) once the
// server has accepted the access token, and false (with one warning) when
// the server cannot be reached, refuses the token or drops the connection.
// Each accepted unit request gets exactly one onUnit, also when the
// connection breaks while it is outstanding: then it is answered as a
// missing unit (begin == end == the requested time). After a break, the next
// unit request connects again; after a refused token, every request is
// answered as missing at once.
class PlaybackSession : public PlaybackSessionIf
{
    Q_OBJECT
public:
    explicit PlaybackSession(QObject* parent = nullptr);
    ~PlaybackSession() override;

    // host: the unit server; streamName: the recorded stream; streamDetail:
    // prefixes the session's warnings; token: the access token, or "@FILE"
    // to read it from FILE; port: the server's port. The flag is not used.
    // False when called twice or when the token file cannot be read (then
    // the session reports itself failed).
    bool init(const QString& host, const QString& streamName, const QString& streamDetail, const QString& token,
              unsigned short port, bool unusedFlag);

    void requestStreamInfo() override;
    // Refused before init().
    bool requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type) override;

private:
    enum LinkState { LINK_DOWN, LINK_CONNECTING, LINK_READY, LINK_REFUSED };

    // All of these run on the session's thread.
    void connectNow();
    void onReadable();
    void handle(const UnitProtocol::Message& message);
    void send(const UnitProtocol::Message& message);
    void drop(const QString& reason, bool refused);
    void answerMissing(quint64 tid, quint64 ts);
    // Hands a request from the caller's thread to the session's thread.
    void post(const UnitProtocol::Message& request);
    void submit(const UnitProtocol::Message& request);
    QString prefix() const;

    // Set by init() before the thread starts, then read only.
    QString m_host;
    quint16 m_port = 0;
    QString m_streamName;
    QString m_streamDetail;
    QByteArray m_token;
    SharedBufferPool* m_pool;
    std::atomic<bool> m_initCalled{false};
    // Set once the session's thread runs: requests are taken from then on.
    std::atomic<bool> m_initialised{false};

    QThread* m_thread = nullptr;
    // Lives on the session's thread; the context of everything below.
    QObject* m_link = nullptr;
    // Used on the session's thread only.
    QTcpSocket* m_socket = nullptr;
    QTimer* m_connectTimer = nullptr;
    LinkState m_state = LINK_DOWN;
    // Whether the channel was last told "ready" (true) or "failed" (false).
    bool m_announcedReady = false;
    bool m_announcedOnce = false;
    // Requests waiting for the connection, and unit requests sent and not answered (id -> time).
    QVector<UnitProtocol::Message> m_waiting;
    QHash<quint64, quint64> m_outstanding;
};
