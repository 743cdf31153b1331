#pragma once

#include "PeakHold.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSharedPointer>
#include <QTimer>

class Mixer;

// Prints the mix's level per side and the mixer's late and missed ticks
// while the tool runs: one line updated in
// place on a terminal every 100 ms, a line every half second otherwise.
// Each line shows the peak since the previous line (the mixer holds it
// between readings), falling back at about 20 dB/s, and "CLIP" when a
// sample reached full scale. Runs on the tool's main thread.
class LevelMeter : public QObject
{
    Q_OBJECT
public:
    explicit LevelMeter(QSharedPointer<Mixer> mixer, QObject* parent = nullptr);
    void start();
    void stop();
    // A short label printed before the bars (what is playing now).
    void setLabel(const QString& label) { m_label = label; }

    static QString bar(double db, int width);
    // "late N missed M worst X ms": how well the mixer thread keeps time.
    static QString tickStatus(const Mixer& mixer);

private:
    void show();

    QSharedPointer<Mixer> m_mixer;
    QTimer m_timer;
    QElapsedTimer m_sinceDraw;
    PeakHold m_left;
    PeakHold m_right;
    QString m_label;
    bool m_terminal;
};
