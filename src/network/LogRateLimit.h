#pragma once

#include "OstKavexMixerGlobal.h"

// Lets at most a given number of log lines of one kind through per second,
// so that a flood of bad packets costs a few lines instead of one per packet.
// The lines held back in a second are counted and handed out once, when the
// next line is let through. Not thread-safe: one per thread that logs.
class LogRateLimit
{
public:
    explicit LogRateLimit(int perSecond) : m_perSecond(perSecond) {}

    // True when a line may be written at `nowMs`.
    bool allow(qint64 nowMs)
    {
        if (nowMs - m_windowStartMs >= 1000 || nowMs < m_windowStartMs) {
            m_heldBack += m_inWindow > m_perSecond ? m_inWindow - m_perSecond : 0;
            m_windowStartMs = nowMs;
            m_inWindow = 0;
        }
        return ++m_inWindow <= m_perSecond;
    }
    // Lines held back in the seconds before the current one; counted once.
    int takeHeldBack()
    {
        const int n = m_heldBack;
        m_heldBack = 0;
        return n;
    }

private:
    const int m_perSecond;
    qint64 m_windowStartMs = 0;
    int m_inWindow = 0;
    int m_heldBack = 0;
};
