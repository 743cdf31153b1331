// The SDP reader over arbitrary text, read as Latin-1 and as UTF-8: it must
// refuse what it cannot read and, when it accepts, hand back a format that
// the text really names.
#include "Util.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace {
void check(const QString& sdp)
{
    QString codec;
    int payloadType = -1;
    int clockRate = -1;
    if (!MixerUtil::parseSdp(sdp, codec, payloadType, clockRate))
        return;
    if (codec.isEmpty() || payloadType < 0 || clockRate < 0 ||
        !sdp.contains(QStringLiteral("a=rtpmap:%1 %2/").arg(payloadType).arg(codec)))
        __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    const auto* text = reinterpret_cast<const char*>(data);
    check(QString::fromLatin1(text, int(size)));
    check(QString::fromUtf8(text, int(size)));
    return 0;
}
