#include "UnitProtocol.h"

#include "KavexTcpSocket.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamReader>
#include <QCborValue>
#include <QIODevice>
#include <QtEndian>

namespace {

const char* const kTypeNames[] = {"hello", "welcome", "info", "unit", "list", "error"};

qint64 wire(quint64 v)
{
    return qint64(v);
}

// A non-negative integer field, or a raw time stamp: any CBOR integer.
bool readInteger(const QCborMap& map, const char* key, quint64* out, QString* error)
{
    const QCborValue v = map.value(QLatin1String(key));
    if (!v.isInteger()) {
        *error = QStringLiteral("field '%1' is missing or not an integer").arg(key);
        return false;
    }
    *out = quint64(v.toInteger());
    return true;
}

bool readString(const QCborMap& map, const char* key, QString* out, QString* error)
{
    const QCborValue v = map.value(QLatin1String(key));
    if (!v.isString()) {
        *error = QStringLiteral("field '%1' is missing or not a text").arg(key);
        return false;
    }
    *out = v.toString();
    return true;
}

QCborMap entryMap(const UnitProtocol::StreamEntry& e)
{
    QCborMap m;
    m.insert(QStringLiteral("name"), e.name);
    m.insert(QStringLiteral("detail"), e.detail);
    m.insert(QStringLiteral("codec"), e.codec);
    m.insert(QStringLiteral("begin"), wire(e.begin));
    m.insert(QStringLiteral("end"), wire(e.end));
    m.insert(QStringLiteral("units"), e.units);
    m.insert(QStringLiteral("sealed"), e.sealed);
    return m;
}

bool readEntry(const QCborValue& v, UnitProtocol::StreamEntry* e, QString* error)
{
    if (!v.isMap()) {
        *error = QStringLiteral("a stream entry is not a map");
        return false;
    }
    const QCborMap m = v.toMap();
    quint64 units = 0;
    if (!readString(m, "name", &e->name, error) || !readString(m, "detail", &e->detail, error) ||
        !readString(m, "codec", &e->codec, error) || !readInteger(m, "begin", &e->begin, error) ||
        !readInteger(m, "end", &e->end, error) || !readInteger(m, "units", &units, error))
        return false;
    e->units = qint64(units);
    e->sealed = m.value(QStringLiteral("sealed")).toBool();
    return true;
}

// Whether every string and container length the item at `reader` declares
// fits in the bytes that follow it; if not, `why` says what is wrong. The
// CBOR decoder sizes its buffers by these declarations, so a short message
// claiming a gigabyte string would cost that much time and memory before it
// is refused. A string of undeclared length (sent in chunks) is refused as
// well: the reader sizes each chunk by its claim before it looks for the
// bytes, and the encoder never writes one.
bool declaredSizesFit(QCborStreamReader& reader, qint64 total, int depth, QString* why)
{
    const auto refuse = [why](const char* reason) {
        *why = QLatin1String(reason);
        return false;
    };
    const char* const kTooLarge = "not CBOR: a declared size exceeds the message";
    if (depth > 64)
        return refuse(kTooLarge);
    // The reader gives a tag as an item of its own; the item it tags follows
    // and is what the decoder sizes.
    while (reader.isTag())
        if (!reader.next())
            return refuse(kTooLarge);
    if ((reader.isString() || reader.isByteArray()) && !reader.isLengthKnown())
        return refuse("not CBOR: a string of undeclared length");
    // length() is an error for any other type.
    if ((reader.isString() || reader.isByteArray() || reader.isContainer()) && reader.isLengthKnown()) {
        const quint64 length = reader.length();
        const quint64 left = quint64(total - reader.currentOffset());
        if (length > left || (reader.isMap() && length * 2 > left))
            return refuse(kTooLarge);
    }
    if (!reader.isContainer())
        return reader.next() || refuse(kTooLarge);
    if (!reader.enterContainer())
        return refuse(kTooLarge);
    while (reader.lastError() == QCborError::NoError && reader.hasNext())
        if (!declaredSizesFit(reader, total, depth + 1, why))
            return false;
    return (reader.lastError() == QCborError::NoError && reader.leaveContainer()) || refuse(kTooLarge);
}

}  // namespace

QByteArray UnitProtocol::encode(const Message& message)
{
    QCborMap m;
    m.insert(QStringLiteral("v"), VERSION);
    m.insert(QStringLiteral("t"), QString::fromLatin1(kTypeNames[message.type]));
    if (message.type != TYPE_HELLO && message.type != TYPE_WELCOME)
        m.insert(QStringLiteral("id"), wire(message.id));
    switch (message.type) {
    case TYPE_HELLO:
        m.insert(QStringLiteral("token"), message.token);
        break;
    case TYPE_WELCOME:
        break;
    case TYPE_LIST: {
        QCborArray streams;
        for (const StreamEntry& e : message.streams)
            streams.append(entryMap(e));
        m.insert(QStringLiteral("streams"), streams);
        break;
    }
    case TYPE_STREAM_INFO:
    case TYPE_UNIT:
        m.insert(QStringLiteral("stream"), message.stream);
        m.insert(QStringLiteral("ts"), wire(message.ts));
        m.insert(QStringLiteral("rtype"), message.requestType);
        m.insert(QStringLiteral("begin"), wire(message.begin));
        m.insert(QStringLiteral("end"), wire(message.end));
        if (message.type == TYPE_UNIT) {
            m.insert(QStringLiteral("sdp"), message.sdp);
            m.insert(QStringLiteral("data"), message.data);
            m.insert(QStringLiteral("sealed"), message.sealed);
        }
        break;
    case TYPE_ERROR:
        m.insert(QStringLiteral("text"), message.text);
        break;
    }
    return m.toCborValue().toCbor();
}

bool UnitProtocol::decode(const QByteArray& bytes, Message* message, QString* error)
{
    QCborStreamReader reader(bytes);
    if (!declaredSizesFit(reader, bytes.size(), 0, error))
        return false;
    QCborParserError parseError;
    const QCborValue value = QCborValue::fromCbor(bytes, &parseError);
    if (parseError.error != QCborError::NoError) {
        *error = QStringLiteral("not CBOR: ") + parseError.errorString();
        return false;
    }
    if (!value.isMap()) {
        *error = QStringLiteral("not a CBOR map");
        return false;
    }
    const QCborMap m = value.toMap();
    const QCborValue version = m.value(QStringLiteral("v"));
    if (!version.isInteger() || version.toInteger() != VERSION) {
        *error = QStringLiteral("unsupported protocol version %1").arg(version.isInteger() ? version.toInteger() : -1);
        return false;
    }
    QString typeName;
    if (!readString(m, "t", &typeName, error))
        return false;
    int type = 0;
    while (type <= TYPE_ERROR && typeName != QLatin1String(kTypeNames[type]))
        ++type;
    if (type > TYPE_ERROR) {
        *error = QStringLiteral("unknown message type '%1'").arg(typeName.left(40));
        return false;
    }
    Message out;
    out.type = Type(type);
    if (out.type != TYPE_HELLO && out.type != TYPE_WELCOME && !readInteger(m, "id", &out.id, error))
        return false;
    switch (out.type) {
    case TYPE_HELLO: {
        const QCborValue token = m.value(QStringLiteral("token"));
        if (!token.isByteArray()) {
            *error = QStringLiteral("field 'token' is missing or not bytes");
            return false;
        }
        out.token = token.toByteArray();
        break;
    }
    case TYPE_WELCOME:
        break;
    case TYPE_STREAM_INFO:
    case TYPE_UNIT: {
        quint64 requestType = 0;
        if (!readString(m, "stream", &out.stream, error) || !readInteger(m, "ts", &out.ts, error) ||
            !readInteger(m, "rtype", &requestType, error) || !readInteger(m, "begin", &out.begin, error) ||
            !readInteger(m, "end", &out.end, error))
            return false;
        if (requestType > 2) {
            *error = QStringLiteral("unknown request type %1").arg(qint64(requestType));
            return false;
        }
        out.requestType = int(requestType);
        if (out.type == TYPE_UNIT) {
            out.sdp = m.value(QStringLiteral("sdp")).toString();
            out.data = m.value(QStringLiteral("data")).toByteArray();
            out.sealed = m.value(QStringLiteral("sealed")).toBool();
        }
        break;
    }
    case TYPE_LIST: {
        const QCborArray streams = m.value(QStringLiteral("streams")).toArray();
        for (const QCborValue& v : streams) {
            StreamEntry e;
            if (!readEntry(v, &e, error))
                return false;
            out.streams.append(e);
        }
        break;
    }
    case TYPE_ERROR:
        out.text = m.value(QStringLiteral("text")).toString();
        break;
    }
    *message = out;
    return true;
}

QByteArray UnitProtocol::frame(const QByteArray& message)
{
    QByteArray framed(KavexTcpSocket::HEADER_SIZE, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(message.size()), framed.data());
    return framed + message;
}

UnitProtocol::TakeResult UnitProtocol::takeFrame(QIODevice* device, QByteArray* message)
{
    char header[KavexTcpSocket::HEADER_SIZE];
    if (device->peek(header, sizeof header) != qint64(sizeof header))
        return TAKE_NONE;
    const quint32 size = qFromBigEndian<quint32>(header);
    if (size > quint32(KavexTcpSocket::MAX_MESSAGE_SIZE))
        return TAKE_OVERSIZE;
    if (device->bytesAvailable() < qint64(sizeof header) + qint64(size))
        return TAKE_NONE;
    device->skip(sizeof header);
    *message = device->read(size);
    return TAKE_MESSAGE;
}
