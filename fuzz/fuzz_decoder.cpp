// Coded audio payloads through the decoder, as an RTP channel feeds them.
// The first byte picks the stream: G.726 (raw, at one of its rates and bit
// orders), MPEG audio, AAC, or G.726 recorded inside ADTS frames; the rest
// is cut into payloads whose sizes the input gives. Whatever the bytes, the
// decoder may only write whole samples into the buffer it was given.
#include "Decoder.h"
#include "FuzzSupport.h"

#include <QString>

extern "C" {
#include <libavutil/log.h>
}

#include <vector>

namespace {
QString sdpFor(uint8_t kind, uint8_t variant, bool* g726AsAac)
{
    static const char* const kG726[] = {"G726-16", "G726-24", "G726-32", "G726-40", "G726-32LE", "G726-40LE"};
    QString map;
    *g726AsAac = false;
    switch (kind % 4) {
    case 0:
        map = QStringLiteral("2 %1/8000").arg(QLatin1String(kG726[variant % 6]));
        break;
    case 1:
        map = QStringLiteral("14 MPA/90000");
        break;
    case 2:
        map = QStringLiteral("96 AAC/48000");
        break;
    default:
        map = QStringLiteral("2 G726-32/8000");
        *g726AsAac = true;
        break;
    }
    return QStringLiteral("v=0\r\nm=audio 5004 RTP/AVP %1\r\na=rtpmap:%2\r\n").arg(map.section(' ', 0, 0), map);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 16384)
        return 0;
    // FFmpeg's own complaints about the input would cost more than the decoding.
    static const bool quiet = (av_log_set_level(AV_LOG_QUIET), true);
    (void)quiet;
    FuzzInput input(data, size);
    const uint8_t kind = input.byte();
    const uint8_t variant = input.byte();
    bool g726AsAac = false;
    const std::unique_ptr<Decoder> decoder =
        Decoder::getDecoderBySdp(sdpFor(kind, variant, &g726AsAac), g726AsAac, 1.0);
    if (!decoder)
        __builtin_trap();
    // Less room than an RTP channel offers (256000 bytes): the resampler
    // sizes its buffers by the room offered, and zeroing a megabyte for
    // every input would cost more than the decoding. A payload that decodes
    // to more exercises the cut at the capacity. A guard zone behind it
    // must stay untouched.
    const int capacity = 32768;
    static std::vector<unsigned char> out(capacity + 64);
    // Up to 16 packets: until MPEG audio or AAC is recognised, the decoder
    // probes all bytes so far again for each packet, so that a long run of
    // small packets costs a square of its length.
    for (int packet = 0; packet < 16 && input.remaining() > 0; ++packet) {
        // Payload size: one byte, scaled so that whole MPEG/AAC frames fit too.
        const size_t want = size_t(input.byte()) * 8 + 1;
        size_t taken = 0;
        const uint8_t* payload = input.take(want, &taken);
        std::fill(out.begin() + capacity, out.end(), 0xA5);
        int length = capacity;
        decoder->decode(payload, int(taken), out.data(), length);
        if (length < 0 || length > capacity || length % 2 != 0)
            __builtin_trap();
        for (size_t i = capacity; i < out.size(); ++i)
            if (out[i] != 0xA5)
                __builtin_trap();
    }
    return 0;
}
