#include "PeakHold.h"

#include <algorithm>

void PeakHold::add(double db)
{
    m_peakDb = std::max(m_peakDb, db);
}

PeakHold::Line PeakHold::draw(double elapsedSeconds)
{
    const double fallen = m_shownDb - kFallDbPerSecond * std::max(0.0, elapsedSeconds);
    m_shownDb = std::max({m_peakDb, fallen, kSilenceDb});
    const Line line{m_shownDb, m_peakDb >= kClipDb};
    m_peakDb = kSilenceDb;
    return line;
}
