#include "ScopedTestClock.h"
#include "VirtualSoundBackend.h"

#include <QByteArray>
#include <gtest/gtest.h>

namespace {
// Keeps what the card plays, and counts what the microphone delivers.
class RecordingBackend : public VirtualSoundBackend
{
public:
    using VirtualSoundBackend::VirtualSoundBackend;
    QByteArray played;
    quint8 next = 0;
    quint64 skipped = 0;

protected:
    void render(const quint8* data, quint32 bytes) override { played.append(reinterpret_cast<const char*>(data), int(bytes)); }
    void renderSilence(quint64 bytes) override { played.append(QByteArray(int(bytes), 0)); }
    void fill(quint8* data, quint32 bytes) override
    {
        for (quint32 i = 0; i < bytes; ++i)
            data[i] = next++;
    }
    void skip(quint64 bytes) override
    {
        skipped += bytes;
        next = quint8(next + bytes);
    }
};

class VirtualSoundBackendTest : public ::testing::Test
{
protected:
    ScopedTestClock clock;
    const SoundBackend::Format stereo{48000, 2, 2};
};
}  // namespace

TEST_F(VirtualSoundBackendTest, PlaysTheRingOnceThenSilence)
{
    RecordingBackend card(SoundBackend::DIRECTION_PLAYBACK, stereo, 16384);
    QByteArray pattern(16384, 0);
    for (int i = 0; i < pattern.size(); ++i)
        pattern[i] = char(1 + i % 200);
    std::copy(pattern.begin(), pattern.end(), card.ring());
    ASSERT_TRUE(card.start());
    EXPECT_EQ(card.position(), 0u);

    clock.advanceUs(50000);  // 2400 frames
    EXPECT_EQ(card.position(), 9600u);
    EXPECT_EQ(card.played, pattern.left(9600));
    // Played bytes are cleared: a writer that falls behind is heard as silence.
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(card.ring()), 9600), QByteArray(9600, 0));

    clock.advanceUs(50000);
    EXPECT_EQ(card.position(), 19200u % 16384);
    clock.advanceUs(1000000);
    card.stop();
    clock.advanceUs(1000000);
    EXPECT_EQ(card.position(), (19200u + 192000u) % 16384);
    EXPECT_EQ(card.played.size(), 19200 + 192000);
    EXPECT_EQ(card.played, pattern + QByteArray(19200 + 192000 - 16384, 0));
}

TEST_F(VirtualSoundBackendTest, RecordsInRealTimeKeepingTheLatestRound)
{
    RecordingBackend microphone(SoundBackend::DIRECTION_CAPTURE, {48000, 1, 2}, 12000);
    ASSERT_TRUE(microphone.start());
    clock.advanceUs(10000);  // 480 frames
    EXPECT_EQ(microphone.position(), 960u);
    EXPECT_EQ(microphone.ring()[959], quint8(959 % 256));

    // 400 ms later only the last 125 ms are in the ring, where they belong.
    clock.advanceUs(400000);
    const quint64 total = 410 * 96;
    EXPECT_EQ(microphone.position(), quint32(total % 12000));
    EXPECT_EQ(microphone.skipped, total - 960 - 12000);
    for (quint64 byte = total - 12000; byte < total; byte += 997)
        ASSERT_EQ(microphone.ring()[byte % 12000], quint8(byte % 256)) << byte;
}
