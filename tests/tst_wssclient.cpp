#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/wssclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <map>
#include <memory>

using StandIn::StandInServer;

namespace {

const QString kMarkerChannel = "__marker__"; // as in the frame flush() pushes
const QString kPing = R"({"type":"ping"})";

QString authFrame(const QString &token)
{
    return QStringLiteral(R"({"role":"agent","token":"%1","type":"auth"})").arg(token);
}

// Every signal of the client, keyed by the signal's name.
class AllSignals : public TestSupport::SignalSpies
{
public:
    explicit AllSignals(WssClient *client) : SignalSpies(client) { }
    // Everything raised so far, leaving out the marker frames.
    QList<QPair<QByteArray, QVariantList>> raised() const
    {
        QList<QPair<QByteArray, QVariantList>> result;
        for (const auto &[name, spy] : m_spies) {
            for (const QVariantList &args : std::as_const(*spy)) {
                if (name != "channelJoined" || args.value(0).toString() != kMarkerChannel)
                    result.append({name, args});
            }
        }
        return result;
    }
};

} // namespace

class TestWssClient : public QObject
{
    Q_OBJECT

    std::unique_ptr<StandInServer> m_server;
    std::unique_ptr<WssClient> m_client;

    int received(const QString &frame) const
    {
        return int(m_server->receivedFrames().count(frame));
    }

    void connectUnauthenticated()
    {
        m_client->connectToServer(QString(), "agent");
        QTRY_VERIFY(m_client->isConnected());
        QTRY_COMPARE(m_server->connectionCount(), 1);
    }

    // Sends a recognisable frame after the ones under test and waits for it,
    // so everything before it has been handled.
    void flush()
    {
        QSignalSpy joined(m_client.get(), &WssClient::channelJoined);
        m_server->pushText(R"({"type":"joined","channel":"__marker__"})");
        QTRY_VERIFY(joined.contains(QVariantList {kMarkerChannel}));
    }

    // A local server at a port the client can be pointed at.
    QString urlOf(const QTcpServer &server) const
    {
        return QStringLiteral("ws://127.0.0.1:%1/wss").arg(server.serverPort());
    }

private slots:
    void init()
    {
        m_server = std::make_unique<StandInServer>();
        QVERIFY(m_server->listen());
        m_client = std::make_unique<WssClient>();
        m_client->setUrl(m_server->wssUrl());
        m_client->setReconnectBaseDelayMs(30);
        m_client->setReconnectMaxDelayMs(300);
    }

    void cleanup()
    {
        m_client.reset();
        m_server.reset();
    }

    void outgoingFramesByteForByte()
    {
        // Nothing is queued while disconnected: these never reach the service.
        m_client->sendChat(1, "lost", "text");
        m_client->sendPing();

        AllSignals spies(m_client.get());
        const QString token = m_server->issueToken(12);
        m_client->connectToServer(token, "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        QCOMPARE(spies["connected"].count(), 1);
        QVERIFY(m_client->isAuthenticated());
        // The auth frame first, then one ping right after authentication.
        QTRY_COMPARE(m_server->receivedFrames(), QStringList({authFrame(token), kPing}));
        QTRY_COMPARE(spies["pong"].count(), 1);

        m_server->clearReceivedFrames();
        m_client->sendChat(5, "你好 \"引号\"\n第二行", "text");
        m_client->sendChat(5, "http://127.0.0.1/a.png", "image");
        m_client->sendRecall("uuid-1", 5);
        m_client->sendTransfer(5, 13);
        m_client->sendFrame({{"type", "join"}, {"channel", "c-1"}});
        m_client->sendFrame({{"type", "join_session"}, {"session_id", 5}});
        m_client->sendPing();
        const QStringList expected {
            "{\"content\":\"你好 \\\"引号\\\"\\n第二行\",\"msg_type\":\"text\","
            "\"session_id\":5,\"type\":\"chat\"}",
            R"({"content":"http://127.0.0.1/a.png","msg_type":"image",)"
            R"("session_id":5,"type":"chat"})",
            R"({"msg_uuid":"uuid-1","session_id":5,"type":"recall"})",
            R"({"session_id":5,"target_agent_id":13,"type":"transfer"})",
            R"({"channel":"c-1","type":"join"})",
            R"({"session_id":5,"type":"join_session"})",
            kPing,
        };
        QTRY_COMPARE(m_server->receivedFrames().size(), expected.size());
        QCOMPARE(m_server->receivedFrames(), expected);
    }

    void authFailKeepsLinkOpenAndHeartbeat()
    {
        m_client->setHeartbeatIntervalMs(40);
        AllSignals spies(m_client.get());
        m_server->refuseNextAuth("token无效");
        const QString token = m_server->issueToken(12);
        m_client->connectToServer(token, "agent");
        QTRY_COMPARE(spies["authFailed"].count(), 1);
        QCOMPARE(spies["authFailed"].first().first().toString(), "token无效");
        flush();
        QVERIFY(m_client->isConnected());
        QVERIFY(!m_client->isAuthenticated());
        // No heartbeat, no second attempt, no reconnect.
        QCOMPARE(m_server->receivedFrames(), QStringList {authFrame(token)});
        QCOMPARE(m_server->connectionCount(), 1);
        QCOMPARE(m_client->reconnectDelayMs(), 0);

        // Authenticated at last: the heartbeat runs, each ping answered.
        const QString other = m_server->issueToken(13);
        m_client->sendAuth(other, "agent");
        QTRY_VERIFY(received(kPing) >= 3);
        QTRY_VERIFY(spies["pong"].count() >= 3);

        // An error frame changes no state.
        m_server->pushText(R"({"type":"error","msg":"会话不存在"})");
        QTRY_COMPARE(spies["connectionError"].count(), 1);
        QVERIFY(m_client->isAuthenticated());

        // auth_fail after auth_ok clears the flag, but the heartbeat runs on.
        m_server->pushText(R"({"type":"auth_fail","msg":"过期"})");
        QTRY_COMPARE(spies["authFailed"].count(), 2);
        QVERIFY(!m_client->isAuthenticated());
        m_server->clearReceivedFrames();
        QTRY_VERIFY(received(kPing) >= 2);
        QCOMPARE(spies["disconnected"].count(), 0);

        // The token given to sendAuth is the one the next connection uses.
        m_server->dropConnections();
        QTRY_COMPARE(spies["authOk"].count(), 2);
        QCOMPARE(received(authFrame(other)), 1);
    }

    void incomingFrames_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QByteArray>("signal"); // empty: no signal; "x?": at most one x
        QTest::addColumn<QVariantList>("args"); // empty with a map signal: the whole frame
        auto row = [](const char *tag, const QString &frame, const char *signal,
                      const QVariantList &args = {}) {
            QTest::newRow(tag) << frame << QByteArray(signal) << args;
        };
        // A frame of the given type with further members.
        auto typed = [](const char *type, const QString &members = {}) {
            return QStringLiteral("{\"type\":\"%1\"%2}")
                .arg(QLatin1String(type), members.isEmpty() ? QString() : ',' + members);
        };
        const QString huge(6 * 1024 * 1024, 'z');
        const QString deep = QString(200000, '[') + QString(200000, ']');

        row("not json", "hello {", "");
        row("array", R"([{"type":"pong"}])", "");
        row("no type", R"({"msg":"x"})", "");
        row("type not a string", R"({"type":1})", "");
        row("unknown type", typed("typing"), "");
        row("upper case", typed("AUTH_OK"), "");
        row("nested beyond any limit", deep, "");
        row("chat nested beyond any limit", typed("chat", R"("x":)" + deep), "chatMessage?");
        row("several MB of unknown type", typed("nothing", "\"pad\":\"" + huge + '"'), "");
        row("several MB, cut off", typed("chat", "\"content\":\"" + huge).chopped(1), "");

        row("pong", typed("pong"), "pong");
        row("joined", typed("joined", R"("channel":"c-1")"), "channelJoined", {"c-1"});
        row("joined, channel a number", typed("joined", R"("channel":7)"), "channelJoined",
            {QString()});
        row("session_joined, id as text", typed("session_joined", R"("session_id":"12")"),
            "sessionJoined", {0});
        row("session_offline, id missing", typed("session_offline"), "sessionOffline", {0});
        row("chat_sent", typed("chat_sent", R"("msg_uuid":"u1","session_id":4)"), "chatSent",
            {"u1", 4});
        row("chat_sent without session", typed("chat_sent", R"("msg_uuid":"u1")"), "chatSent",
            {"u1", 0});
        row("chat_sent, uuid a number", typed("chat_sent", R"("msg_uuid":55,"session_id":4)"),
            "chatSent", {QString(), 4});
        row("recall, id as text", typed("recall", R"("msg_uuid":"u2","session_id":"9")"),
            "recallReceived", {"u2", 0});
        row("auth_fail without msg", typed("auth_fail"), "authFailed", {QString()});
        row("error, msg an object", typed("error", R"("msg":{"a":1})"), "connectionError",
            {QString()});
        row("new_session", typed("new_session", R"("id":5,"visitor_name":"<b>张</b>","x":[1])"),
            "newSession");
        row("chat", typed("chat", R"("session_id":"5","content":"hi","create_time":1700000000)"),
            "chatMessage");
        row("chat, several MB", typed("chat", "\"content\":\"" + huge + '"'), "chatMessage");
        row("session_transferred",
            typed("session_transferred", R"("session_id":5,"action":"removed")"),
            "sessionTransferred");
        row("agent_online", typed("agent_online", R"("agent_id":13)"), "agentOnline");
    }

    void incomingFrames()
    {
        QFETCH(QString, frame);
        QFETCH(QByteArray, signal);
        QFETCH(QVariantList, args);
        connectUnauthenticated();
        AllSignals spies(m_client.get());
        m_server->pushText(frame);
        flush();

        const auto raised = spies.raised();
        if (signal.endsWith('?'))
            signal = raised.isEmpty() ? QByteArray() : signal.chopped(1);
        if (signal.isEmpty()) {
            QCOMPARE(raised.size(), 0);
        } else {
            QCOMPARE(raised.size(), 1);
            QCOMPARE(raised.first().first, signal);
            if (args.isEmpty() && !raised.first().second.isEmpty()) // the whole frame as a map
                args = {QJsonDocument::fromJson(frame.toUtf8()).object().toVariantMap()};
            QCOMPARE(raised.first().second, args);
        }
        QVERIFY(m_client->isConnected());
        QVERIFY(!m_client->isAuthenticated());
        // Without a token no auth frame goes out, and nothing starts a heartbeat.
        QVERIFY(m_server->receivedFrames().isEmpty());
    }

    void reconnectDelaysDouble()
    {
        AllSignals spies(m_client.get());
        const QString token = m_server->issueToken(12);
        m_client->connectToServer(token, "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        QCOMPARE(m_client->reconnectDelayMs(), 0);

        // The service closing the link tells why.
        m_server->closeConnections(QWebSocketProtocol::CloseCodeGoingAway, "维护");
        QTRY_COMPARE(spies["disconnected"].count(), 1);
        QCOMPARE(spies["disconnected"].first(),
                 QVariantList({ushort(QWebSocketProtocol::CloseCodeGoingAway), "维护"}));

        const QList<int> delays {30, 60, 120, 240, 300, 300, 300};
        for (int i = 0; i < delays.size(); ++i) {
            if (i > 0) {
                m_server->dropConnections();
                QTRY_COMPARE(spies["disconnected"].count(), i + 1);
            }
            QVERIFY(!m_client->isAuthenticated());
            QCOMPARE(m_client->reconnectDelayMs(), delays.at(i));
            // Each reconnect authenticates again with the stored token, and the
            // delay is not reset by that success.
            QTRY_COMPARE(spies["authOk"].count(), i + 2);
            QCOMPARE(received(authFrame(token)), i + 2);
        }
        QCOMPARE(spies["connected"].count(), delays.size() + 1);

        // Destroying the client closes its link.
        m_client.reset();
        QTRY_COMPARE(m_server->connectionCount(), 0);
    }

    void manualDisconnectDoesNotReconnect()
    {
        m_client->setHeartbeatIntervalMs(40);
        AllSignals spies(m_client.get());
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);

        m_client->disconnectFromServer();
        QTRY_COMPARE(spies["disconnected"].count(), 1);
        QCOMPARE(spies["disconnected"].first().at(0),
                 QVariant(ushort(QWebSocketProtocol::CloseCodeNormal)));
        QVERIFY(!m_client->isAuthenticated());
        QTRY_COMPARE(m_server->connectionCount(), 0);
        // Well past the reconnect delay: nothing comes back, no pings go out.
        m_server->clearReceivedFrames();
        QVERIFY(!spies["connected"].wait(400));
        QCOMPARE(m_client->reconnectDelayMs(), 0);
        QVERIFY(m_server->receivedFrames().isEmpty());

        // Signing out and straight back in: the closing link must not bring a
        // reconnect that would tear down the new one.
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 2);
        m_client->disconnectFromServer();
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 3);
        QVERIFY(!spies["connected"].wait(400));
        QCOMPARE(spies["connected"].count(), 3);

        // Disconnecting while a reconnect is pending cancels it.
        m_server->dropConnections();
        QTRY_COMPARE(spies["disconnected"].count(), 3);
        QCOMPARE(m_client->reconnectDelayMs(), 30);
        m_client->disconnectFromServer();
        QVERIFY(!spies["connected"].wait(400));
        QCOMPARE(spies["connected"].count(), 3);
    }

    void connectWhileConnecting()
    {
        // A server that takes the TCP connection but never answers the upgrade.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        AllSignals spies(m_client.get());
        m_client->setUrl(urlOf(silent));
        m_client->connectToServer("t", "agent");
        QTRY_VERIFY(silent.hasPendingConnections());

        // Connecting elsewhere gives the hanging attempt up; that is no reason to
        // reconnect over the link the new attempt builds.
        m_client->setUrl(m_server->wssUrl());
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        QVERIFY(!spies["connected"].wait(400));
        QCOMPARE(spies["connected"].count(), 1);
        QCOMPARE(m_client->reconnectDelayMs(), 0);
        QVERIFY(m_client->isAuthenticated());
    }

    void failedAttemptsKeepRetrying_data()
    {
        QTest::addColumn<bool>("refuseHandshake");
        QTest::newRow("connection refused") << false;
        // An HTTP error answer to the upgrade, with the TCP connection kept alive:
        // no disconnect would ever come unless the client gives the attempt up.
        QTest::newRow("handshake refused") << true;
    }

    void failedAttemptsKeepRetrying()
    {
        QFETCH(bool, refuseHandshake);
        QTcpServer gate;
        QVERIFY(gate.listen(QHostAddress::LocalHost));
        m_client->setUrl(urlOf(gate));
        if (refuseHandshake) {
            connect(&gate, &QTcpServer::newConnection, &gate, [&gate] {
                QTcpSocket *socket = gate.nextPendingConnection();
                connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    socket->readAll();
                    socket->write("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
                });
            });
        } else {
            gate.close(); // a port nobody listens on
        }

        AllSignals spies(m_client.get());
        m_client->connectToServer("t", "agent");
        QTRY_VERIFY(spies["connectionError"].count() >= 1);
        QVERIFY(!spies["connectionError"].first().first().toString().isEmpty());
        // Failed attempts count as disconnects, so the client keeps trying.
        QTRY_VERIFY(m_client->reconnectDelayMs() >= 120);
        QCOMPARE(spies["connected"].count(), 0);

        m_client->disconnectFromServer();
        const int delay = m_client->reconnectDelayMs();
        QVERIFY(!spies["connected"].wait(400));
        QCOMPARE(m_client->reconnectDelayMs(), delay);
    }
};

ORVANTIS_TEST_MAIN(TestWssClient)
#include "tst_wssclient.moc"
