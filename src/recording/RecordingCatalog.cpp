#include "RecordingCatalog.h"

#include "AccessToken.h"
#include "Clock.h"
#include "RecordingStore.h"
#include "StoreLocation.h"
#include "UnitProtocol.h"
#include "Util.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

bool RecordingCatalog::list(const QString& location, QList<Entry>* entries, QString* error)
{
    RecordingStore store(Clock::system());
    if (!store.open(StoreLocation::resolve(location), RecordingStore::OPEN_EXISTING)) {
        *error = store.errorText();
        return false;
    }
    return list(store, entries, error);
}

bool RecordingCatalog::list(RecordingStore& store, QList<Entry>* entries, QString* error)
{
    QVector<RecordingStore::StreamRow> rows;
    if (!store.listStreams(&rows)) {
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

bool RecordingCatalog::listFromServer(const QString& host, quint16 port, const QString& token, QList<Entry>* entries,
                                      QString* error, int timeoutMs)
{
    UnitProtocol::Message hello;
    hello.type = UnitProtocol::TYPE_HELLO;
    if (!AccessToken::fromArgument(token, &hello.token, error))
        return false;
    UnitProtocol::Message request;
    request.type = UnitProtocol::TYPE_LIST;
    request.id = 1;
    QTcpSocket socket;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(timeoutMs)) {
        *error = QStringLiteral("cannot reach the unit server %1:%2: %3").arg(host).arg(port).arg(socket.errorString());
        return false;
    }
    socket.write(UnitProtocol::frame(UnitProtocol::encode(hello)) + UnitProtocol::frame(UnitProtocol::encode(request)));
    QDeadlineTimer deadline(timeoutMs);
    QByteArray bytes;
    UnitProtocol::TakeResult taken = UnitProtocol::TAKE_NONE;
    UnitProtocol::Message reply;
    for (;;) {
        while ((taken = UnitProtocol::takeFrame(&socket, &bytes)) == UnitProtocol::TAKE_MESSAGE) {
            if (!UnitProtocol::decode(bytes, &reply, error))
                return false;
            if (reply.type == UnitProtocol::TYPE_ERROR) {
                *error = QStringLiteral("the unit server refused: ") + reply.text;
                return false;
            }
            if (reply.type != UnitProtocol::TYPE_LIST)
                continue;
            for (const UnitProtocol::StreamEntry& e : qAsConst(reply.streams))
                entries->append({e.name, e.detail, e.codec, NTPRange(NTPTimestamp(e.begin), NTPTimestamp(e.end)),
                                 e.units, e.sealed});
            return true;
        }
        if (taken == UnitProtocol::TAKE_OVERSIZE || deadline.hasExpired() ||
            !socket.waitForReadyRead(int(deadline.remainingTime()))) {
            *error = QStringLiteral("no list from the unit server %1:%2: %3")
                         .arg(host)
                         .arg(port)
                         .arg(socket.state() == QAbstractSocket::ConnectedState ? QStringLiteral("timed out")
                                                                                : socket.errorString());
            return false;
        }
    }
}
