#include "MulPlaySession.h"
#include "LogCapture.h"
#include "RecordingTestSupport.h"
#include "TestClock.h"

#include <QMap>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace RecordingTestSupport;
using Type = PlaybackSessionIf::UnitRequestType;

namespace {

const Type kCur = PlaybackSessionIf::RequestCurrent, kPrev = PlaybackSessionIf::RequestPrevious,
           kNext = PlaybackSessionIf::RequestNext;

// A location's session with one-second units (by their start in seconds, ascending); it answers from the event
// loop as a real session answers from its thread, with its name as the SDP. It can refuse, or hold its answers.
class ScriptedSession : public PlaybackSessionIf
{
public:
    QList<int> units;
    QString info = "0-0";
    bool refuses = false, holds = false;
    int requests = 0;
    QList<std::function<void()>> held;

    void later(std::function<void()> f) { QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection); }
    void requestStreamInfo() override
    {
        later([this] { emit onStreamInfo(info); });
    }
    bool requestUnit(const quint64& tid, const NTPTimestamp& ts, Type type) override
    {
        ++requests;
        if (refuses)
            return false;
        int found = -1;
        for (int u : units)
            if (type == kCur ? at(u) <= ts && ts < at(u + 1) : type == kNext ? ts < at(u) && found < 0 : at(u) < ts)
                found = u;
        const NTPTimestamp b = found < 0 ? ts : at(found), e = found < 0 ? ts : at(found + 1);
        const auto answer = [this, tid, b, e] { emit onUnit(tid, objectName(), b, e, SharedPoolBuffer()); };
        holds ? held.append(answer) : later(answer);
        return true;
    }
};

// A session over scripted locations ("a", "b": units[0], units[1]) on a test clock, recording what it reports.
// The locations report ready at once, but for `opening`.
struct Harness {
    Harness(const QString& locations, QList<QList<int>> units, const QString& opening = {})
    {
        const auto maker = [this, units, opening](const QString& name, const QString&, const QString&, const QString&) {
            auto s = std::make_unique<ScriptedSession>();
            s->setObjectName(name);
            s->units = units.value(name.at(0).unicode() - 'a');
            ScriptedSession* raw = s.get();
            loc[name] = raw;
            // Reports at once, as a session on a thread of its own may.
            return MulPlaySession::MadeSession{std::move(s), [raw, opening] {
                                                   if (raw->objectName() != opening)
                                                       emit raw->playbackSessionState(true);
                                               }};
        };
        session = std::make_unique<MulPlaySession>(clock, maker);
        session->setAnswerTimeoutMs(1000);
        QObject::connect(session.get(), &PlaybackSessionIf::playbackSessionState, [this](bool s) { states << s; });
        QObject::connect(session.get(), &PlaybackSessionIf::onUnit,
                         [this](quint64 tid, const QString& sdp, const NTPTimestamp& b, const NTPTimestamp& e) {
                             answers[tid] << (b < e ? QString("%1 %2").arg(sdp).arg((b - kT0).toMilliseconds() / 1000)
                                                    : QString("none"));
                         });
        session->init(locations, "token", "stream", "d");
        EXPECT_TRUE(QTest::qWaitFor([&] { return !states.isEmpty(); }, 5000));
    }
    ~Harness()
    {
        for (const QStringList& a : answers)  // exactly one answer per request
            EXPECT_EQ(a.size(), 1) << a.join('|').toStdString();
    }
    QString wait(quint64 tid)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return answers.contains(tid); }, 5000));
        return answers.value(tid).join('|');
    }
    QString ask(Type type, double seconds)
    {
        return session->requestUnit(++lastTid, at(seconds), type) ? wait(lastTid) : "refused";
    }
    // The location reports its state; returns once the session has seen it.
    void report(ScriptedSession& s, bool ready)
    {
        bool seen = false;
        auto c = QObject::connect(
            &s, &PlaybackSessionIf::playbackSessionState, &s, [&] { seen = true; }, Qt::QueuedConnection);
        emit s.playbackSessionState(ready);  // queued to the session before the connection made here
        EXPECT_TRUE(QTest::qWaitFor([&] { return seen; }, 5000) && QObject::disconnect(c));
    }

    TestClock clock;
    QMap<QString, ScriptedSession*> loc;
    QList<bool> states;
    QMap<quint64, QStringList> answers;
    quint64 lastTid = 0;
    std::unique_ptr<MulPlaySession> session;
};

}  // namespace

// a lacks seconds 2 and 3, b lacks second 1: together they have 0 to 4 without a gap.
TEST(MulPlaySession, EachUnitComesFromALocationThatHasIt)
{
    Harness h("a; b", {{0, 1, 4}, {0, 2, 3, 4}}, "b");
    EXPECT_EQ(h.states, QList<bool>{true});
    // The stream information waits for a location still opening, and is the union of the spans.
    h.loc["a"]->info = "1000-5000";
    h.loc["b"]->info = "500-4000";
    QSignalSpy infos(h.session.get(), &PlaybackSessionIf::onStreamInfo);
    h.session->requestStreamInfo();
    h.report(*h.loc["b"], true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !infos.isEmpty(); }, 5000));
    EXPECT_EQ(infos, QList<QVariantList>{{"500-5000"}});
    const std::tuple<Type, double, const char*> cases[] = {
        {kCur, 1.5, "a 1"},  {kCur, 2.5, "b 2"},  {kNext, 1.0, "b 2"},  {kNext, 0.0, "a 1"}, {kPrev, 4.0, "b 3"},
        {kPrev, 2.0, "a 1"}, {kPrev, 1.0, "a 0"}, {kNext, 4.0, "none"}, {kCur, 9.0, "none"}, {kPrev, 0.0, "none"}};
    for (const auto& [type, seconds, expected] : cases)
        EXPECT_EQ(h.ask(type, seconds), expected) << type << " " << seconds;
}

// A location that does not answer in time, refuses, or fails is left out for 10 s, then asked again.
TEST(MulPlaySession, LeavesAFailedLocationOutForTenSeconds)
{
    enum Failure { SILENT, REFUSES, FAILS };
    const char* const why[] = {"did not answer within 1000 ms", "refused a request", "failed"};
    for (Failure failure : {SILENT, REFUSES, FAILS}) {
        SCOPED_TRACE(failure);
        LogCapture log;
        Harness h("a;b", {{0, 1}, {0, 1}});
        ScriptedSession& a = *h.loc["a"];
        a.holds = failure == SILENT;
        a.refuses = failure == REFUSES;
        if (failure == FAILS)
            h.report(a, false);
        ASSERT_TRUE(h.session->requestUnit(++h.lastTid, at(0.5), kCur));
        h.clock.advanceMs(failure == SILENT ? 1000 : 0);
        EXPECT_EQ(h.wait(h.lastTid), "b 0");
        EXPECT_EQ(
            log.count(QtWarningMsg, QString("d: MulPlaySession: a %1; leaving it out for 10 s").arg(why[failure])), 1)
            << log.dump().toStdString();
        const int asked = a.requests;
        a.refuses = a.holds = false;
        for (const auto& answer : a.held)  // too late: dropped
            a.later(answer);
        h.clock.advanceMs(9000);
        EXPECT_EQ(h.ask(kNext, 0.5), "b 1");
        EXPECT_EQ(a.requests, asked);
        h.clock.advanceMs(1000);
        if (failure == FAILS)
            h.report(a, true);
        EXPECT_EQ(h.ask(kNext, 0.5), "a 1");  // both have it: the first location's
        EXPECT_EQ(a.requests, asked + 1);
    }
}

// Ready while any location is; HOST:PORT names a unit server, anything else a store.
TEST(MulPlaySession, ReadyWhileAnyLocationIs)
{
    {
        Harness h("a;b", {});
        h.report(*h.loc["a"], false);
        EXPECT_EQ(h.states, QList<bool>{true});
        h.report(*h.loc["b"], false);
        EXPECT_EQ(h.states, QList<bool>({true, false}));
        EXPECT_EQ(h.ask(kCur, 0), "refused");
    }
    // The default sessions: a server nobody listens at fails like a missing store.
    MulPlaySession session;
    QSignalSpy states(&session, &PlaybackSessionIf::playbackSessionState);
    EXPECT_TRUE(session.init("[::1]:4000;/nonexistent/x.db", "", "s", "d"));
    ASSERT_TRUE(states.wait(5000));
    EXPECT_EQ(states, QList<QVariantList>{{false}});
    EXPECT_FALSE(MulPlaySession().init(" ; ", "", "s", "d"));
    for (const char* store : {"store.db", "/srv/rec:4000/s.db", "postgresql://db:5432/rec", "C:4000", "h:0", "h:65536"})
        EXPECT_FALSE(MulPlaySession::isServerLocation(store)) << store;
    for (const char* server : {"recorder.local:4000", "10.0.0.2:1", "[fe80::1]:65535"})
        EXPECT_TRUE(MulPlaySession::isServerLocation(server)) << server;
}
