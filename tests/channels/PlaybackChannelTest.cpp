#include "PlaybackChannel.h"
#include "AudioFrameDefs.h"
#include "G711.h"
#include "LogCapture.h"
#include "RtpTestPackets.h"
#include "SignalAnalysis.h"
#include "StreamUnitDecrypter.h"
#include "ThreadEnd.h"

#include <QDateTime>
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <tuple>

using namespace SignalAnalysis;
using Type = PlaybackSessionIf::UnitRequestType;

namespace {
const NTPTimestamp kFrame = AudioFrameDefs::frameDuration();
const NTPTimestamp P = NTPTimestamp::fromDateTime(QDateTime(QDate(2031, 5, 1), QTime(12, 0), Qt::UTC));
const Type kCurrent = PlaybackSessionIf::RequestCurrent, kPrevious = PlaybackSessionIf::RequestPrevious,
           kNext = PlaybackSessionIf::RequestNext;
const QString kPcma = RtpTestPackets::pcmaSdp();

const auto ms = [](quint64 v) { return NTPTimestamp::fromMilliseconds(v); };

// One second of a sine at 8 kHz, A-law coded, or (`ulaw`) µ-law coded.
QByteArray sine(double hz, bool ulaw = false)
{
    if (!ulaw)
        return RtpTestPackets::alawSine(hz, 8000, 0, 8000);
    QByteArray out(8000, 0);
    for (int i = 0; i < out.size(); ++i)
        out[i] = char(_G711_Linear2ULaw(short(8000 * std::sin(2 * M_PI * hz * i / 8000.0))));
    return out;
}

// A recording session whose answers the test gives: it records the requests
// a channel makes (from any thread) and refuses them while `accept` is false.
class ScriptedSession : public PlaybackSessionIf
{
public:
    using Request = std::tuple<quint64, NTPTimestamp, UnitRequestType>;  // id, time, type
    void requestStreamInfo() override { ++infoRequests; }
    bool requestUnit(const quint64& tid, const NTPTimestamp& ts, UnitRequestType type) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requests.push_back({tid, ts, type});
        m_changed.notify_all();
        return accept;
    }
    // The requests so far, once there are at least `count` (or after 10 s).
    std::vector<Request> requests(size_t count = 0)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_requests.size() >= count; });
        return m_requests;
    }
    std::atomic<int> infoRequests{0};
    std::atomic<bool> accept{true};

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Request> m_requests;
};

struct ProbedChannel : PlaybackChannel {  // reaches the queue
    using PlaybackChannel::frameQueue;
};

// A channel opened on a scripted session as "stream"/"detail", the reports
// it sends recorded, played by time from `cursor` on (backwards in reverse).
struct Rig {
    explicit Rig(const std::vector<QByteArray>& keys = {})
    {
        auto s = std::make_unique<ScriptedSession>();
        session = s.get();
        const auto report = [this](const QString& r) {
            std::lock_guard<std::mutex> l(lock);
            reports << r;
        };
        QObject::connect(channel, qOverload<const QString&, const QString&>(&PlaybackChannel::streamInfo),
                         [=](const QString& info, const QString& name) { report(info + "@" + name); });
        QObject::connect(channel, &PlaybackChannel::outOfData, [=] { report("outOfData"); });
        opened = channel->openSession(
            std::move(s), [] { return true; }, "stream", "detail", 1.0, keys);
    }
    ~Rig() { channel->deleteThis(); }

    // Returns once the channel's thread has handled everything sent to it.
    void sync()
    {
        invokeAndWait(channel, [] {});
    }
    void ready(bool state = true)
    {
        emit session->playbackSessionState(state);
        if (state)
            emit session->onStreamInfo("100-200");
        sync();
    }
    void answer(size_t request, const NTPTimestamp& begin, const NTPTimestamp& end, const QByteArray& payload,
                const QString& text = kPcma)
    {
        const quint64 id = std::get<0>(this->request(request));
        emit session->onUnit(id, text, begin, end, SharedPoolBuffer::fromByteArray(payload));
        sync();
    }
    void fetch(const NTPTimestamp& ts)
    {
        invokeAndWait(channel, [this, ts] { channel->onFetchNewAsync(ts); });
    }
    // Request `number` (from 1), once it has been made.
    ScriptedSession::Request request(size_t number) { return session->requests(number).at(number - 1); }
    void expectRequest(size_t number, quint64 id, const NTPTimestamp& ts, Type type)
    {
        const auto [rid, rts, rtype] = request(number);
        EXPECT_EQ(std::make_tuple(rid, rts.getRaw(), int(rtype)), std::make_tuple(id, ts.getRaw(), int(type)));
    }
    size_t requestCount() { return session->requests().size(); }
    std::vector<double> play(int frames)
    {
        std::vector<double> out;
        std::vector<qint16> frame(AudioFrameDefs::SAMPLES_IN_FRAME);
        for (int k = 0; k < frames; ++k) {
            const NTPRange r = reverse ? NTPRange(cursor - kFrame, cursor) : NTPRange(cursor, cursor + kFrame);
            cursor = reverse ? r.start() : r.end();
            channel->getData(r, reinterpret_cast<unsigned char*>(frame.data()));
            out.insert(out.end(), frame.begin(), frame.end());
        }
        return out;
    }

    ProbedChannel* channel = new ProbedChannel;
    ScriptedSession* session;
    bool opened = false, reverse = false;
    NTPTimestamp cursor = P;
    std::mutex lock;
    QStringList reports;
};

void expectTone(const std::vector<double>& samples, double hz)
{
    EXPECT_NEAR(dominantFrequency(samples, 48000, 300, 1500), hz, 5);
    EXPECT_NEAR(toneAmplitude(samples, hz, 48000), 8000, 800);
}
}  // namespace

TEST(PlaybackChannel, FollowsTheSessionStateAndParksThePositionUntilReady)
{
    LogCapture log;
    Rig rig;
    // The session's init ran, and said so.
    EXPECT_EQ(std::make_tuple(rig.opened, rig.channel->getMuteState(), rig.channel->getSampleRate()),
              std::make_tuple(true, channel_t(0), SAMPLE_RATE_NONE));
    unsigned char bytes[8] = {0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB};
    rig.channel->getData(bytes, sizeof bytes);  // not supported: fills nothing
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(bytes), 8), QByteArray(8, char(0xAB)));
    EXPECT_TRUE(log.contains(QtWarningMsg, "\"false\""));

    rig.channel->requestPosition(P);
    EXPECT_EQ(rig.requestCount(), 0u);
    rig.ready();
    EXPECT_EQ(std::make_tuple(rig.session->infoRequests.load(), rig.channel->streamInfo(),
                              log.contains(QtDebugMsg, "stream/detail: StreamInfo: 100-200")),
              std::make_tuple(1, QString("100-200"), true));
    rig.expectRequest(1, 1, P, kCurrent);

    rig.ready(false);  // drops the unanswered request: the next fetch asks afresh, and is refused
    EXPECT_TRUE(log.contains(QtWarningMsg, "stream/detail: Session interaction failed"));
    rig.session->accept = false;
    rig.fetch(P);
    rig.fetch(P);
    EXPECT_EQ(rig.requestCount(), 3u);
    EXPECT_EQ(log.count(QtWarningMsg, "stream/detail: Failed to request unit"), 2);

    rig.channel->shutdown();  // leaving the group: nothing is reported any more
    rig.ready(false);
    EXPECT_EQ(rig.reports, QStringList({"100-200@stream", "0-0@stream"}));
}

TEST(PlaybackChannel, FetchesByTheQueuedAmountAndThePlaybackRange)
{
    // Bytes pushed for [P, P + 1 s], direction, fetch time; the request made, if any.
    const std::tuple<int, bool, NTPTimestamp, int, Type> cases[] = {
        {48000, false, P, 0, {}},           {47998, false, P, 1, kNext},      {47998, true, P, 1, kPrevious},
        {0, false, P + ms(5), 1, kCurrent}, {0, false, P + ms(20000), 0, {}},  // past the range: out of data
    };
    std::vector<unsigned char> audio(48000);
    for (const auto& [queued, reverse, at, requests, type] : cases) {
        SCOPED_TRACE(queued);
        LogCapture log;
        Rig rig;  // the session is never ready: a fetch asks it all the same
        rig.channel->setPlaybackRange(NTPRange(P, P + ms(10000)));
        rig.channel->setReverse(reverse);
        if (reverse)
            rig.channel->frameQueue().pushFront(audio.data(), queued, NTPRange(P, P + ms(1000)));
        else
            rig.channel->frameQueue().pushBack(audio.data(), queued, NTPRange(P, P + ms(1000)));
        rig.fetch(at);
        ASSERT_EQ(rig.requestCount(), size_t(requests));
        if (requests)
            rig.expectRequest(1, 1, at, type);
        EXPECT_EQ(std::make_tuple(rig.reports.contains("outOfData"),
                                  log.contains(QtDebugMsg, "Queue going down, requesting new data 2")),
                  std::make_tuple(at == P + ms(20000), queued == 0 && requests));
    }
}

TEST(PlaybackChannel, ASeekSupersedesOlderRequestsAndReplacesQueuedAudio)
{
    LogCapture log;
    Rig rig;
    rig.ready();
    rig.channel->requestPosition(P);
    rig.answer(1, P, P + ms(1000), sine(1000));
    EXPECT_EQ(rig.channel->getCurrentTimestamp(), P);

    rig.channel->requestPosition(P + ms(10000));
    rig.channel->requestPosition(P + ms(20000));  // waits behind the first
    EXPECT_TRUE(log.contains(QtDebugMsg, "m_setPendingReq is not empty; size = 1"));
    EXPECT_EQ(rig.requestCount(), 2u);
    rig.answer(2, P + ms(10000), P + ms(11000), sine(1000));
    EXPECT_TRUE(rig.channel->frameQueue().isEmpty());  // cleared, and this answer's audio not used
    rig.expectRequest(3, 3, P + ms(20000), kCurrent);
    EXPECT_TRUE(log.contains(QtDebugMsg, "just keeping last requested current-request; tid = 3"));

    rig.answer(3, P + ms(20000), P + ms(21000), sine(1000));
    EXPECT_EQ(rig.channel->getCurrentTimestamp(), P + ms(20000));
}

TEST(PlaybackChannel, AMissingUnitIsRetriedOnceThenTheDataEnds)
{
    for (const bool reverse : {false, true}) {
        SCOPED_TRACE(reverse);
        LogCapture log;
        Rig rig;
        rig.channel->setReverse(reverse);
        rig.channel->setActive(true);
        rig.ready();
        rig.channel->requestPosition(P);
        rig.answer(1, P + ms(1000), P + ms(1000), {});
        EXPECT_TRUE(log.contains(QtDebugMsg, "stream/detail: Unit did not exist, try to request next resp."));
        rig.expectRequest(2, PlaybackChannel::RETRY_ID_BIT | 2, P + ms(1000), reverse ? kPrevious : kNext);
        rig.answer(2, P, P + ms(60000), sine(1000));  // 60 s: no unit either
        EXPECT_TRUE(log.contains(QtDebugMsg, "stream/detail: Next unit did not exist, so we have to belive"));
        EXPECT_EQ(std::make_tuple(rig.reports.last(), rig.channel->isActive(), rig.requestCount()),
                  std::make_tuple(QString("outOfData"), false, size_t(2)));
    }
}

TEST(PlaybackChannel, ReversePlaybackPushesEarlierUnitsToTheFront)
{
    Rig rig;
    rig.reverse = true;
    rig.cursor = P + ms(2000);
    rig.channel->setReverse(true);
    rig.ready();
    rig.channel->requestPosition(rig.cursor);
    rig.answer(1, P + ms(1000), P + ms(2000), sine(1000));
    expectTone(rig.play(24), 1000);  // now less than half a second is left
    rig.expectRequest(2, 2, P + ms(1000), kPrevious);
    rig.answer(2, P, P + ms(1000), sine(600));
    rig.play(30);  // the rest of the later unit
    expectTone(rig.play(20), 600);
}

TEST(PlaybackChannel, DecryptsLayerByLayerDecodesBySdpAndMarksUndecryptableUnits)
{
    LogCapture log;
    QByteArray secret, pub, otherSecret, otherPub;
    StreamUnitDecrypter::generateKeyPair(secret, pub);
    StreamUnitDecrypter::generateKeyPair(otherSecret, otherPub);
    Rig rig({secret});
    rig.ready();
    const auto seek = [&](size_t request, quint64 atMs, const QByteArray& payload, const QString& text) {
        rig.channel->requestPosition(P + ms(atMs));
        rig.answer(request, P + ms(atMs), P + ms(atMs + 1000), payload, text);
        rig.cursor = P + ms(atMs);
    };
    seek(1, 0, StreamUnitDecrypter::encrypt(StreamUnitDecrypter::encrypt(sine(1000), pub), pub), kPcma);
    expectTone(rig.play(20), 1000);
    seek(2, 10000, sine(700, true), RtpTestPackets::sdp(0, "PCMU", 8000));
    expectTone(rig.play(20), 700);
    EXPECT_EQ(log.count(QtDebugMsg, "new decoder: PCMU"), 1);

    // Sent as PCMU, played as the A-law marker: a 440 Hz ping, then silence.
    seek(3, 20000, StreamUnitDecrypter::encrypt(sine(1000), otherPub), RtpTestPackets::sdp(0, "PCMU", 8000));
    const std::vector<double> ping = rig.play(47);
    EXPECT_NEAR(dominantFrequency(slice(ping, 0, 4096), 48000, 300, 1500), 440, 10);
    EXPECT_GT(peak(slice(ping, 0, 1024)), 5000);
    EXPECT_LT(peak(slice(ping, 7000, 40000)), 50);
}
