#pragma once

// The ballistics of one side of the level meter: what a drawn line shows is
// the highest reading since the previous draw, or, when the sound has got
// quieter, the previous line's value fallen back by kFallDbPerSecond, so
// that short bursts between two draws are seen and a level falls visibly
// rather than jumping to silence. A reading at full scale marks the line as
// clipped. Used on the tool's main thread only.
class PeakHold
{
public:
    static constexpr double kFallDbPerSecond = 20.0;
    static constexpr double kSilenceDb = -96.0;
    // A sample at full scale reads 0 dB; within this of it counts as clipping.
    static constexpr double kClipDb = -0.01;

    struct Line {
        double db;
        bool clipped;
    };

    // A peak reading in dB relative to full scale.
    void add(double db);
    // The line to draw `elapsedSeconds` after the previous one; starts the
    // next hold.
    Line draw(double elapsedSeconds);

private:
    double m_peakDb = kSilenceDb;
    double m_shownDb = kSilenceDb;
};
