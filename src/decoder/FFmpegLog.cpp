#include "FFmpegLog.h"

#include "LogCategories.h"

#include <QByteArray>

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace {
constexpr int kLineSize = 1024;

// The lines name FFmpeg as their function (%{function} in a message
// pattern), as they come from no function of ours.
void logLine(bool critical, const QByteArray& text)
{
    QMessageLogger logger(nullptr, 0, "FFmpeg", lcKavexDecoder().categoryName());
    if (critical)
        logger.critical("%s", text.constData());
    else
        logger.debug("%s", text.constData());
}

void route(void* avClass, int level, const char* format, va_list args)
{
    if (level > av_log_get_level())
        return;
    const bool critical = level <= AV_LOG_FATAL;
    if (!lcKavexDecoder().isEnabled(critical ? QtCriticalMsg : QtDebugMsg))
        return;
    // FFmpeg may write one line in several calls; the pieces are collected
    // per thread and a line is logged when its newline arrives. The prefix
    // ("[mp3 @ 0x...] ") is printed only at the start of a line.
    thread_local QByteArray pending;
    thread_local int printPrefix = 1;
    char piece[kLineSize];
    av_log_format_line2(avClass, level, format, args, piece, sizeof piece, &printPrefix);
    pending += piece;
    int newline;
    while ((newline = pending.indexOf('\n')) >= 0) {
        const QByteArray line = pending.left(newline).trimmed();
        pending.remove(0, newline + 1);
        if (!line.isEmpty())
            logLine(critical, line);
    }
    // A line that never ends is not held without bound.
    if (pending.size() > kLineSize) {
        logLine(critical, pending);
        pending.clear();
    }
}
}  // namespace

void FFmpegLog::install()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(&route); });
}
