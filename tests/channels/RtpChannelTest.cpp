#include "AudioFrameDefs.h"
#include "LogCapture.h"
#include "RtpChannel.h"
#include "RtpTestPackets.h"
#include "TestClock.h"

#include <QDateTime>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace RtpTestPackets;

namespace {

const NTPTimestamp kFrame = AudioFrameDefs::frameDuration();
const NTPTimestamp kBase = NTPTimestamp::fromDateTime(QDateTime(QDate(2031, 5, 1), QTime(12, 0), Qt::UTC));

struct ChannelDeleter {
    void operator()(RtpChannel* c) const { c->deleteThis(); }
};
using ChannelPtr = std::unique_ptr<RtpChannel, ChannelDeleter>;

std::vector<qint16> pull(RtpChannel& c, const NTPTimestamp& start)
{
    std::vector<qint16> out(AudioFrameDefs::SAMPLES_IN_FRAME);
    c.getData(NTPRange(start, start + kFrame), reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

// A channel whose SDP the mixer side has applied already.
ChannelPtr readyChannel(const QString& text = pcmaSdp(), Clock& clock = Clock::system())
{
    ChannelPtr c(new RtpChannel(text, 1.0, clock));
    pull(*c, NTPTimestamp::now());
    return c;
}

void depay(RtpChannel& c, const QByteArray& bytes)
{
    c.depay(RTPPacket(reinterpret_cast<const unsigned char*>(bytes.constData()), bytes.size()));
}

void rtcp(RtpChannel& c, const QByteArray& bytes)
{
    c.rtcp(RTCPPacket(reinterpret_cast<const unsigned char*>(bytes.constData()), bytes.size()));
}

double msAfter(const NTPTimestamp& base, const NTPTimestamp& t)
{
    return (double(t.toMicroSeconds()) - double(base.toMicroSeconds())) / 1000.0;
}

// PCMA: 600 ms of audio from the report's time on, 20 ms per packet, its level
// stepping up every 100 ms.
ChannelPtr fedChannel()
{
    ChannelPtr c = readyChannel();
    rtcp(*c, senderReport(9, kBase, 0));
    for (int i = 0; i < 30; ++i)
        depay(*c, rtp(9, quint16(i), quint32(160 * i), 8, alawLevel(2000 * (1 + i / 5), 160)));
    return c;
}

}  // namespace

TEST(RtpChannel, SequenceNumbersRejectDuplicatesAndReportLosses)
{
    // Payload type 0 reaches its check only past the sequence check, so that
    // warning counts the packets let through.
    struct Case {
        std::vector<quint16> seqs;
        int through, duplicates, lost;
        quint64 missing;  // packets counted as lost
    } const cases[] = {
        {{10, 10, 11}, 2, 1, 0, 0},      // 10 stays the last sequence
        {{10, 9, 11}, 2, 1, 0, 0},       // distance 65535: old
        {{10, 13, 14}, 3, 0, 1, 2},      // a gap: used, 13 recorded
        {{65535, 0, 1}, 3, 0, 0, 0},     // wrap-around
        {{100, 1, 3, 101}, 2, 2, 0, 0},  // 65437 and 65439: old
        {{100, 0, 1}, 3, 0, 1, 65435},   // 65436: the largest gap
    };
    for (const Case& k : cases) {
        ChannelPtr c = readyChannel();
        LogCapture log;
        for (quint16 s : k.seqs)
            depay(*c, rtp(1, s, 160u * s, 0, alawLevel(0, 160)));
        SCOPED_TRACE(k.seqs[1]);
        EXPECT_EQ(log.count(QtWarningMsg, "RtpChannel::depay: Unsupported Payload type: 0"), k.through);
        EXPECT_EQ(log.count(QtWarningMsg, "RtpChannel::depay(): rejecting detected duplicate rtp packet"), k.duplicates);
        EXPECT_EQ(log.count(QtDebugMsg, "RtpChannel::depay(): rtp packet(s) lost"), k.lost);
        quint64 packets = 0, lost = 0, duplicates = 0;
        int peak = -1;
        c->statistics(&packets, &lost, &duplicates, &peak);
        EXPECT_TRUE(packets == quint64(k.through) && duplicates == quint64(k.duplicates) && lost == k.missing)
            << packets << " " << duplicates << " " << lost;
    }
}

TEST(RtpChannel, TheMixerSideAppliesTheSdpAndPacketsWaitForIt)
{
    ChannelPtr c(new RtpChannel(pcmaSdp(), 1.0));
    LogCapture log;
    depay(*c, rtp(1, 1, 0, 8, alawLevel(1000, 160)));
    EXPECT_EQ(log.countAny("RtpChannel"), 0);
    EXPECT_EQ(c->getSampleRate(), SAMPLE_RATE_NONE);
    pull(*c, NTPTimestamp::now());
    c->setSdp(pcmaSdp());  // the same text: nothing pending
    EXPECT_EQ(c->getSampleRate(), SAMPLE_RATE_8000);
    for (quint16 s = 2; s <= 3; ++s)  // the decoder's filter holds the first packet back
        depay(*c, rtp(1, s, 160u * s, 8, alawLevel(1000, 160)));
    EXPECT_FALSE(c->getCurrentTimestamp().isNull());

    // A new SDP: dropped silently until applied; the sequence state stays (4 is not old).
    c->setSdp(sdp(0, "PCMU", 8000));
    EXPECT_EQ(c->getSampleRate(), SAMPLE_RATE_NONE);
    log.clear();
    depay(*c, rtp(1, 4, 640, 0, alawLevel(0, 160)));
    EXPECT_EQ(log.countAny("RtpChannel"), 0);
    pull(*c, NTPTimestamp::now());
    depay(*c, rtp(1, 4, 640, 8, alawLevel(0, 160)));
    EXPECT_EQ(log.count(QtWarningMsg, "RtpChannel::depay: Unsupported Payload type: 8"), 1);
    EXPECT_EQ(readyChannel(sdp(96, "PCMA16", 16000))->getSampleRate(), SAMPLE_RATE_16000);
}

TEST(RtpChannel, TimeBaseComesFromTheWallClockUntilASenderReport)
{
    TestClock clock;
    ChannelPtr c = readyChannel(pcmaSdp(), clock);
    depay(*c, rtp(5, 1, 1000, 8, alawLevel(2000, 400)));
    EXPECT_LT(std::abs(msAfter(clock.wallClock(), c->getCurrentTimestamp())), 100);

    // Every report replaces the time base; pulling at its time drops what came before.
    for (quint64 offsetMs : {0, 60000}) {
        const NTPTimestamp report = kBase + NTPTimestamp::fromMilliseconds(offsetMs);
        const quint16 seq = quint16(2 + offsetMs / 10000);
        rtcp(*c, senderReport(5, report, 400u * seq));
        depay(*c, rtp(5, seq, 400u * seq, 8, alawLevel(2000, 400)));
        depay(*c, rtp(5, seq + 1, 400u * (seq + 1), 8, alawLevel(2000, 400)));
        pull(*c, report + NTPTimestamp::fromMilliseconds(120));
        EXPECT_LT(std::abs(msAfter(report, c->getCurrentTimestamp())), 100) << offsetMs;
    }
}

TEST(RtpChannel, G711IsServedOneHundredTwentyMillisecondsBehindTheRange)
{
    // Ranges starting 400 to 422 ms after the report each hand out the first frame
    // ending at or after start - delay - 60 ms (the queue's tolerance), each
    // narrowing the interval [lower, upper) the delay lies in.
    double lower = -1e9, upper = 1e9;
    for (int d = 400; d <= 422; ++d) {
        ChannelPtr c = fedChannel();
        pull(*c, kBase + NTPTimestamp::fromMilliseconds(quint64(d)));
        const double front = msAfter(kBase, c->getCurrentTimestamp());
        lower = qMax(lower, d - 60 - front);
        upper = qMin(upper, d - 60 - front + 8000.0 / 375.0);
    }
    EXPECT_TRUE(lower <= 120.5 && upper > 119.5 && upper - lower < 3) << lower << " " << upper;
    // For [400, 421] ms the frame of [213, 235] ms: the level of [200, 300] ms.
    EXPECT_NEAR(pull(*fedChannel(), kBase + NTPTimestamp::fromMilliseconds(400))[512], 6000, 300);
}

TEST(RtpChannel, BadPacketsAreDroppedWithTheirWarnings)
{
    ChannelPtr c = readyChannel();
    LogCapture log;
    rtcp(*c, QByteArray("\x80\xc8\x00\x06garbage", 11));
    rtcp(*c, QByteArray("\x80\xc9\x00\x01\x00\x00\x00\x05", 8));  // a receiver report first
    depay(*c, QByteArray("\x80\x08\x00", 3));
    EXPECT_EQ(log.count(QtWarningMsg, "RtpChannel::rtcp: Discarding. Invalid RTCP header"), 1);
    EXPECT_EQ(log.count(QtWarningMsg,
                        "RtpChannel::rtcp: Discarding. RTCP packet does not start with sender report, but with 201"),
              1);
    EXPECT_EQ(log.count(QtWarningMsg, "Invalid RTP header"), 1);
}

TEST(RtpChannel, GoesStaleOnceAfterFiveSecondsOfItsClockWithoutRtp)
{
    TestClock clock;
    ChannelPtr c = readyChannel(pcmaSdp(), clock);
    QSignalSpy spy(c.get(), &RtpChannel::stale);
    depay(*c, rtp(1, 1, 0, 8, alawLevel(1000, 160)));
    clock.advanceMs(2500);
    rtcp(*c, senderReport(1, kBase, 0));  // does not count
    clock.advanceMs(2499);
    c->checkStale();
    EXPECT_EQ(spy.count(), 0);
    clock.advanceMs(1);
    c->checkStale();
    c->checkStale();
    EXPECT_EQ(spy.count(), 1);
    // The next packet re-arms it; the channel's own timer notices the silence.
    depay(*c, rtp(1, 2, 160, 8, alawLevel(1000, 160)));
    clock.advanceMs(5000);
    EXPECT_TRUE(spy.wait(5000));
    EXPECT_EQ(spy.count(), 2);
}

TEST(RtpChannel, SdpChangesWhileAnotherThreadDepaysAreSafe)
{
    ChannelPtr c = readyChannel();
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        rtcp(*c, senderReport(3, NTPTimestamp::now(), 0));
        for (quint16 seq = 1; !stop.load(); ++seq)
            depay(*c, rtp(3, seq, 160u * seq, 8, alawSine(440, 8000, 160u * seq, 160)));
    });
    const QString texts[] = {pcmaSdp(), sdp(8, "PCMU", 8000), sdp(8, "G726-32", 8000)};
    for (int i = 0; i < 300; ++i) {
        c->setSdp(texts[i % 3]);
        pull(*c, NTPTimestamp::now());
        c->getSampleRate();
    }
    stop = true;
    sender.join();
    EXPECT_EQ(c->sdp(), texts[299 % 3]);
}
