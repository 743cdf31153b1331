#pragma once

#include "UnitProtocol.h"

#include <QObject>
#include <QTimer>

class QTcpSocket;
class UnitServerCore;

// One client of a unit server, on the server's network thread: takes whole
// messages off the socket, holds back requests until the client has shown
// the access token, hands at most a few requests at a time to the workers
// and writes their answers. A client that sends too much, too little or
// nonsense, or that stops reading its answers, is closed with one log line;
// the other clients do not notice.
class UnitServerConnection : public QObject
{
    Q_OBJECT
public:
    // Requests handed to the workers and not yet answered, per connection.
    static constexpr int MAX_IN_FLIGHT = 4;
    // Answers waiting in the socket beyond this: the client has stalled.
    static constexpr qint64 MAX_UNSENT_BYTES = 4 * 1024 * 1024;

    UnitServerConnection(quint64 id, QTcpSocket* socket, UnitServerCore* core, int helloTimeoutMs);
    ~UnitServerConnection() override;

    quint64 id() const { return m_id; }
    QString peer() const { return m_peer; }
    // The token was right: welcome the client and go on with its requests.
    void accept();
    // Sends an error answer (connection-wide), logs `logText` and closes.
    void reject(const QString& logText, const QString& answerText);
    // A worker's answer, framed.
    void deliver(const QByteArray& framed);

signals:
    // The connection is gone; the core forgets it.
    void finished(quint64 id);

private:
    enum State { STATE_HELLO, STATE_CHECKING, STATE_READY, STATE_CLOSED };
    void process();
    void send(const QByteArray& framed);
    // The socket is gone or going: tell the core once.
    void finish();

    const quint64 m_id;
    QTcpSocket* m_socket;
    UnitServerCore* m_core;
    QString m_peer;
    QTimer m_helloTimer;
    State m_state = STATE_HELLO;
    int m_inFlight = 0;
    bool m_finished = false;
};
