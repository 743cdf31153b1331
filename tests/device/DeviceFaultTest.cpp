#include "DSoundIn.h"
#include "LogCapture.h"
#include "PcmDevice.h"
#include "ScriptedSoundBackend.h"
#include "backends/VirtualSoundBackend.h"
#include "backends/VirtualSoundFaults.h"

#include <QByteArray>

#include <tuple>
#include <vector>

// Sound cards that misbehave: virtual cards acting out the faults of the
// playback control, recording what they play.
class DeviceFaultTest : public ScriptedDeviceTest
{
protected:
    struct RecordingBackend : VirtualSoundBackend {
        RecordingBackend(const Format& format, quint32 ringBytes, Clock& clock, QByteArray* played)
            : VirtualSoundBackend(DIRECTION_PLAYBACK, format, ringBytes, clock)
            , played(played)
        {
        }
        ~RecordingBackend() override { stop(); }
        void render(const quint8* data, quint32 bytes) override
        {
            played->append(QByteArray((const char*)data, int(bytes)));
        }
        void renderSilence(quint64 bytes) override { played->append(QByteArray(int(bytes), 0)); }
        QByteArray* played;
    };
    struct RecordingCard : SoundCard {
        RecordingCard(DeviceFaultTest* test) : test(test) {}
        bool supports(const SoundBackend::Format&, bool* supported) override { return *supported = true; }
        std::unique_ptr<SoundBackend> makeBackend(const SoundBackend::Format& format, quint32 ringBytes) override
        {
            ++test->ringRequests;
            if (faults().takeOpenFailure())
                return nullptr;
            return std::make_unique<RecordingBackend>(format, ringBytes, test->clock, &test->played);
        }
        DeviceFaultTest* test;
    };
    static VirtualSoundFaults& faults() { return VirtualSoundFaults::of(SoundBackend::DIRECTION_PLAYBACK); }
    void SetUp() override { faults().reset(); }
    void TearDown() override { faults().reset(); }

    std::unique_ptr<PcmDevice> openOutput()
    {
        SoundCardMaker maker = [this](SoundBackend::Direction, Clock&) -> std::unique_ptr<SoundCard> {
            return std::make_unique<RecordingCard>(this);
        };
        return std::unique_ptr<PcmDevice>(
            PcmDevice::open(PcmDevice::DirectionOutput, 48000, PcmDevice::SampleWidth16, 2, true, clock, maker));
    }
    // Writes `count` chunks whose samples all carry the chunk's number, from `first` on.
    void writeNumbered(PcmDevice& device, int first, int count)
    {
        std::vector<qint16> chunk(2048);
        for (int n = first; n < first + count; ++n) {
            std::fill(chunk.begin(), chunk.end(), qint16(n));
            ASSERT_EQ(device.write(reinterpret_cast<unsigned char*>(chunk.data()), 1024, nullptr), 1024);
        }
    }
    // The chunk numbers heard, one per run of equal samples, with the length of each run in frames.
    QList<QPair<int, int>> heard() const
    {
        QList<QPair<int, int>> runs;
        const auto* s = reinterpret_cast<const qint16*>(played.constData());
        for (int i = 0; i + 1 < played.size() / 2; i += 2) {
            if (runs.isEmpty() || runs.last().first != s[i])
                runs.append({s[i], 0});
            ++runs.last().second;
        }
        return runs;
    }
    QByteArray played;
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
        played.clear();
        LogCapture log;
        std::unique_ptr<PcmDevice> device = openOutput();
        ASSERT_TRUE(device);
        const quint64 begin = clock.monotonicUs();
        writeNumbered(*device, 1, 400);
        const double seconds = double(clock.monotonicUs() - begin) / 1e6;
        device.reset();
        // 400 chunks take 400 chunk periods of the card's clock, give or take the chunks held ahead.
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

TEST_F(DeviceFaultTest, OutputThatCannotBeRebuiltComesBackOnItsOwnOnceTheCardIsBack)
{
    std::unique_ptr<PcmDevice> device = openOutput();
    ASSERT_TRUE(device);
    writeNumbered(*device, 1, 10);
    LogCapture log;
    // The card goes away: its ring cannot be locked, and a new one cannot be made.
    faults().lockFails = true;
    faults().opensToFail = -1;
    writeNumbered(*device, 11, 500);  // about 10 s
    const int triesWhileGone = ringRequests;
    faults().reset();
    played.clear();
    writeNumbered(*device, 511, 500);
    const QList<QPair<int, int>> runs = heard();
    ASSERT_FALSE(runs.isEmpty());
    EXPECT_GT(triesWhileGone, 3);  // it kept trying, with back-off
    EXPECT_LT(triesWhileGone, 30);
    EXPECT_TRUE(runs.contains(qMakePair(1000, 1024)));  // and plays again
    // One line when the output goes, one when it is back: not one per try.
    EXPECT_EQ(log.count(QtWarningMsg, "PcmDevice::write: sound output lost"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "PcmDevice::write: sound output is back"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "PcmDevice::write putNextChunk failed, reinstantiating DSoundOut"), 1);
    EXPECT_LE(log.count(QtWarningMsg, "Lock failed"), 1);
}

TEST_F(DeviceFaultTest, BlockingCaptureReadGivesUpWhenTheCursorStandsStill)
{
    // The capture cursor stands still for a minute, then records in real time.
    prepare = [](ScriptedSoundBackend* b) {
        b->script = [](quint64 us) { return us < 60000000 ? 0 : quint32(us / 1000 * 96); };
    };
    DSoundIn in(48000, 2, 1, true, clock, cards());
    ASSERT_TRUE(in.start());
    std::vector<unsigned char> data(3000);
    const quint64 begin = clock.monotonicUs();
    EXPECT_EQ(in.read(data.data(), 1500), 0);
    EXPECT_LT(clock.monotonicUs() - begin, 200000u);
}
