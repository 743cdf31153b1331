#include "MulPlaySession.h"
#include "LogCapture.h"
#include "RecordingTestSupport.h"
#include "TestClock.h"

#include <QMap>
#include <QTest>
#include <gtest/gtest.h>

using namespace RecordingTestSupport;
using Type = PlaybackSessionIf::UnitRequestType;

namespace {

// A location's session that answers from a list of one-second units (by their start in seconds), answering
// from the event loop as a real session answers from its thread. It can be told to refuse, or to hold its
// answers back until released.
class ScriptedSession : public PlaybackSessionIf
{
public:
    QList<int> units;
    QString info = "0-0";
    bool refuses = false, holds = false;
    int requests = 0;
    QList<std::function<void()>> held;

    void report(bool ready)
    {
        QMetaObject::invokeMethod(
            this, [this, ready] { emit playbackSessionState(ready); }, Qt::QueuedConnection);
    }
    void release()
    {
        for (const auto& answer : held)
            QMetaObject::invokeMethod(this, answer, Qt::QueuedConnection);
        held.clear();
    }
    void requestStreamInfo() override
    {
        QMetaObject::invokeMethod(
            this, [this, i = info] { emit onStreamInfo(i); }, Qt::QueuedConnection);
    }
    bool requestUnit(const quint64& tid, const NTPTimestamp& ts, Type type) override
    {
        ++requests;
        if (refuses)
            return false;
        int found = -1;
        for (int u : units) {
            const bool hit = type == RequestCurrent ? at(u) <= ts && ts < at(u + 1)
                             : type == RequestNext  ? ts < at(u) && (found < 0 || u < found)
                                                    : at(u) < ts && u > found;
            if (hit)
                found = u;
        }
        const QString sdp = objectName();
        const auto answer = [=] {
            emit onUnit(tid, sdp, found < 0 ? ts : at(found), found < 0 ? ts : at(found + 1), SharedPoolBuffer());
        };
        if (holds)
            held.append(answer);
        else
            QMetaObject::invokeMethod(this, answer, Qt::QueuedConnection);
        return true;
    }
};

// A session over the scripted locations named in `locations`, recording what it reports.
struct Harness {
    explicit Harness(const QString& locations, QList<QList<int>> units)
    {
        const auto maker = [this, units](const QString& name, const QString&, const QString&, const QString&) {
            auto s = std::make_unique<ScriptedSession>();
            s->setObjectName(name);
            s->units = units.value(name.at(0).unicode() - 'a');
            ScriptedSession* raw = s.get();
            loc[name] = raw;
            // Reports at once, as a session on a thread of its own may.
            return MulPlaySession::MadeSession{std::move(s), [raw] { emit raw->playbackSessionState(true); }};
        };
        session = std::make_unique<MulPlaySession>(clock, maker);
        session->setAnswerTimeoutMs(1000);
        QObject::connect(session.get(), &PlaybackSessionIf::playbackSessionState, [this](bool s) { states.append(s); });
        QObject::connect(session.get(), &PlaybackSessionIf::onStreamInfo, [this](const QString& i) { infos << i; });
        QObject::connect(session.get(), &PlaybackSessionIf::onUnit,
                         [this](quint64 tid, const QString& sdp, const NTPTimestamp& b, const NTPTimestamp& e) {
                             answers[tid] << (b < e ? QString("%1 %2").arg(sdp).arg((b - kT0).toMilliseconds() / 1000)
                                                    : QString("none"));
                         });
        session->init(locations, "token", "stream", "d");
        EXPECT_TRUE(QTest::qWaitFor([&] { return !states.isEmpty(); }, 5000));
    }
    // Asks for a unit and waits for its one answer.
    QString ask(Type type, double seconds)
    {
        const quint64 tid = ++lastTid;
        if (!session->requestUnit(tid, RecordingTestSupport::at(seconds), type))
            return "refused";
        EXPECT_TRUE(QTest::qWaitFor([&] { return answers.contains(tid); }, 5000));
        return answers.value(tid).join('|');
    }

    TestClock clock;
    QMap<QString, ScriptedSession*> loc;
    QList<bool> states;
    QStringList infos;
    QMap<quint64, QStringList> answers;
    quint64 lastTid = 0;
    std::unique_ptr<MulPlaySession> session;
};

const Type kCur = PlaybackSessionIf::RequestCurrent, kPrev = PlaybackSessionIf::RequestPrevious,
           kNext = PlaybackSessionIf::RequestNext;

}  // namespace

// a lacks seconds 2 and 3, b lacks second 1: together they have 0 to 4 without a gap.
TEST(MulPlaySession, EachUnitComesFromALocationThatHasIt)
{
    Harness h("a; b", {{0, 1, 4}, {0, 2, 3, 4}});
    EXPECT_EQ(h.states, QList<bool>{true});
    h.loc["a"]->info = "1000-5000";
    h.loc["b"]->info = "0-0";
    h.session->requestStreamInfo();
    h.loc["b"]->info = "500-7000";
    h.session->requestStreamInfo();
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.infos.size() == 2; }, 5000));
    EXPECT_EQ(h.infos, QStringList({"1000-5000", "500-7000"}));  // the union of the spans
    const std::tuple<Type, double, const char*> cases[] = {
        {kCur, 1.5, "a 1"},  {kCur, 2.5, "b 2"},  {kNext, 1.0, "b 2"},  {kNext, 0.0, "a 1"}, {kPrev, 4.0, "b 3"},
        {kPrev, 2.0, "a 1"}, {kPrev, 1.0, "a 0"}, {kNext, 4.0, "none"}, {kCur, 9.0, "none"}, {kPrev, 0.0, "none"}};
    for (const auto& [type, seconds, expected] : cases)
        EXPECT_EQ(h.ask(type, seconds), expected) << type << " " << seconds;
    for (const QStringList& answers : h.answers)
        EXPECT_EQ(answers.size(), 1);
}

// A location that does not answer in time, refuses, or fails is left out for 10 s, then asked again.
TEST(MulPlaySession, LeavesAFailedLocationOutForTenSeconds)
{
    enum Failure { SILENT, REFUSES, FAILS };
    for (Failure failure : {SILENT, REFUSES, FAILS}) {
        SCOPED_TRACE(failure);
        LogCapture log;
        Harness h("a;b", {{0, 1}, {0, 1}});
        ScriptedSession& a = *h.loc["a"];
        a.holds = failure == SILENT;
        a.refuses = failure == REFUSES;
        if (failure == FAILS) {
            a.report(false);
            ASSERT_TRUE(QTest::qWaitFor([&] { return log.contains(QtWarningMsg, "a failed"); }, 5000));
        }
        const quint64 tid = h.lastTid + 1;
        if (failure == SILENT) {
            ASSERT_TRUE(h.session->requestUnit(tid, at(0.5), kCur));
            h.clock.advanceMs(999);
            QTest::qWait(250);  // the timeout check (every 200 ms) must not give up yet
            EXPECT_FALSE(h.answers.contains(tid));
            h.clock.advanceMs(1);
            ASSERT_TRUE(QTest::qWaitFor([&] { return h.answers.contains(tid); }, 5000));
            EXPECT_EQ(h.answers[tid], QStringList("b 0"));
            h.lastTid = tid;
        } else {
            EXPECT_EQ(h.ask(kCur, 0.5), "b 0");
        }
        const QString why = failure == SILENT    ? "did not answer within 1000 ms"
                            : failure == REFUSES ? "refused"
                                                 : "failed";
        EXPECT_EQ(log.count(QtWarningMsg, "d: MulPlaySession: a " + why), 1) << log.dump().toStdString();
        EXPECT_EQ(log.count(QtWarningMsg, "leaving it out for 10 s"), 1);

        const int asked = a.requests;
        a.refuses = a.holds = false;
        a.release();  // a late answer is dropped: one answer per request
        h.clock.advanceMs(9000);
        EXPECT_EQ(h.ask(kNext, 0.5), "b 1");
        EXPECT_EQ(a.requests, asked);
        h.clock.advanceMs(1000);
        if (failure == FAILS) {
            // Ready again; seen by the session before this later connection fires.
            bool back = false;
            QObject::connect(
                &a, &PlaybackSessionIf::playbackSessionState, h.session.get(), [&] { back = true; },
                Qt::QueuedConnection);
            a.report(true);
            ASSERT_TRUE(QTest::qWaitFor([&] { return back; }, 5000));
        }
        EXPECT_EQ(h.ask(kNext, 0.5), "a 1");  // both have it: the first location's
        EXPECT_EQ(a.requests, asked + 1);
        EXPECT_EQ(h.answers[tid].size(), 1);
    }
}

TEST(MulPlaySession, ReadyWhileAnyLocationIs)
{
    {
        Harness h("a;b", {});
        LogCapture log;
        h.loc["a"]->report(false);
        ASSERT_TRUE(QTest::qWaitFor([&] { return log.contains(QtWarningMsg, "a failed"); }, 5000));
        EXPECT_EQ(h.states, QList<bool>{true});
        h.loc["b"]->report(false);
        ASSERT_TRUE(QTest::qWaitFor([&] { return h.states.size() == 2; }, 5000));
        EXPECT_EQ(h.states, QList<bool>({true, false}));
        EXPECT_EQ(h.ask(kCur, 0), "refused");
    }
    // The real locations: a server (none in this build) and a store that does not exist.
    LogCapture log;
    MulPlaySession session;
    QList<bool> states;
    QObject::connect(&session, &PlaybackSessionIf::playbackSessionState, [&](bool s) { states.append(s); });
    EXPECT_TRUE(session.init("[::1]:4000;/nonexistent/x.db", "", "s", "d"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !states.isEmpty(); }, 5000));
    EXPECT_EQ(states, QList<bool>{false});
    EXPECT_EQ(log.count(QtWarningMsg, "d: MulPlaySession: unit servers are not available (::1:4000)"), 1);
    EXPECT_FALSE(MulPlaySession().init(" ; ", "", "s", "d"));
}

TEST(MulPlaySession, TellsServersFromStores)
{
    const std::tuple<const char*, const char*> cases[] = {{"recorder.local:4000", "recorder.local 4000"},
                                                          {"10.0.0.2:1", "10.0.0.2 1"},
                                                          {"[fe80::1]:65535", "fe80::1 65535"},
                                                          {"store.db", ""},
                                                          {"/srv/rec:4000/store.db", ""},
                                                          {"postgresql://db:5432/rec", ""},
                                                          {"C:4000", ""},
                                                          {"host:0", ""},
                                                          {"host:65536", ""}};
    for (const auto& [location, expected] : cases) {
        QString host;
        quint16 port = 0;
        const bool server = MulPlaySession::isServerLocation(location, &host, &port);
        EXPECT_EQ(server ? QString("%1 %2").arg(host).arg(port) : QString(), expected) << location;
    }
}
