#pragma once

#include "NTPRange.h"

#include <QString>

// A stream's span as sessions report it: Unix milliseconds of its first
// unit's begin and last unit's end, joined by "-"; "0-0" when it has none.
inline QString streamInfoText(const NTPRange& span)
{
    // Milliseconds from the NTP epoch (1900) to the Unix epoch (1970).
    const quint64 offset = 2208988800ULL * 1000;
    const auto unixMs = [offset](const NTPTimestamp& t) {
        const quint64 ms = t.toMilliseconds();
        return ms > offset ? ms - offset : 0;
    };
    return span.isNull() ? QStringLiteral("0-0")
                         : QStringLiteral("%1-%2").arg(unixMs(span.start())).arg(unixMs(span.end()));
}
