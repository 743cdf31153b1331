#pragma once

#include "FrameFormat.h"
#include "NTPTimestamp.h"
#include "OstKavexMixerGlobal.h"

// The unit of audio between channels and the mixer: one frame of 1024 signed
// 16-bit mono samples at 48 kHz, and the capacity of a channel's frame queue.
namespace AudioFrameDefs {

constexpr int SAMPLE_RATE = FrameFormat::kSampleRate;
constexpr int BYTES_PER_SAMPLE = FrameFormat::kBytesPerSample;
constexpr int SAMPLES_IN_FRAME = FrameFormat::kFramesPerTick;
constexpr int BYTES_IN_FRAME = SAMPLES_IN_FRAME * BYTES_PER_SAMPLE;
constexpr int FRAMES_IN_QUEUE = 2800;
constexpr int MAX_BYTES_IN_QUEUE = FRAMES_IN_QUEUE * BYTES_IN_FRAME;  // about 59.7 s

static_assert(BYTES_IN_FRAME == 2048, "a frame is 2048 bytes");
static_assert(MAX_BYTES_IN_QUEUE == 5734400, "the queue holds 2800 frames");

// 1024 samples at 48 kHz: 8/375 s.
const NTPTimestamp& frameDuration();

// Duration of `bytes` bytes of 48 kHz 16-bit mono audio, truncated to whole
// microseconds.
NTPTimestamp durationOfBytes(int bytes);

}  // namespace AudioFrameDefs
