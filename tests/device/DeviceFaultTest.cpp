#include "LogCapture.h"
#include "PcmDevice.h"
#include "ScopedEnvironment.h"
#include "SignalAnalysis.h"
#include "TestClock.h"
#include "backends/VirtualSoundFaults.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <vector>

// An output over a virtual card that records what it plays into a WAV file and
// acts out the faults of the playback control, on a test clock.
class DeviceFaultTest : public ::testing::Test
{
protected:
    static VirtualSoundFaults& faults() { return VirtualSoundFaults::of(SoundBackend::DIRECTION_PLAYBACK); }
    void SetUp() override { faults().reset(); }
    void TearDown() override { faults().reset(); }
    std::unique_ptr<PcmDevice> open()
    {
        return std::unique_ptr<PcmDevice>(
            PcmDevice::open(PcmDevice::DirectionOutput, 48000, PcmDevice::SampleWidth16, 2, true, clock));
    }
    // Writes chunks `first` to `last`, every sample of each carrying its number.
    void write(PcmDevice& device, int first, int last)
    {
        std::vector<qint16> chunk(2048);
        for (int n = first; n <= last; ++n) {
            std::fill(chunk.begin(), chunk.end(), qint16(n));
            ASSERT_EQ(device.write(reinterpret_cast<unsigned char*>(chunk.data()), 1024, nullptr), 1024);
        }
    }
    // What the card played since it was last opened: each run of equal samples and its length in frames.
    QList<QPair<int, int>> heard() const
    {
        QList<QPair<int, int>> runs;
        const std::vector<int16_t> s = SignalAnalysis::readWav(m_file).samples;
        for (size_t i = 0; i + 1 < s.size(); i += 2) {
            if (runs.isEmpty() || runs.last().first != s[i])
                runs.append({s[i], 0});
            ++runs.last().second;
        }
        return runs;
    }
    TestClock clock;
    QTemporaryDir m_dir;
    const QString m_file = m_dir.filePath("out.wav");
    ScopedEnvironment m_env{"OSTKAVEX_OUTPUT_DEVICE", ("wav:" + m_file).toUtf8()};
};

TEST_F(DeviceFaultTest, OutputPlaysEveryChunkInOrderAtTheCardsPaceWhateverItsCallbacksAndClock)
{
    // Frames per callback burst (0: smooth) and the card's clock drift in ppm.
    const std::vector<std::pair<quint32, int>> cases = {{0, 0},    {256, 0},  {1024, 0},  {2048, 0},
                                                        {4096, 0}, {0, 5000}, {0, -5000}, {4096, -5000}};
    for (const auto& [burst, drift] : cases) {
        SCOPED_TRACE(testing::Message() << "burst " << burst << ", drift " << drift);
        faults().burstFrames = burst;
        faults().driftPpm = drift;
        LogCapture log;
        std::unique_ptr<PcmDevice> device = open();
        const quint64 begin = clock.monotonicUs();
        write(*device, 1, 400);
        const double seconds = double(clock.monotonicUs() - begin) / 1e6;
        device.reset();
        // 400 chunk periods of the card's clock, give or take the chunks written ahead.
        EXPECT_NEAR(seconds * (1.0 + drift / 1e6), 400 * 1024 / 48000.0, 0.15);
        // Silence while the first chunks are written ahead, then every chunk whole and in order.
        QList<QPair<int, int>> runs = heard();
        ASSERT_GE(runs.size(), 300);
        EXPECT_EQ(runs.takeFirst().first, 0);
        for (int i = 0; i < runs.size() - 1; ++i)
            ASSERT_EQ(runs[i], qMakePair(i + 1, 1024)) << i;
        EXPECT_FALSE(log.contains(QtWarningMsg, "broken"));
    }
}

// A writer that falls behind the card (each reading of the clock takes that long, on a smooth card or one taking
// 4096 frames at once): a chunk is heard whole or in part at its place, or not at all; never a ring late, or twice.
TEST_F(DeviceFaultTest, ChunksOfAWriterThatFallsBehindAreHeardInOrderOnce)
{
    for (const auto& [burst, us] :
         std::vector<std::pair<quint32, quint64>>{{0, 10000}, {0, 70000}, {4096, 50000}, {4096, 100000}}) {
        SCOPED_TRACE(testing::Message() << "burst " << burst << ", " << us << " us per reading");
        faults().burstFrames = burst;
        clock.setAdvancePerReading(us);
        write(*open(), 1, 100);  // the device goes with the statement
        int last = 0;
        for (const auto& run : heard()) {
            EXPECT_TRUE(run.first == 0 || (run.first > last && run.second <= 1024)) << run.first << " after " << last;
            last = std::max(last, int(run.first));
        }
    }
}

TEST_F(DeviceFaultTest, LostOutputComesBackOnItsOwnAfterBackOffWithOneLineEachWay)
{
    std::unique_ptr<PcmDevice> device = open();
    LogCapture log;
    // The card goes away: its ring cannot be locked, and the next four rings cannot be made.
    faults().lockFails = true;
    faults().opensToFail = 4;
    write(*device, 1, 40);
    faults().lockFails = false;
    write(*device, 41, 600);
    device.reset();
    // Tries after 0.25, 0.5, 1 and 2 s fail; the one 4 s later (about chunk 25 + 176) brings the card back.
    const QList<QPair<int, int>> runs = heard();
    ASSERT_GE(runs.size(), 3);
    EXPECT_NEAR(runs[1].first, 25 + 176, 5);
    EXPECT_EQ(runs[2], qMakePair(runs[1].first + 1, 1024));
    // The lock failure, the broken ring, the rebuild, its failed open; lost once, back once: no line per try.
    EXPECT_EQ(log.count(QtWarningMsg, ""), 6);
    EXPECT_EQ(log.count(QtWarningMsg, "PcmDevice::write: sound output lost, pacing without it"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "PcmDevice::write: sound output is back"), 1);
}
