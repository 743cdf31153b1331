#include "MarkerTone.h"

#include <algorithm>
#include <cmath>

namespace {
const int kPeriodSamples = 8000;                       // one tone burst per second
const double kFadeSamples = 1000;                      // the burst fades out over its first 1000 samples
const double kAngularStep = 2764.601535159018 / 8000;  // 2 pi 440 / 8000
const double kAmplitude = 8000;
}  // namespace

qint16 MarkerTone::sample(quint32 t)
{
    const double phaseInPeriod = double(t % kPeriodSamples);
    const double envelope = std::max(0.0, (2 * kFadeSamples - 2 * phaseInPeriod) / (2 * kFadeSamples));
    return qint16(int(std::sin(double(t) * kAngularStep) * kAmplitude * envelope));
}

unsigned char MarkerTone::encodeALaw(qint16 sample)
{
    int sign = 0;
    int magnitude = sample;
    if (sample < 0) {
        sign = 0x80;
        magnitude = sample == -32768 ? 32767 : -sample;
    }
    int segment = 0;
    int shift = 4;
    for (int s = 7; s >= 1; --s) {
        if (magnitude >= (0x80 << s)) {
            segment = s;
            shift = s + 3;
            break;
        }
    }
    return static_cast<unsigned char>((sign | (segment << 4) | ((magnitude >> shift) & 0x0f)) ^ 0x55);
}
