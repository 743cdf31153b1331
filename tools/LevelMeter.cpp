#include "LevelMeter.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <cstdio>
#include <unistd.h>

LevelMeter::LevelMeter(QSharedPointer<Mixer> mixer, QObject* parent)
    : QObject(parent)
    , m_mixer(std::move(mixer))
    , m_terminal(isatty(fileno(stdout)))
{
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, &LevelMeter::show);
}

void LevelMeter::start()
{
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
    ++m_ticks;
    if (!m_terminal && m_ticks % 5 != 0)
        return;
    double left = 0, right = 0;
    m_mixer->getOutputLevel(&left, &right);
    const QString line = QString("%1 L [%2] %3 dB  R [%4] %5 dB  %6")
                             .arg(m_label.leftJustified(16, ' ', true), bar(left, 24))
                             .arg(left, 6, 'f', 1)
                             .arg(bar(right, 24))
                             .arg(right, 6, 'f', 1)
                             .arg(tickStatus(*m_mixer));
    std::printf(m_terminal ? "\r%s" : "%s\n", qPrintable(line));
    std::fflush(stdout);
}
