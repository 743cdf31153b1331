#pragma once

// Routes FFmpeg's log messages (av_log) into Qt's message logger under the
// category kavex.decoder, so that nothing of FFmpeg's reaches stderr on its
// own. FFmpeg's own level threshold (av_log_set_level, INFO by default) still
// decides which messages are formatted at all. FFmpeg's errors and warnings
// concern single packets or probes of network input, which the decoder
// already reports in its own words and drops; they become debug lines, as
// at warning level a damaged stream would flood the host's log. Only FATAL
// and PANIC become critical. Thread-safe: FFmpeg logs from any thread.
class FFmpegLog
{
public:
    // Installs the routing once per process; later calls do nothing.
    static void install();
};
