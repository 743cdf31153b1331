#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

class QIODevice;

// The messages between a unit server and its clients, and their framing.
//
// Each message is one CBOR map, sent in the project's TCP framing (a 32-bit
// big-endian byte count, then the message; more than 1 MiB is a protocol
// error). The map's first key is "v" (the protocol version, 1), then "t"
// (the message type); the other keys depend on the type. Time stamps are raw
// 64-bit NTP values carried as CBOR integers (two's complement).
//
// Encoding and decoding are pure functions without threads or sockets.
class UnitProtocol
{
public:
    static constexpr int VERSION = 1;

    enum Type {
        TYPE_HELLO,        // client: {token}; first message of every connection
        TYPE_WELCOME,      // server: the token was accepted
        TYPE_STREAM_INFO,  // client: {id, stream}; server: {id, begin, end} (both 0 without units)
        TYPE_UNIT,         // client: {id, stream, ts, rtype}; server: {id, begin, end, sdp, data, sealed}
        TYPE_LIST,         // client: {id}; server: {id, streams: [{name, detail, codec, begin, end, units, sealed}]}
        TYPE_ERROR         // server: {id, text}; id 0 when it concerns the connection, which is then closed
    };

    struct StreamEntry {
        QString name;
        QString detail;
        QString codec;
        quint64 begin = 0;
        quint64 end = 0;
        qint64 units = 0;
        bool sealed = false;
    };

    struct Message {
        Type type = TYPE_ERROR;
        quint64 id = 0;
        QByteArray token;
        QString stream;
        // Unit requests: the time and the request type (0 current, 1 previous, 2 next).
        quint64 ts = 0;
        int requestType = 0;
        // Answers: the unit's (or the stream's) span; a unit that is not there has begin == end.
        quint64 begin = 0;
        quint64 end = 0;
        QString sdp;
        QByteArray data;
        bool sealed = false;
        QString text;
        QVector<StreamEntry> streams;
    };

    static QByteArray encode(const Message& message);
    // False, with the reason in `error`, for anything that is not a well-formed
    // message of this version.
    static bool decode(const QByteArray& bytes, Message* message, QString* error);

    // The message with its 4-byte length in front.
    static QByteArray frame(const QByteArray& message);
    enum TakeResult { TAKE_NONE, TAKE_MESSAGE, TAKE_OVERSIZE };
    // Takes one whole message from `device` if it holds one; leaves partial
    // ones there. TAKE_OVERSIZE when the length field exceeds the limit.
    static TakeResult takeFrame(QIODevice* device, QByteArray* message);
};
