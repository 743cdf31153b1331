#include "PeakHold.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {
const double kTickSeconds = 1024.0 / 48000.0;

// Peaks the mixer holds, read by the meter every `drawSeconds`: a voice-like
// signal of 250 ms syllables at `burstDb` and 250 ms pauses at -72 dB for
// `seconds`, then silence. Returns the drawn lines.
std::vector<PeakHold::Line> meter(double burstDb, double seconds, double drawSeconds, double total)
{
    PeakHold hold;
    std::vector<PeakHold::Line> lines;
    double nextDraw = drawSeconds;
    for (int tick = 0; tick * kTickSeconds < total; ++tick) {
        const double t = tick * kTickSeconds;
        const bool burst = t < seconds && std::fmod(t, 0.5) < 0.25;
        hold.add(burst ? burstDb : (t < seconds ? -72.0 : PeakHold::kSilenceDb));
        if (t + kTickSeconds >= nextDraw) {
            lines.push_back(hold.draw(drawSeconds));
            nextDraw += drawSeconds;
        }
    }
    return lines;
}
}  // namespace

// Syllables between two draws are never missed: every line of a half-second
// meter reads the burst peak, not the pause; a peak at full scale is marked.
TEST(LevelMeter, BurstsBetweenDrawsReadTheirPeakAndFullScaleIsMarked)
{
    for (double burstDb : {-20.0, 0.0}) {
        SCOPED_TRACE(burstDb);
        const std::vector<PeakHold::Line> lines = meter(burstDb, 5.0, 0.5, 5.0);
        ASSERT_GE(lines.size(), 9u);
        for (const PeakHold::Line& line : lines) {
            EXPECT_NEAR(line.db, burstDb, 1.0);
            EXPECT_EQ(line.clipped, burstDb == 0.0);
        }
    }
}

// After the sound stops the level falls back at about 20 dB/s, on a fast
// (100 ms) meter too, and settles at silence; clipping is not held.
TEST(LevelMeter, FallsBackAtTwentyDbPerSecondAfterTheSoundStops)
{
    const std::vector<PeakHold::Line> lines = meter(0.0, 1.0, 0.1, 7.0);
    ASSERT_GE(lines.size(), 60u);
    EXPECT_TRUE(lines[7].clipped);  // 0.8 s: the last syllable ended at 0.75 s
    EXPECT_NEAR(lines[7].db, 0.0, 0.01);
    EXPECT_NEAR(lines[17].db, -20.0, 1.0);  // one second later
    EXPECT_FALSE(lines[17].clipped);
    EXPECT_DOUBLE_EQ(lines.back().db, PeakHold::kSilenceDb);
}
