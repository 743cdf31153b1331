#pragma once

#include <QObject>
#include <QSharedPointer>
#include <QTimer>

class Mixer;

// Prints the mix's peak level per side and the mixer's late and missed
// ticks while the tool runs: one line updated in place on a terminal, a line
// every half second otherwise.
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
    QString m_label;
    bool m_terminal;
    int m_ticks = 0;
};
