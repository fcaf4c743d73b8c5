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

    // Rows for the frames the workspace tests feed through the window are left
    // to them; anything that is no JSON object is left to the fuzzer.
    void incomingFrames_data()
    {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QByteArray>("signal"); // empty: no signal at all
        QTest::addColumn<QVariantList>("args"); // empty with a map signal: the whole frame
        const QString huge = "{\"type\":\"chat\",\"content\":\"" + QString(500 << 10, 'z');
        const auto row
            = [](const char *name, const QString &frame, const QByteArray &signal = {},
                 const QVariantList &args = {}) { QTest::newRow(name) << frame << signal << args; };
        row("type in capitals", R"({"type":"AUTH_OK"})");
        row("cut off", huge + "}");
        row("refusal without a text", R"({"type":"auth_fail","msg":{"a":1}})", "authFailed",
            {QString()});
        row("id as text", R"({"type":"session_joined","session_id":"12"})", "sessionJoined", {0});
        row("service error", R"({"type":"error","msg":"会话不存在"})", "connectionError",
            {"会话不存在"});
        row("huge chat", huge + "\"}", "chatMessage");
        row("agent online", R"({"type":"agent_online","agent_id":13})", "agentOnline");
        row("agent offline", R"({"type":"agent_offline","agent_id":13})", "agentOffline");
        row("type a number", R"({"type":1})");
    }

    void incomingFrames()
    {
        QFETCH(QString, frame);
        QFETCH(QByteArray, signal);
        QFETCH(QVariantList, args);
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
        // No heartbeat unauthenticated: a link beating as fast has had three
        // answers, and every ping the service got was that link's.
        WssClient probe;
        probe.setUrl(m_server->wssUrl());
        probe.setHeartbeatIntervalMs(40);
        QSignalSpy probePongs(&probe, &WssClient::pong);
        m_server->clearReceivedFrames();
        probe.connectToServer(m_server->issueToken(14), "agent");
        QTRY_VERIFY(probePongs.count() >= 3
                    && m_server->receivedFrames().count(R"({"type":"ping"})")
                        == probePongs.count());
        probe.disconnectFromServer();

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
        // A second link comes back 600 ms after each drop: by then a
        // reconnect of the first, due after 300 ms, would have come too.
        WssClient probe;
        probe.setUrl(m_server->wssUrl());
        probe.setReconnectBaseDelayMs(600);
        QSignalSpy probeBack(&probe, &WssClient::authOk);
        probe.connectToServer(m_server->issueToken(13), "agent");
        QTRY_COMPARE(probeBack.count(), 1);
        // Disconnecting while a reconnect is pending cancels it.
        m_server->dropConnections();
        QTRY_COMPARE(spies["disconnected"].count(), 7);
        m_client->disconnectFromServer();
        QTRY_COMPARE(probeBack.count(), 2);
        QCOMPARE(spies["connected"].count(), 7);
        // Signing out and straight back in: the closing link brings no reconnect.
        m_client->connectToServer(m_server->issueToken(12), "agent");
        m_client->disconnectFromServer();
        m_client->connectToServer(m_server->issueToken(12), "agent");
        QTRY_COMPARE(spies["authOk"].count(), 8);
        m_client->disconnectFromServer();
        QTRY_COMPARE(spies["disconnected"].last().value(0), QVariant(ushort(1000)));
        QTRY_VERIFY(m_server->closeFramesReceived() > 0); // signed off, not cut off
        m_server->dropConnections(); // the second link's alone
        QTRY_COMPARE(probeBack.count(), 3);
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
    void silentLinks_data()
    {
        QTest::addColumn<int>("pongs"); // answered before silence; < 0: no upgrade
        QTest::addColumn<bool>("dropped");
        QTest::newRow("upgrade never answered") << -1 << true;
        QTest::newRow("upgrade refused, connection kept open") << -2 << true;
        QTest::newRow("one pong, then silence") << 1 << true;
        QTest::newRow("pings never answered") << 0 << false;
    }
    void silentLinks()
    {
        QFETCH(int, pongs); // counted down, and captured by the handlers
        QFETCH(bool, dropped);
        int links = 0, pings = 0;
        QList<int> dropsAtLink;
        QTcpServer mute;
        QWebSocketServer quiet("quiet", QWebSocketServer::NonSecureMode);
        QVERIFY(mute.listen(QHostAddress::LocalHost) && quiet.listen(QHostAddress::LocalHost));
        connect(&mute, &QTcpServer::newConnection, &mute, [&] {
            ++links;
            QTcpSocket *socket = mute.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, pongs] {
                if (pongs == -2)
                    socket->write("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
            });
        });
        connect(&quiet, &QWebSocketServer::newConnection, &quiet, [&] {
            ++links;
            QWebSocket *peer = quiet.nextPendingConnection();
            peer->setParent(&quiet);
            connect(peer, &QWebSocket::textMessageReceived, peer, [&, peer](const QString &t) {
                if (t.contains("auth"))
                    peer->sendTextMessage(R"({"type":"auth_ok"})");
                else if (++pings && pongs-- > 0)
                    peer->sendTextMessage(R"({"type":"pong"})");
            });
        });
        const quint16 port = pongs < 0 ? mute.serverPort() : quiet.serverPort();
        m_client->setUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port));
        m_client->setHeartbeatIntervalMs(60);
        m_client->setConnectTimeoutMs(150);
        m_client->setReconnectBaseDelayMs(1000); // well after the connect timeout
        connect(m_client.get(), &WssClient::disconnected, &mute, [&] { dropsAtLink << links; });
        m_client->connectToServer("t", "agent");
        if (dropped) { // given up like any drop, once: the schedule goes on
            QTRY_COMPARE(dropsAtLink, QList<int> {1});
            QTRY_COMPARE(m_client->reconnectDelayMs(), 1000);
            QTRY_VERIFY(links == 2); // the next try, and nothing more of the first
            QCOMPARE(dropsAtLink.count(1), 1);
        } else { // beats for as long as a dead link would have taken
            QTRY_VERIFY(pings >= 16);
            QVERIFY(dropsAtLink.isEmpty() && m_client->isAuthenticated());
        }
    }
};

ORVANTIS_TEST_MAIN(TestWssClient)
#include "tst_wssclient.moc"
