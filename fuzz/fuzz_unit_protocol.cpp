// The unit server's messages. Any bytes: the decoder refuses them with a
// reason or accepts a message that encodes back to the same message; and a
// message holding the input's bytes as its texts and data is accepted. The
// input also goes through the frame reader as a stream of framed messages.
#include "UnitProtocol.h"

#include <QBuffer>
#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace {
bool same(const UnitProtocol::StreamEntry& a, const UnitProtocol::StreamEntry& b)
{
    return a.name == b.name && a.detail == b.detail && a.codec == b.codec && a.begin == b.begin && a.end == b.end &&
           a.units == b.units && a.sealed == b.sealed;
}

bool same(const UnitProtocol::Message& a, const UnitProtocol::Message& b)
{
    if (a.streams.size() != b.streams.size())
        return false;
    for (int i = 0; i < a.streams.size(); ++i)
        if (!same(a.streams[i], b.streams[i]))
            return false;
    return a.type == b.type && a.id == b.id && a.token == b.token && a.stream == b.stream && a.ts == b.ts &&
           a.requestType == b.requestType && a.begin == b.begin && a.end == b.end && a.sdp == b.sdp &&
           a.data == b.data && a.sealed == b.sealed && a.text == b.text;
}

void check(const QByteArray& bytes)
{
    UnitProtocol::Message message;
    QString error;
    if (!UnitProtocol::decode(bytes, &message, &error)) {
        if (error.isEmpty())
            __builtin_trap();
        return;
    }
    UnitProtocol::Message again;
    if (!UnitProtocol::decode(UnitProtocol::encode(message), &again, &error) || !same(message, again))
        __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536)
        return 0;
    QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    check(bytes);
    // A message made of the input's bytes must encode into one that decodes.
    UnitProtocol::Message made;
    made.type = UnitProtocol::Type(size % (UnitProtocol::TYPE_ERROR + 1));
    made.id = size;
    made.token = made.data = bytes;
    made.stream = made.sdp = made.text = QString::fromUtf8(bytes);
    made.requestType = int(size % 3);
    if (made.type == UnitProtocol::TYPE_LIST)
        made.streams.append({made.stream, made.text, made.sdp, quint64(size), 0, qint64(size), true});
    UnitProtocol::Message back;
    QString error;
    if (!UnitProtocol::decode(UnitProtocol::encode(made), &back, &error))
        __builtin_trap();
    QBuffer stream(&bytes);
    stream.open(QIODevice::ReadOnly);
    QByteArray message;
    while (UnitProtocol::takeFrame(&stream, &message) == UnitProtocol::TAKE_MESSAGE)
        check(message);
    return 0;
}
