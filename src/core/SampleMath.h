#pragma once

#include <QtGlobal>

#include <cmath>
#include <cstdlib>

// Sample arithmetic used wherever audio is summed, scaled or measured, with
// the rounding rule in the name so that two places never round differently.
namespace SampleMath {

// Saturates a sum of samples to the 16-bit range: -32768..32767.
inline qint16 clipToInt16(qint32 value)
{
    return qint16(value > 32767 ? 32767 : (value < -32768 ? -32768 : value));
}

// Scales by `gain`, rounds half away from zero, then saturates.
inline qint16 scaleRoundClip(qint32 value, double gain)
{
    const double scaled = std::round(double(value) * gain);
    return qint16(scaled > 32767.0 ? 32767 : (scaled < -32768.0 ? -32768 : int(scaled)));
}

// Scales by `gain`, truncates toward zero, then saturates.
inline qint16 scaleTruncateClip(qint32 value, double gain)
{
    const double scaled = double(value) * gain;
    return qint16(scaled > 32767.0 ? 32767 : (scaled < -32768.0 ? -32768 : int(scaled)));
}

// Largest magnitude among `count` samples `stride` apart, capped at 32767
// (so that -32768 reads as full scale, not as an overflow).
inline int peak(const qint16* samples, int count, int stride = 1)
{
    int result = 0;
    for (int i = 0; i < count; ++i) {
        const int v = std::abs(int(samples[i * stride]));
        result = v > result ? v : result;
    }
    return result > 32767 ? 32767 : result;
}

}  // namespace SampleMath
