#include "AudioFrameDefs.h"

namespace AudioFrameDefs {

const NTPTimestamp& frameDuration()
{
    static const NTPTimestamp duration = NTPTimestamp::fromDivision(8, 375);
    return duration;
}

NTPTimestamp durationOfBytes(int bytes)
{
    // n bytes are n / 2 samples of 1/48 ms each.
    const double us = double(bytes) * 1000.0 / 48.0 * 0.5;
    return NTPTimestamp::fromMicroseconds(quint64(us));
}

}  // namespace AudioFrameDefs
