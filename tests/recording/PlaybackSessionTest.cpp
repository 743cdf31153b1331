#include "PlaybackSession.h"
#include "RecordingTestSupport.h"
#include "UnitProtocol.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace RecordingTestSupport;

namespace {
// The next message the fake server receives from `socket`.
UnitProtocol::Message receive(QTcpSocket* socket)
{
    QByteArray bytes;
    UnitProtocol::Message m;
    QString error;
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return UnitProtocol::takeFrame(socket, &bytes) == UnitProtocol::TAKE_MESSAGE; }, 5000));
    EXPECT_TRUE(UnitProtocol::decode(bytes, &m, &error)) << error.toStdString();
    return m;
}
}  // namespace

// A server that goes away with a request outstanding: the request is answered as a missing unit, so the
// channel does not wait for it forever, and the next request connects anew.
TEST(PlaybackSessionTest, AnswersEveryRequestWhenTheServerGoesAway)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    PlaybackSession session;
    QObject context;  // collects the session's signals on this thread
    QList<bool> states;
    QList<QPair<quint64, NTPRange>> units;
    QObject::connect(&session, &PlaybackSessionIf::playbackSessionState, &context, [&](bool s) { states << s; });
    QObject::connect(
        &session, &PlaybackSessionIf::onUnit, &context,
        [&](quint64 id, const QString&, const NTPTimestamp& b, const NTPTimestamp& e, const SharedPoolBuffer&) {
            units.append({id, NTPRange(b, e)});
        });
    ASSERT_TRUE(session.init("127.0.0.1", "s", "detail", "secret", server.serverPort(), false));

    ASSERT_TRUE(server.waitForNewConnection(5000));
    QTcpSocket* peer = server.nextPendingConnection();
    EXPECT_EQ(receive(peer).token, "secret");
    UnitProtocol::Message welcome;
    welcome.type = UnitProtocol::TYPE_WELCOME;
    peer->write(UnitProtocol::frame(UnitProtocol::encode(welcome)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return states == QList<bool>{true}; }, 5000));

    ASSERT_TRUE(session.requestUnit(7, at(1), PlaybackSessionIf::RequestNext));
    EXPECT_EQ(receive(peer).id, 7u);
    peer->abort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 2 && units.size() == 1; }, 5000));
    EXPECT_FALSE(states[1]);
    EXPECT_EQ(units[0].first, 7u);
    EXPECT_EQ(units[0].second, NTPRange(at(1), at(1)));

    // Reconnects for the next request; refused again, it answers that one too, without a second failure report.
    ASSERT_TRUE(session.requestUnit(8, at(2), PlaybackSessionIf::RequestNext));
    ASSERT_TRUE(server.waitForNewConnection(5000));
    server.nextPendingConnection()->abort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return units.size() == 2; }, 5000));
    EXPECT_EQ(units[1].first, 8u);
    EXPECT_EQ(states.size(), 2);
}
