#pragma once

#include <QtGlobal>

// The one audio format inside the library: channels deliver signed 16-bit
// mono at 48 kHz; the mixer plays 16-bit interleaved stereo at the same rate,
// in ticks of a fixed number of frames.
namespace FrameFormat {
constexpr int kSampleRate = 48000;
constexpr int kBytesPerSample = 2;
constexpr int kOutputChannels = 2;
constexpr int kOutputBytesPerFrame = kOutputChannels * kBytesPerSample;
constexpr int kFramesPerTick = 1024;
// 1024 frames at 48 kHz: 21.333... ms.
constexpr quint64 kTickPeriodNs = quint64(kFramesPerTick) * 1000000000ULL / kSampleRate;
// Microseconds from the start of tick 0 to the start of tick `ticks`, exact
// to the microsecond however many ticks have passed (64000/3 us per tick).
constexpr quint64 ticksToUs(quint64 ticks)
{
    return ticks * quint64(kFramesPerTick) * 1000000ULL / quint64(kSampleRate);
}
// Bytes of channel audio in one millisecond.
constexpr int kChannelBytesPerMs = kSampleRate / 1000 * kBytesPerSample;
}  // namespace FrameFormat
