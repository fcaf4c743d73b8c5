#include "testsupport.h"

#include "devserver/server.h"
#include "net/wssclient.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

class TestWssClient : public QObject
{
    Q_OBJECT

    std::unique_ptr<DevServer::Server> m_server;
    std::unique_ptr<WssClient> m_client;

private slots:
    void init()
    {
        m_server = std::make_unique<DevServer::Server>();
        QVERIFY(m_server->listen());
        m_client = std::make_unique<WssClient>();
        m_client->setUrl(m_server->wssUrl());
        m_client->setReconnectBaseDelayMs(30);
        m_client->setReconnectMaxDelayMs(300);
    }

    void cleanup() { m_client.reset(); }

    void incomingFrames()
    {
        // Rows for the frames the workspace tests feed through the window are left
        // to them; anything that is no JSON object is left to the fuzzer.
        const QString huge = "{\"type\":\"chat\",\"content\":\"" + QString(500 << 10, 'z');
        // The frame, the signal it raises (empty: no signal at all) and its arguments
        // (empty with a map signal: the whole frame).
        const QList<std::tuple<QString, QByteArray, QVariantList>> rows {
            {R"({"type":"AUTH_OK"})", "", {}},
            {huge + "}", "", {}}, // cut off
            {R"({"type":"auth_fail","msg":{"a":1}})", "authFailed", {QString()}},
            {R"({"type":"session_joined","session_id":"12"})", "sessionJoined", {0}},
            {R"({"type":"error","msg":"会话不存在"})", "connectionError", {"会话不存在"}},
            {huge + "\"}", "chatMessage", {}},
            {R"({"type":"agent_online","agent_id":13})", "agentOnline", {}},
            {R"({"type":"agent_offline","agent_id":13})", "agentOffline", {}},
            {R"({"type":1})", "", {}}};
        for (auto [frame, signal, args] : rows) {
            const auto label = TestSupport::rowLabel(frame.left(40));
            init();
            m_client->connectToServer(QString(), "agent"); // no token: no auth frame
            // Both ends must see the link before anything is counted.
            QTRY_VERIFY(m_server->connectionCount() == 1 && m_client->isConnected());
            TestSupport::SignalSpies spies(m_client.get());
            m_server->pushText(frame);
            m_server->pushText(R"({"type":"joined","channel":"end"})"); // all before it is handled
            QTRY_VERIFY(spies["channelJoined"].contains(QVariantList {"end"}));
            spies["channelJoined"].removeLast();
            // A refusal is also told apart from the socket's own errors.
            const bool refusal = signal == "connectionError";
            QCOMPARE(spies.total(), signal.isEmpty() ? 0 : refusal ? 2 : 1);
            if (refusal)
                QCOMPARE(spies["serviceError"].value(0), args);
            if (args.isEmpty() && !signal.isEmpty())
                args = {QJsonDocument::fromJson(frame.toUtf8()).object().toVariantMap()};
            QCOMPARE(signal.isEmpty() ? QVariantList() : spies[signal].value(0), args);
            QVERIFY(m_client->isConnected() && !m_client->isAuthenticated());
        }
    }

    // A message beyond the limit is refused unread, which costs the link;
    // a service repeating it gets no faster reconnects.
    void oversizedMessage()
    {
        TestSupport::SignalSpies spies(m_client.get());
        m_client->connectToServer(m_server->issueToken(12), "agent");
        for (int i = 1; i <= 2; ++i) {
            QTRY_COMPARE(spies["authOk"].count(), i);
            m_server->pushText("{\"type\":\"chat\",\"content\":\"" + QString(3 << 20, 'z') + "\"}");
            QTRY_COMPARE(spies["disconnected"].count(), i);
            QCOMPARE(spies["disconnected"].last().value(0), QVariant(ushort(1009)));
            QCOMPARE(m_client->reconnectDelayMs(), 30 * i);
        }
        QTRY_COMPARE(spies["authOk"].count(), 3);
        QCOMPARE(spies["chatMessage"].count(), 0);
    }

    // Authentication starts the heartbeat; a new link starts unauthenticated,
    // even one that replaces a live link, and its close reason is its own.
    void eachLinkIsItsOwn()
    {
        const auto authFrame = [](const QString &token) {
            return QString(R"({"role":"agent","token":"%1","type":"auth"})").arg(token);
        };
        m_client->sendChat(1, "lost", "text"); // nothing is queued while disconnected
        m_client->setHeartbeatIntervalMs(40);
        TestSupport::SignalSpies spies(m_client.get());
        const QString token = m_server->issueToken(12), other = m_server->issueToken(13);
        m_client->connectToServer(token, "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        QTRY_VERIFY(m_server->receivedFrames().count(R"({"type":"ping"})") >= 3
                    && spies["pong"].count() >= 3);
        QCOMPARE(m_server->receivedFrames().first(), authFrame(token));
        m_server->refuseNextAuth("token无效");
        m_client->connectToServer(token, "agent");
        QVERIFY(!m_client->isAuthenticated());
        QTRY_COMPARE(spies["authFailed"].value(0), QVariantList {"token无效"});
        m_server->clearReceivedFrames();
        QTest::qWait(150);
        QCOMPARE(m_server->receivedFrames(), QStringList()); // no heartbeat unauthenticated

        m_client->sendAuth(other, "agent");
        QTRY_COMPARE(spies["authOk"].count(), 2);
        m_server->closeConnections(QWebSocketProtocol::CloseCodePolicyViolated, "kicked");
        QTRY_COMPARE(spies["disconnected"].count(), 1);
        QCOMPARE(spies["disconnected"].last(), QVariantList({ushort(1008), "kicked"}));
        QTRY_COMPARE(spies["authOk"].count(), 3);
        // A reconnect uses the token given last.
        QCOMPARE(m_server->receivedFrames().count(authFrame(other)), 2);
        m_server->dropConnections();
        QTRY_COMPARE(spies["disconnected"].count(), 2);
        QCOMPARE(spies["disconnected"].last().at(1), QVariant(QString()));
    }

    void reconnectsUntilDisconnected()
    {
        TestSupport::SignalSpies spies(m_client.get());
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 1);
        QCOMPARE(m_client->reconnectDelayMs(), 0);
        const QList<int> delays {30, 60, 120, 240, 300, 300}; // doubling, capped
        for (int i = 0; i < delays.size(); ++i) {
            m_server->dropConnections();
            QTRY_COMPARE(spies["disconnected"].count(), i + 1);
            QVERIFY(!m_client->isAuthenticated());
            QCOMPARE(m_client->reconnectDelayMs(), delays.at(i));
            QTRY_COMPARE(spies["authOk"].count(), i + 2); // with the stored token
        }
        // Disconnecting while a reconnect is pending cancels it.
        m_server->dropConnections();
        QTRY_COMPARE(spies["disconnected"].count(), 7);
        m_client->disconnectFromServer();
        QVERIFY(!spies["connected"].wait(500)); // well past the delay
        // Signing out and straight back in: the closing link brings no reconnect.
        m_client->connectToServer(m_server->issueToken(12), "agent");
        m_client->disconnectFromServer();
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 8);
        m_client->disconnectFromServer();
        QTRY_COMPARE(spies["disconnected"].last().value(0), QVariant(ushort(1000)));
        QTRY_VERIFY(m_server->closeFramesReceived() > 0); // signed off, not cut off
        QVERIFY(!spies["connected"].wait(500));
        QCOMPARE(spies["connected"].count(), 8);
    }

    // Short links are one outage and the delay grows; a link that has held
    // ends it, and the next drop waits the base delay again.
    void delayStartsAgainAfterALinkHeld()
    {
        m_client->setStableLinkMs(450);
        m_client->setHeartbeatIntervalMs(125);
        TestSupport::SignalSpies spies(m_client.get());
        m_client->connectToServer(m_server->issueToken(12), "agent");
        for (int delay : {30, 60, 30}) {
            QTRY_COMPARE(spies["authOk"].count(), spies["disconnected"].count() + 1);
            m_server->clearReceivedFrames();
            if (spies["authOk"].count() == 3) // five beats: this link has held 500 ms
                QTRY_VERIFY(m_server->receivedFrames().count(R"({"type":"ping"})") >= 5);
            m_server->dropConnections();
            QTRY_COMPARE(spies["disconnected"].count(), spies["authOk"].count());
            QCOMPARE(m_client->reconnectDelayMs(), delay);
        }
    }

    // Links that die without a word: an upgrade never answered, one refused
    // with the TCP connection kept open, and a service that used to answer
    // pings and falls silent.
    void silentLinks()
    {
        // Answered pings before silence (< 0: no upgrade, -1 never answered, -2 refused),
        // and whether the link is dropped.
        for (auto [pongsFirst, dropped] :
             {std::pair {-1, true}, {-2, true}, {1, true}, {0, false}}) {
            int pongs = pongsFirst; // counted down, and captured by the handlers
            init();
            QTcpServer mute;
            QWebSocketServer quiet("quiet", QWebSocketServer::NonSecureMode);
            QVERIFY(mute.listen(QHostAddress::LocalHost) && quiet.listen(QHostAddress::LocalHost));
            connect(&mute, &QTcpServer::newConnection, &mute, [&] {
                QTcpSocket *socket = mute.nextPendingConnection();
                connect(socket, &QTcpSocket::readyRead, socket, [socket, pongs] {
                    if (pongs == -2)
                        socket->write("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
                });
            });
            connect(&quiet, &QWebSocketServer::newConnection, &quiet, [&] {
                QWebSocket *peer = quiet.nextPendingConnection();
                peer->setParent(&quiet);
                connect(peer, &QWebSocket::textMessageReceived, peer,
                        [&pongs, peer](const QString &t) {
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
            m_client->setReconnectBaseDelayMs(1000); // well after the connect timeout
            TestSupport::SignalSpies spies(m_client.get());
            m_client->connectToServer("t", "agent");
            QCOMPARE(spies["disconnected"].wait(1000), dropped);
            if (dropped) { // given up like any drop, once: the schedule goes on
                QTRY_COMPARE(m_client->reconnectDelayMs(), 1000);
                QTest::qWait(300);
                QCOMPARE(spies["disconnected"].count(), 1);
            } else {
                QVERIFY(m_client->isAuthenticated());
            }
        }
    }
};

ORVANTIS_TEST_MAIN(TestWssClient)
#include "tst_wssclient.moc"
