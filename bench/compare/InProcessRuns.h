#pragma once

#include <QString>

#include <vector>

// The two measurements the compare harness makes inside a process of its
// own: our live path, and the floor under it (the same FFmpeg decoder and
// 256-tap resampler called directly, nothing else). Each reads the first
// `count` stream files of `dir`, holds them in memory as its input, and
// measures the process CPU time of the work alone.
struct InProcessResult {
    double cpuSeconds = 0;
    // Input held in memory for the run (resident, not part of the path).
    double heldBytes = 0;
    // Largest output magnitude: 0 means the path produced silence.
    int peak = 0;
};

// A-law streams as WAV files, named as streamFile() names them.
QString streamFile(const QString& dir, int index);
bool writeStreamFile(const QString& path, const std::vector<unsigned char>& codes);

InProcessResult runOurPath(const QString& dir, int count, double seconds);
InProcessResult runFloor(const QString& dir, int count, double seconds);
