#include "LevelMeter.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <cstdio>
#include <unistd.h>

LevelMeter::LevelMeter(QSharedPointer<Mixer> mixer, QObject* parent)
    : QObject(parent)
    , m_mixer(std::move(mixer))
    , m_terminal(isatty(fileno(stdout)))
{
    m_timer.setInterval(m_terminal ? 100 : 500);
    connect(&m_timer, &QTimer::timeout, this, &LevelMeter::show);
}

void LevelMeter::start()
{
    // What was mixed before the meter started is not shown.
    double left = 0, right = 0;
    m_mixer->getOutputLevel(&left, &right);
    m_sinceDraw.start();
    m_timer.start();
}

void LevelMeter::stop()
{
    m_timer.stop();
    if (m_terminal)
        std::printf("\n");
    std::fflush(stdout);
}

QString LevelMeter::bar(double db, int width)
{
    // -60 dB .. 0 dB across the width.
    const int filled = qBound(0, int((db + 60.0) / 60.0 * width + 0.5), width);
    return QString(filled, QChar('#')) + QString(width - filled, QChar('.'));
}

QString LevelMeter::tickStatus(const Mixer& mixer)
{
    const MixerTickStatistics ticks = mixer.getTickStatistics();
    return QString("late %1 missed %2 worst %3 ms")
        .arg(ticks.lateTicks)
        .arg(ticks.missedTicks)
        .arg(ticks.worstLatenessUs / 1000.0, 0, 'f', 1);
}

void LevelMeter::show()
{
    double left = 0, right = 0;
    m_mixer->getOutputLevel(&left, &right);
    m_left.add(left);
    m_right.add(right);
    const double elapsed = m_sinceDraw.restart() / 1000.0;
    const PeakHold::Line l = m_left.draw(elapsed), r = m_right.draw(elapsed);
    const auto side = [](const PeakHold::Line& s) {
        return QString("[%1] %2 dB%3").arg(bar(s.db, 24)).arg(s.db, 6, 'f', 1).arg(s.clipped ? " CLIP" : "     ");
    };
    const QString line =
        QString("%1 L %2  R %3  %4").arg(m_label.leftJustified(16, ' ', true), side(l), side(r), tickStatus(*m_mixer));
    std::printf(m_terminal ? "\r%s" : "%s\n", qPrintable(line));
    std::fflush(stdout);
}
