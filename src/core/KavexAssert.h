#pragma once

#include "OstKavexMixerGlobal.h"

// Logs a failed invariant (expression text, file and line) as a warning and
// returns: the caller goes on, the log keeps the evidence.
OSTKAVEXMIXER_EXPORT void kavexAssertPrint(const char* expression, const char* file, int line);

#define KAVEX_ASSERT(cond)                                                                                             \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            kavexAssertPrint(#cond, __FILE__, __LINE__);                                                               \
    } while (0)
