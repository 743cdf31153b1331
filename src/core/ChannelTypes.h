#pragma once

#include <QtGlobal>

/// Output sides a channel is muted on (a bit set; 0 = heard on both sides).
enum channel_t : quint32 { CHANNEL_LEFT = 1, CHANNEL_RIGHT = 2, CHANNEL_BOTH = 3 };

/// Rate of a channel's or sender's coded stream.
enum eSampleRate : int { SAMPLE_RATE_NONE = -1, SAMPLE_RATE_8000 = 0, SAMPLE_RATE_16000 = 1 };
