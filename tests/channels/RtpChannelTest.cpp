#include "RtpChannel.h"
#include "AudioFrameDefs.h"
#include "LogCapture.h"
#include "RtpTestPackets.h"
#include "TestClock.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

using namespace RtpTestPackets;

namespace {

const NTPTimestamp kBase = NTPTimestamp::fromDateTime(QDateTime(QDate(2031, 5, 1), QTime(12, 0), Qt::UTC));

// A channel fed raw bytes on the receiving thread's side and pulled by frames on the mixer's;
// by default the mixer side has applied its SDP already.
struct FedChannel : RtpChannel {
    explicit FedChannel(const QString& text = pcmaSdp(), Clock& clock = Clock::system(), bool ready = true)
        : RtpChannel(text, 1.0, clock)
    {
        if (ready)
            pull(clock.wallClock());
    }
    void depay(QByteArray b) { RtpChannel::depay(RTPPacket(reinterpret_cast<uchar*>(b.data()), b.size())); }
    void rtcp(QByteArray b) { RtpChannel::rtcp(RTCPPacket(reinterpret_cast<uchar*>(b.data()), b.size())); }
    std::vector<qint16> pull(const NTPTimestamp& start)
    {
        std::vector<qint16> out(AudioFrameDefs::SAMPLES_IN_FRAME);
        getData(NTPRange(start, start + AudioFrameDefs::frameDuration()), reinterpret_cast<uchar*>(out.data()));
        return out;
    }
};

double msAfter(const NTPTimestamp& base, const NTPTimestamp& t)
{
    return (double(t.toMicroSeconds()) - double(base.toMicroSeconds())) / 1000.0;
}

}  // namespace

TEST(RtpChannel, SequenceNumbersRejectDuplicatesAndReportLossesBadPacketsAreDropped)
{
    // Sequence numbers; packets let through, rejected as duplicates; loss reports; packets counted lost.
    // Payload type 0 reaches its check only past the sequence check: that warning counts the packets let through.
    const std::tuple<std::vector<quint16>, int, int, int, quint64> cases[] = {
        {{10, 10, 11}, 2, 1, 0, 0},      // 10 stays the last sequence
        {{10, 9, 11}, 2, 1, 0, 0},       // distance 65535: old
        {{10, 13, 14}, 3, 0, 1, 2},      // a gap: used, 13 recorded
        {{65535, 0, 1}, 3, 0, 0, 0},     // wrap-around
        {{100, 1, 3, 101}, 2, 2, 0, 0},  // 65437 and 65439: old
        {{100, 0, 1}, 3, 0, 1, 65435},   // 65436: the largest gap
    };
    for (const auto& [seqs, through, duplicates, losses, missing] : cases) {
        FedChannel c;
        LogCapture log;
        for (quint16 s : seqs)
            c.depay(rtp(1, s, 160u * s, 0, alawLevel(0, 160)));
        quint64 packets = 0, lost = 0, rejected = 0;
        int peak = -1;
        c.statistics(&packets, &lost, &rejected, &peak);
        EXPECT_EQ(std::make_tuple(packets, rejected, lost),
                  std::make_tuple(quint64(through), quint64(duplicates), missing));
        EXPECT_EQ(log.count(QtWarningMsg, "RtpChannel::depay: Unsupported Payload type: 0"), through) << seqs[1];
        EXPECT_EQ(log.count(QtWarningMsg, "RtpChannel::depay(): rejecting detected duplicate rtp packet"), duplicates);
        EXPECT_EQ(log.count(QtDebugMsg, "RtpChannel::depay(): rtp packet(s) lost"), losses) << seqs[1];
    }

    FedChannel c;
    LogCapture log;
    c.rtcp(QByteArray("\x80\xc8\x00\x06garbage", 11));
    c.rtcp(QByteArray("\x80\xc9\x00\x01\x00\x00\x00\x05", 8));  // a receiver report first
    c.depay(QByteArray("\x80\x08\x00", 3));
    EXPECT_EQ(log.count(QtWarningMsg, "RtpChannel::rtcp: Discarding. Invalid RTCP header"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "Discarding. RTCP packet does not start with sender report, but with 201"), 1);
    EXPECT_EQ(log.count(QtWarningMsg, "Invalid RTP header"), 1);
}

TEST(RtpChannel, TheMixerSideAppliesTheSdpAndPacketsWaitForIt)
{
    FedChannel c(pcmaSdp(), Clock::system(), false);
    LogCapture log;
    c.depay(rtp(1, 1, 0, 8, alawLevel(1000, 160)));
    EXPECT_EQ(log.countAny("RtpChannel"), 0);
    EXPECT_EQ(c.getSampleRate(), SAMPLE_RATE_NONE);
    c.pull(NTPTimestamp::now());
    c.setSdp(pcmaSdp());  // the same text: nothing pending
    EXPECT_EQ(c.getSampleRate(), SAMPLE_RATE_8000);
    for (quint16 s = 2; s <= 3; ++s)  // the decoder's filter holds the first packet back
        c.depay(rtp(1, s, 160u * s, 8, alawLevel(1000, 160)));
    EXPECT_FALSE(c.getCurrentTimestamp().isNull());

    // A new SDP: dropped silently until applied; the sequence state stays (4 is not old).
    c.setSdp(sdp(0, "PCMU", 8000));
    EXPECT_EQ(c.getSampleRate(), SAMPLE_RATE_NONE);
    log.clear();
    c.depay(rtp(1, 4, 640, 0, alawLevel(0, 160)));
    EXPECT_EQ(log.countAny("RtpChannel"), 0);
    c.pull(NTPTimestamp::now());
    c.depay(rtp(1, 4, 640, 8, alawLevel(0, 160)));
    EXPECT_EQ(log.count(QtWarningMsg, "RtpChannel::depay: Unsupported Payload type: 8"), 1);
    EXPECT_EQ(FedChannel(sdp(96, "PCMA16", 16000)).getSampleRate(), SAMPLE_RATE_16000);
}

// The time base comes from the wall clock until a sender report; the channel goes stale once
// after five seconds of its clock without RTP (its own timer's check: the receiver's tests).
TEST(RtpChannel, TimeBaseAndStalenessFollowTheChannelsClock)
{
    TestClock clock;
    FedChannel c(pcmaSdp(), clock);
    QSignalSpy stale(&c, &RtpChannel::stale);
    c.depay(rtp(5, 1, 1000, 8, alawLevel(2000, 400)));
    EXPECT_LT(std::abs(msAfter(clock.wallClock(), c.getCurrentTimestamp())), 100);
    // Every report replaces the time base; pulling at its time drops what came before.
    for (quint16 seq : {2, 8}) {
        const NTPTimestamp report = kBase + NTPTimestamp::fromMilliseconds(10000u * (seq - 2));
        c.rtcp(senderReport(5, report, 400u * seq));
        c.depay(rtp(5, seq, 400u * seq, 8, alawLevel(2000, 400)));
        c.depay(rtp(5, seq + 1, 400u * (seq + 1), 8, alawLevel(2000, 400)));
        c.pull(report + NTPTimestamp::fromMilliseconds(120));
        EXPECT_LT(std::abs(msAfter(report, c.getCurrentTimestamp())), 100) << seq;
    }

    clock.advanceMs(2500);
    c.rtcp(senderReport(5, kBase, 0));  // does not count
    for (int ms : {2499, 1, 0}) {
        clock.advanceMs(ms);
        c.checkStale();
        EXPECT_EQ(stale.count(), ms < 2499 ? 1 : 0) << ms;
    }
}

TEST(RtpChannel, G711IsServedOneHundredTwentyMillisecondsBehindTheRange)
{
    // 600 ms from a report on, in 20 ms packets whose level steps up every 100 ms. Ranges
    // starting 400 to 422 ms after the report each hand out the first frame ending at or after
    // start - delay - 60 ms (the queue's tolerance), narrowing the interval [lower, upper) of the delay.
    double lower = -1e9, upper = 1e9;
    for (int d = 400; d <= 422; ++d) {
        FedChannel c;
        c.rtcp(senderReport(9, kBase, 0));
        for (int i = 0; i < 30; ++i)
            c.depay(rtp(9, quint16(i), quint32(160 * i), 8, alawLevel(2000 * (1 + i / 5), 160)));
        const std::vector<qint16> frame = c.pull(kBase + NTPTimestamp::fromMilliseconds(quint64(d)));
        const double front = msAfter(kBase, c.getCurrentTimestamp());
        lower = qMax(lower, d - 60 - front);
        upper = qMin(upper, d - 60 - front + 8000.0 / 375.0);
        if (d == 400) {  // the frame of [213, 235] ms: the level of [200, 300] ms
            EXPECT_NEAR(frame[512], 6000, 300);
        }
    }
    EXPECT_TRUE(lower <= 120.5 && upper > 119.5 && upper - lower < 3) << lower << " " << upper;
}

TEST(RtpChannel, AfterAStallTheBacklogTooLateToHearIsNotDecoded)
{
    FedChannel c;
    c.rtcp(senderReport(7, kBase, 0));
    c.pull(kBase + NTPTimestamp::fromMilliseconds(1000));  // G.711 taken from 880 ms, kept from 820 ms
    for (int i = 0; i < 50; ++i)
        c.depay(rtp(7, quint16(i), quint32(160 * i), 8, alawLevel(2000, 160)));
    // Packets ending over a frame before 820 ms never reach the queue (the resampler may hold one back).
    const double front = msAfter(kBase, c.getCurrentTimestamp());
    EXPECT_TRUE(front >= 779 && front <= 801) << front;
}

TEST(RtpChannel, SdpChangesWhileAnotherThreadDepaysAreSafe)
{
    FedChannel c;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        c.rtcp(senderReport(3, NTPTimestamp::now(), 0));
        for (quint16 seq = 1; !stop.load(); ++seq)
            c.depay(rtp(3, seq, 160u * seq, 8, alawSine(440, 8000, 160u * seq, 160)));
    });
    const QString texts[] = {pcmaSdp(), sdp(8, "PCMU", 8000), sdp(8, "G726-32", 8000)};
    for (int i = 0; i < 300; ++i) {
        c.setSdp(texts[i % 3]);
        c.pull(NTPTimestamp::now());
        c.getSampleRate();
    }
    stop = true;
    sender.join();
    EXPECT_EQ(c.sdp(), texts[299 % 3]);
}
