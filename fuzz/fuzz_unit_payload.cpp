// libFuzzer target for the recorder's payload rules: an SDP (one of a few
// real ones, or the input's own text) and an RTP payload turned into unit
// bytes. Malformed SDPs and payloads must be refused, never read past.
#include "UnitPayloadFormat.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace {
QString sdpFor(int kind)
{
    static const char* const kMaps[] = {
        "8 PCMA/8000",
        "14 MPA/90000",
        "97 AC3/48000",
        "2 G726-32/8000",
        ("96 mpeg4-generic/48000/1\r\na=fmtp:96 streamtype=5; profile-level-id=15; mode=AAC-hbr; "
         "config=1188; SizeLength=13; IndexLength=3; IndexDeltaLength=3"),
    };
    const QString map = QString::fromLatin1(kMaps[kind % 5]);
    return QStringLiteral("v=0\r\nm=audio 5004 RTP/AVP %1\r\na=rtpmap:%2\r\n").arg(map.section(' ', 0, 0), map);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: below 0x80 picks a known SDP; otherwise the next byte says
    // how long the input's own SDP text is.
    QString sdp;
    size_t offset = 1;
    if (data[0] < 0x80) {
        sdp = sdpFor(data[0]);
    } else {
        const size_t length = data[1] < size - 2 ? data[1] : size - 2;
        sdp = QString::fromLatin1(reinterpret_cast<const char*>(data + 2), int(length));
        offset = 2 + length;
    }
    const UnitPayloadFormat format(sdp);
    const auto* payload = reinterpret_cast<const unsigned char*>(data + offset);
    const int payloadSize = int(size - offset);
    QByteArray unit;
    format.append(payload, payloadSize, unit);
    format.durationTicks(payloadSize);
    format.durationTicks(payload, payloadSize);
    return 0;
}
