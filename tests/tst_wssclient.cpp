#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/wssclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

namespace {

const QString kPing = R"({"type":"ping"})";

QString authFrame(const QString &token)
{
    return QStringLiteral(R"({"role":"agent","token":"%1","type":"auth"})").arg(token);
}

} // namespace

class TestWssClient : public QObject
{
    Q_OBJECT

    std::unique_ptr<StandIn::StandInServer> m_server;
    std::unique_ptr<WssClient> m_client;

    int received(const QString &frame) const
    {
        return int(m_server->receivedFrames().count(frame));
    }
    QStringList receivedBesidesPings() const
    {
        QStringList frames = m_server->receivedFrames();
        frames.removeAll(kPing);
        return frames;
    }

private slots:
    void init()
    {
        m_server = std::make_unique<StandIn::StandInServer>();
        QVERIFY(m_server->listen());
        m_client = std::make_unique<WssClient>();
        m_client->setUrl(m_server->wssUrl());
        m_client->setReconnectBaseDelayMs(30);
        m_client->setReconnectMaxDelayMs(300);
    }

    void cleanup() { m_client.reset(); }

    void authThenHeartbeat()
    {
        m_client->sendChat(1, "lost", "text"); // nothing is queued while disconnected
        m_client->setHeartbeatIntervalMs(40);
        TestSupport::SignalSpies spies(m_client.get());
        m_server->refuseNextAuth("token无效");
        const QString token = m_server->issueToken(12);
        m_client->connectToServer(token, "agent");
        QTRY_COMPARE(spies["authFailed"].count(), 1);
        QCOMPARE(spies["authFailed"].first().first().toString(), "token无效");
        QTest::qWait(150); // several heartbeat intervals: none before authentication
        QCOMPARE(m_server->receivedFrames(), QStringList {authFrame(token)});
        QVERIFY(m_client->isConnected() && !m_client->isAuthenticated());

        const QString other = m_server->issueToken(13);
        m_client->sendAuth(other, "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        QVERIFY(m_client->isAuthenticated());
        QTRY_VERIFY(received(kPing) >= 3);
        QTRY_VERIFY(spies["pong"].count() >= 3);

        m_server->clearReceivedFrames();
        m_client->sendChat(5, "你好 \"引号\"\n第二行", "text");
        m_client->sendRecall("uuid-1", 5);
        m_client->sendTransfer(5, 13);
        m_client->sendFrame({{"type", "join"}, {"channel", "c-1"}});
        QTRY_COMPARE(receivedBesidesPings().size(), 4);
        QCOMPARE(receivedBesidesPings(),
                 QStringList({"{\"content\":\"你好 \\\"引号\\\"\\n第二行\",\"msg_type\":\"text\","
                              "\"session_id\":5,\"type\":\"chat\"}",
                              R"({"msg_uuid":"uuid-1","session_id":5,"type":"recall"})",
                              R"({"session_id":5,"target_agent_id":13,"type":"transfer"})",
                              R"({"channel":"c-1","type":"join"})"}));
        // A reconnect authenticates with the token given last.
        m_server->dropConnections();
        QTRY_COMPARE(spies["authOk"].count(), 2);
        QCOMPARE(received(authFrame(other)), 1);
    }

    void incomingFrames_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QByteArray>("signal"); // empty: no signal at all
        QTest::addColumn<QVariantList>("args"); // empty with a map signal: the whole frame
        auto row = [](const char *type, const QString &more, const char *signal,
                      const QVariantList &args = {}) {
            const QString frame = QStringLiteral("{\"type\":\"%1\"%2}").arg(type, more);
            QTest::addRow("%s%s", type, qPrintable(more.left(30)))
                << frame << QByteArray(signal) << args;
        };
        const QString huge = ",\"content\":\"" + QString(6 << 20, 'z') + '"';
        row("AUTH_OK", {}, "");
        row("chat", huge.chopped(1), ""); // several MB, cut off
        row("auth_ok", {}, "authOk");
        row("auth_fail", R"(,"msg":{"a":1})", "authFailed", {QString()});
        row("pong", {}, "pong");
        row("joined", R"(,"channel":"c-1")", "channelJoined", {"c-1"});
        row("session_joined", R"(,"session_id":"12")", "sessionJoined", {0});
        row("session_offline", R"(,"session_id":3)", "sessionOffline", {3});
        row("chat_sent", R"(,"msg_uuid":"u1","session_id":4)", "chatSent", {"u1", 4});
        row("recall", R"(,"msg_uuid":"u2","session_id":9)", "recallReceived", {"u2", 9});
        row("error", R"(,"msg":"会话不存在")", "connectionError", {"会话不存在"});
        row("new_session", R"(,"id":5,"x":[1])", "newSession");
        row("chat", huge, "chatMessage");
        row("session_transferred", R"(,"session_id":5)", "sessionTransferred");
        row("agent_online", R"(,"agent_id":13)", "agentOnline");
        row("agent_offline", R"(,"agent_id":13)", "agentOffline");
        for (const QString &bad :
             {QString("hello {"), QString(R"([{"type":"pong"}])"), QString(R"({"type":1})"),
              QString(200000, '[') + QString(200000, ']')})
            QTest::addRow("bad %s", qPrintable(bad.left(20)))
                << bad << QByteArray() << QVariantList();
    }

    void incomingFrames()
    {
        QFETCH(QString, frame);
        QFETCH(QByteArray, signal);
        QFETCH(QVariantList, args);
        m_client->connectToServer(QString(), "agent"); // no token: no auth frame
        QTRY_COMPARE(m_server->connectionCount(), 1);
        TestSupport::SignalSpies spies(m_client.get());
        m_server->pushText(frame);
        m_server->pushText(R"({"type":"joined","channel":"end"})"); // all before it is handled
        QTRY_VERIFY(spies["channelJoined"].contains(QVariantList {"end"}));
        spies["channelJoined"].removeLast();
        if (signal == "authOk") { // a ping follows at once; the stand-in, never asked, refuses it
            QTRY_COMPARE(spies["connectionError"].count(), 1);
            QCOMPARE(m_server->receivedFrames(), QStringList {R"({"type":"ping"})"});
            spies["connectionError"].clear();
        }

        QCOMPARE(spies.total(), signal.isEmpty() ? 0 : 1);
        if (!signal.isEmpty()) {
            if (args.isEmpty() && !spies[signal].first().isEmpty())
                args = {QJsonDocument::fromJson(frame.toUtf8()).object().toVariantMap()};
            QCOMPARE(spies[signal].first(), args);
        }
        QVERIFY(m_client->isConnected());
        QCOMPARE(m_client->isAuthenticated(), signal == "authOk");
        // Only authentication makes the client speak: one ping at once.
        QTRY_COMPARE(m_server->receivedFrames(),
                     signal == "authOk" ? QStringList {kPing} : QStringList());
    }

    void reconnectDelaysDouble()
    {
        TestSupport::SignalSpies spies(m_client.get());
        const QString token = m_server->issueToken(12);
        m_client->connectToServer(token, "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        QCOMPARE(m_client->reconnectDelayMs(), 0);
        m_server->closeConnections(QWebSocketProtocol::CloseCodeGoingAway, "维护");
        const QList<int> delays {30, 60, 120, 240, 300, 300};
        for (int i = 0; i < delays.size(); ++i) {
            if (i > 0)
                m_server->dropConnections();
            QTRY_COMPARE(spies["disconnected"].count(), i + 1);
            QVERIFY(!m_client->isAuthenticated());
            QCOMPARE(m_client->reconnectDelayMs(), delays.at(i));
            QTRY_COMPARE(spies["authOk"].count(), i + 2); // with the stored token
            QCOMPARE(received(authFrame(token)), i + 2);
        }
        // The service closing the link tells why.
        QCOMPARE(spies["disconnected"].first(),
                 QVariantList({ushort(QWebSocketProtocol::CloseCodeGoingAway), "维护"}));
        m_client.reset(); // destroying the client closes its link
        QTRY_COMPARE(m_server->connectionCount(), 0);
    }

    void manualDisconnectDoesNotReconnect()
    {
        m_client->setHeartbeatIntervalMs(40);
        TestSupport::SignalSpies spies(m_client.get());
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        m_client->disconnectFromServer();
        QTRY_COMPARE(spies["disconnected"].value(0).value(0), QVariant(ushort(1000)));
        QVERIFY(!m_client->isAuthenticated());
        m_server->clearReceivedFrames();
        QVERIFY(!spies["connected"].wait(400)); // well past any delay, and no pings
        QCOMPARE(m_server->receivedFrames(), QStringList());

        // Signing out and straight back in: the closing link brings no reconnect.
        m_client->connectToServer(m_server->issueToken(12), "agent");
        m_client->disconnectFromServer();
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 2);
        // Disconnecting while a reconnect is pending cancels it.
        m_server->dropConnections();
        QTRY_COMPARE(m_client->reconnectDelayMs(), 30);
        m_client->disconnectFromServer();
        QVERIFY(!spies["connected"].wait(400));
        QCOMPARE(spies["connected"].count(), 2);
    }

    void refusedHandshakeIsRetried()
    {
        // An HTTP error answer with the TCP connection kept open: no disconnect
        // would ever come unless the client gives the attempt up.
        QTcpServer gate;
        QVERIFY(gate.listen(QHostAddress::LocalHost));
        connect(&gate, &QTcpServer::newConnection, &gate, [&gate] {
            QTcpSocket *socket = gate.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->write("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
            });
        });
        m_client->setUrl(QStringLiteral("ws://127.0.0.1:%1/wss").arg(gate.serverPort()));
        TestSupport::SignalSpies spies(m_client.get());
        m_client->connectToServer("t", "agent");
        QTRY_VERIFY(m_client->reconnectDelayMs() >= 120);
        QVERIFY(!spies["connectionError"].first().first().toString().isEmpty());
        // Connecting elsewhere gives the failing attempts up for good.
        m_client->setUrl(m_server->wssUrl());
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        QVERIFY(!spies["connected"].wait(400));
        QCOMPARE(spies["connected"].count(), 1);
    }

    // A new link starts unauthenticated, even one that replaces a live link,
    // and its close reason is its own.
    void eachLinkIsItsOwn()
    {
        m_client->setHeartbeatIntervalMs(40);
        TestSupport::SignalSpies spies(m_client.get());
        const QString token = m_server->issueToken(12);
        m_client->connectToServer(token, "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        m_server->refuseNextAuth();
        m_client->connectToServer(token, "agent");
        QVERIFY(!m_client->isAuthenticated());
        QTRY_COMPARE(spies["authFailed"].count(), 1);
        m_server->clearReceivedFrames();
        QTest::qWait(150);
        QCOMPARE(received(kPing), 0); // no heartbeat on a link that is not authenticated

        m_client->sendAuth(token, "agent");
        QTRY_COMPARE(spies["authOk"].count(), 2);
        m_server->closeConnections(QWebSocketProtocol::CloseCodePolicyViolated, "kicked");
        QTRY_COMPARE(spies["disconnected"].count(), 1);
        QCOMPARE(spies["disconnected"].last().at(1), QVariant("kicked"));
        QTRY_COMPARE(spies["authOk"].count(), 3);
        m_server->dropConnections();
        QTRY_COMPARE(spies["disconnected"].count(), 2);
        QCOMPARE(spies["disconnected"].last().at(1), QVariant(QString()));
    }

    // Links that die without a word: an upgrade never answered, and a
    // service that used to answer pings and falls silent.
    void silentLinks_data()
    {
        QTest::addColumn<int>("pongs"); // answered pings before silence; -1: no upgrade answer
        QTest::addColumn<bool>("dropped");
        QTest::newRow("upgrade never answered") << -1 << true;
        QTest::newRow("silent after a pong") << 1 << true;
        QTest::newRow("never answers pings") << 0 << false;
    }

    void silentLinks()
    {
        QFETCH(int, pongs);
        QFETCH(bool, dropped);
        QTcpServer mute;
        QWebSocketServer quiet("quiet", QWebSocketServer::NonSecureMode);
        QVERIFY(mute.listen(QHostAddress::LocalHost) && quiet.listen(QHostAddress::LocalHost));
        connect(&quiet, &QWebSocketServer::newConnection, &quiet, [&] {
            QWebSocket *peer = quiet.nextPendingConnection();
            connect(peer, &QWebSocket::textMessageReceived, peer, [&pongs, peer](const QString &t) {
                if (t.contains("auth"))
                    peer->sendTextMessage(R"({"type":"auth_ok"})");
                else if (pongs-- > 0)
                    peer->sendTextMessage(R"({"type":"pong"})");
            });
        });
        const quint16 port = pongs < 0 ? mute.serverPort() : quiet.serverPort();
        m_client->setUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port));
        m_client->setHeartbeatIntervalMs(60);
        m_client->setConnectTimeoutMs(150);
        TestSupport::SignalSpies spies(m_client.get());
        m_client->connectToServer("t", "agent");
        QCOMPARE(spies["disconnected"].wait(1000), dropped);
        if (dropped) // given up like any drop: the schedule goes on
            QTRY_COMPARE(m_client->reconnectDelayMs(), 30);
        else
            QVERIFY(m_client->isAuthenticated());
    }
};

ORVANTIS_TEST_MAIN(TestWssClient)
#include "tst_wssclient.moc"
