#include "PeakHold.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {
// The peaks the mixer holds, one a tick, read every `drawSeconds`: syllables
// of 250 ms at `burstDb` and pauses at -72 dB until `seconds`, then silence.
std::vector<PeakHold::Line> meter(double burstDb, double seconds, double drawSeconds, double total)
{
    const double tick = 1024.0 / 48000.0;
    PeakHold hold;
    std::vector<PeakHold::Line> lines;
    for (double t = 0, nextDraw = drawSeconds; t < total; t += tick) {
        hold.add(t >= seconds ? PeakHold::kSilenceDb : (std::fmod(t, 0.5) < 0.25 ? burstDb : -72.0));
        if (t + tick >= nextDraw) {
            lines.push_back(hold.draw(drawSeconds));
            nextDraw += drawSeconds;
        }
    }
    return lines;
}
}  // namespace

TEST(LevelMeter, ReadsBurstsBetweenDrawsMarksClippingAndFallsBackAtTwentyDbPerSecond)
{
    // Every line of a half-second meter reads the syllables' peak, not the pauses.
    for (double burstDb : {-20.0, 0.0}) {
        const std::vector<PeakHold::Line> lines = meter(burstDb, 5.0, 0.5, 5.0);
        ASSERT_GE(lines.size(), 9u);
        for (const PeakHold::Line& line : lines) {
            EXPECT_NEAR(line.db, burstDb, 1.0);
            EXPECT_EQ(line.clipped, burstDb == 0.0);
        }
    }
    // A 100 ms meter after the last syllable (0.5..0.75 s): falls 20 dB a second, to silence.
    const std::vector<PeakHold::Line> lines = meter(0.0, 1.0, 0.1, 7.0);
    EXPECT_TRUE(lines[7].clipped && lines[7].db == 0.0);
    EXPECT_NEAR(lines[17].db, -20.0, 1.0);
    EXPECT_FALSE(lines[17].clipped);
    EXPECT_EQ(lines.back().db, PeakHold::kSilenceDb);
}
