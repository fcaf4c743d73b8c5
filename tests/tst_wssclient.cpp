#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/wssclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

using StandIn::StandInServer;

namespace {

const QString kMarkerChannel = QStringLiteral("__marker__");

QVariantMap mapOf(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object().toVariantMap();
}

// One spy per signal of the client, keyed by the signal's name.
class AllSignals
{
public:
    explicit AllSignals(WssClient *client)
    {
        const QMetaObject *meta = client->metaObject();
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            if (method.methodType() == QMetaMethod::Signal)
                m_spies.emplace(method.name(), std::make_unique<QSignalSpy>(client, method));
        }
    }

    QSignalSpy &operator[](const QByteArray &name) { return *m_spies.at(name); }

    // Everything raised so far, leaving out the marker frames.
    QList<QPair<QByteArray, QVariantList>> raised()
    {
        QList<QPair<QByteArray, QVariantList>> result;
        for (const auto &[name, spy] : m_spies) {
            for (const QVariantList &args : std::as_const(*spy)) {
                if (name == "channelJoined" && args.value(0).toString() == kMarkerChannel)
                    continue;
                result.append({name, args});
            }
        }
        return result;
    }

    void clear()
    {
        for (auto &entry : m_spies)
            entry.second->clear();
    }

private:
    std::map<QByteArray, std::unique_ptr<QSignalSpy>> m_spies;
};

int countFrames(const QStringList &frames, const QString &frame)
{
    return int(frames.count(frame));
}

} // namespace

class TestWssClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void authenticatesOnConnect();
    void outgoingFramesByteForByte();
    void framesDroppedWhileDisconnected();
    void noAuthWithoutToken();
    void heartbeatAfterAuthOk();
    void authFailKeepsLinkOpen();
    void authFailAfterAuthOkKeepsHeartbeat();
    void errorFrameKeepsState();

    void incomingFrames_data();
    void incomingFrames();
    void upperCaseAuthOkIgnored();
    void hostileFrames();

    void reconnectDelaysDouble();
    void reconnectAfterServerClose();
    void manualDisconnectDoesNotReconnect();
    void connectWhileConnecting();
    void unreachableServerKeepsRetrying();
    void refusedHandshakeStillReconnects();
    void destructionClosesLink();

private:
    void connectUnauthenticated();
    // Sends a recognisable frame after the ones under test and waits for it,
    // so everything before it has been handled.
    void flush();

    std::unique_ptr<StandInServer> m_server;
    std::unique_ptr<WssClient> m_client;
};

void TestWssClient::init()
{
    m_server = std::make_unique<StandInServer>();
    QVERIFY(m_server->listen());
    m_client = std::make_unique<WssClient>();
    m_client->setUrl(m_server->wssUrl());
    m_client->setReconnectBaseDelayMs(30);
    m_client->setReconnectMaxDelayMs(300);
}

void TestWssClient::cleanup()
{
    m_client.reset();
    m_server.reset();
}

void TestWssClient::connectUnauthenticated()
{
    m_client->connectToServer(QString(), QStringLiteral("agent"));
    QTRY_VERIFY(m_client->isConnected());
    QTRY_COMPARE(m_server->connectionCount(), 1);
}

void TestWssClient::flush()
{
    QSignalSpy joined(m_client.get(), &WssClient::channelJoined);
    m_server->pushText(QStringLiteral(R"({"type":"joined","channel":"%1"})").arg(kMarkerChannel));
    QTRY_VERIFY(joined.contains(QVariantList {kMarkerChannel}));
}

void TestWssClient::authenticatesOnConnect()
{
    AllSignals spies(m_client.get());
    const QString token = m_server->issueToken(12);
    QVERIFY(!m_client->isConnected());
    QVERIFY(!m_client->isAuthenticated());

    m_client->connectToServer(token, QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 1);
    QCOMPARE(spies["connected"].count(), 1);
    QVERIFY(m_client->isConnected());
    QVERIFY(m_client->isAuthenticated());
    QTRY_COMPARE(m_server->authenticatedCount(), 1);

    const QStringList frames = m_server->receivedFrames();
    QCOMPARE(frames.value(0),
             QStringLiteral(R"({"role":"agent","token":"%1","type":"auth"})").arg(token));
    // One ping right after authentication; the service answers it.
    QTRY_COMPARE(countFrames(m_server->receivedFrames(), QStringLiteral(R"({"type":"ping"})")), 1);
    QTRY_COMPARE(spies["pong"].count(), 1);
    QCOMPARE(spies["connectionError"].count(), 0);
    QCOMPARE(spies["disconnected"].count(), 0);
}

void TestWssClient::outgoingFramesByteForByte()
{
    QSignalSpy authOk(m_client.get(), &WssClient::authOk);
    m_client->connectToServer(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_COMPARE(authOk.count(), 1);
    QTRY_VERIFY(m_server->receivedFrames().contains(QStringLiteral(R"({"type":"ping"})")));
    m_server->clearReceivedFrames();
    const int session = m_server->addSession();

    m_client->sendChat(session, QStringLiteral("你好 \"引号\"\n第二行"), QStringLiteral("text"));
    m_client->sendChat(session, QStringLiteral("http://127.0.0.1/a.png"), QStringLiteral("image"));
    m_client->sendRecall(QStringLiteral("uuid-1"), session);
    m_client->sendTransfer(session, 13);
    m_client->sendFrame({{QStringLiteral("type"), QStringLiteral("join")},
                         {QStringLiteral("channel"), m_server->channelCode()}});
    m_client->sendFrame({{QStringLiteral("type"), QStringLiteral("join_session")},
                         {QStringLiteral("session_id"), session}});
    m_client->sendPing();

    const QString id = QString::number(session);
    const QStringList expected {
        QStringLiteral(
            R"({"content":"你好 \"引号\"\n第二行","msg_type":"text","session_id":%1,"type":"chat"})")
            .arg(id),
        QStringLiteral(
            R"({"content":"http://127.0.0.1/a.png","msg_type":"image","session_id":%1,"type":"chat"})")
            .arg(id),
        QStringLiteral(R"({"msg_uuid":"uuid-1","session_id":%1,"type":"recall"})").arg(id),
        QStringLiteral(R"({"session_id":%1,"target_agent_id":13,"type":"transfer"})").arg(id),
        QStringLiteral(R"({"channel":"%1","type":"join"})").arg(m_server->channelCode()),
        QStringLiteral(R"({"session_id":%1,"type":"join_session"})").arg(id),
        QStringLiteral(R"({"type":"ping"})"),
    };
    QTRY_COMPARE(m_server->receivedFrames().size(), expected.size());
    QCOMPARE(m_server->receivedFrames(), expected);
}

void TestWssClient::framesDroppedWhileDisconnected()
{
    AllSignals spies(m_client.get());
    m_client->sendChat(1, QStringLiteral("lost"), QStringLiteral("text"));
    m_client->sendPing();
    m_client->sendAuth(QStringLiteral("t"), QStringLiteral("agent"));
    QVERIFY(!m_client->isConnected());
    QCOMPARE(spies.raised().size(), 0);

    // Nothing was queued: only the auth of the new connection goes out.
    const QString token = m_server->issueToken(12);
    m_client->connectToServer(token, QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 1);
    QTRY_VERIFY(!m_server->receivedFrames().isEmpty());
    const QStringList frames = m_server->receivedFrames();
    QCOMPARE(frames.first(),
             QStringLiteral(R"({"role":"agent","token":"%1","type":"auth"})").arg(token));
    for (const QString &frame : frames)
        QVERIFY2(!frame.contains(QLatin1String("lost")), qPrintable(frame));
}

void TestWssClient::noAuthWithoutToken()
{
    AllSignals spies(m_client.get());
    connectUnauthenticated();
    QCOMPARE(spies["connected"].count(), 1);
    flush();
    QVERIFY(m_server->receivedFrames().isEmpty());
    QVERIFY(!m_client->isAuthenticated());

    // Authenticating by hand stores the values and is answered.
    const QString token = m_server->issueToken(13);
    m_client->sendAuth(token, QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 1);
    QCOMPARE(m_server->receivedFrames().first(),
             QStringLiteral(R"({"role":"agent","token":"%1","type":"auth"})").arg(token));

    // ...and are used again on the next connection.
    m_server->dropConnections();
    QTRY_COMPARE(spies["authOk"].count(), 2);
    QCOMPARE(
        countFrames(m_server->receivedFrames(),
                    QStringLiteral(R"({"role":"agent","token":"%1","type":"auth"})").arg(token)),
        2);
}

void TestWssClient::heartbeatAfterAuthOk()
{
    m_client->setHeartbeatIntervalMs(40);
    QSignalSpy pong(m_client.get(), &WssClient::pong);
    connectUnauthenticated();
    flush();
    // No heartbeat before authentication.
    QCOMPARE(countFrames(m_server->receivedFrames(), QStringLiteral(R"({"type":"ping"})")), 0);

    m_client->sendAuth(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_VERIFY(countFrames(m_server->receivedFrames(), QStringLiteral(R"({"type":"ping"})")) >= 4);
    QTRY_VERIFY(pong.count() >= 4);

    // The interval in seconds is the production setting.
    WssClient other;
    other.setHeartbeatIntervalSec(1);
    other.setUrl(m_server->wssUrl());
    QSignalSpy otherPong(&other, &WssClient::pong);
    other.connectToServer(m_server->issueToken(13), QStringLiteral("agent"));
    QTRY_VERIFY_WITH_TIMEOUT(otherPong.count() >= 2, 10000);
}

void TestWssClient::authFailKeepsLinkOpen()
{
    AllSignals spies(m_client.get());
    m_server->refuseNextAuth(QStringLiteral("token无效"));
    m_client->connectToServer(QStringLiteral("bad-token"), QStringLiteral("agent"));
    QTRY_COMPARE(spies["authFailed"].count(), 1);
    QCOMPARE(spies["authFailed"].first().first().toString(), QStringLiteral("token无效"));
    QVERIFY(m_client->isConnected());
    QVERIFY(!m_client->isAuthenticated());

    flush();
    QCOMPARE(m_server->connectionCount(), 1);
    QCOMPARE(spies["disconnected"].count(), 0);
    QCOMPARE(spies["authOk"].count(), 0);
    // No heartbeat and no second attempt.
    QCOMPARE(m_server->receivedFrames().size(), 1);
    QCOMPARE(m_client->reconnectDelayMs(), 0);
}

void TestWssClient::authFailAfterAuthOkKeepsHeartbeat()
{
    m_client->setHeartbeatIntervalMs(40);
    AllSignals spies(m_client.get());
    m_client->connectToServer(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 1);

    m_server->pushText(QStringLiteral(R"({"type":"auth_fail","msg":"过期"})"));
    QTRY_COMPARE(spies["authFailed"].count(), 1);
    QCOMPARE(spies["authFailed"].first().first().toString(), QStringLiteral("过期"));
    QVERIFY(!m_client->isAuthenticated());
    QVERIFY(m_client->isConnected());

    m_server->clearReceivedFrames();
    QTRY_VERIFY(countFrames(m_server->receivedFrames(), QStringLiteral(R"({"type":"ping"})")) >= 2);
    QCOMPARE(spies["disconnected"].count(), 0);
}

void TestWssClient::errorFrameKeepsState()
{
    AllSignals spies(m_client.get());
    m_client->connectToServer(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 1);
    m_server->pushText(QStringLiteral(R"({"type":"error","msg":"会话不存在"})"));
    QTRY_COMPARE(spies["connectionError"].count(), 1);
    QCOMPARE(spies["connectionError"].first().first().toString(), QStringLiteral("会话不存在"));
    QVERIFY(m_client->isConnected());
    QVERIFY(m_client->isAuthenticated());
}

void TestWssClient::incomingFrames_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QByteArray>("signal"); // empty: no signal at all
    QTest::addColumn<QVariantList>("args");

    const QByteArray none;
    QTest::newRow("not json") << QStringLiteral("hello {") << none << QVariantList();
    QTest::newRow("empty text") << QString() << none << QVariantList();
    QTest::newRow("array") << QStringLiteral(R"([{"type":"pong"}])") << none << QVariantList();
    QTest::newRow("no type") << QStringLiteral(R"({"msg":"x"})") << none << QVariantList();
    QTest::newRow("type not a string") << QStringLiteral(R"({"type":1})") << none << QVariantList();
    QTest::newRow("unknown type") << QStringLiteral(R"({"type":"typing"})") << none
                                  << QVariantList();
    QTest::newRow("type with space")
        << QStringLiteral(R"({"type":"pong "})") << none << QVariantList();
    QTest::newRow("PONG") << QStringLiteral(R"({"type":"PONG"})") << none << QVariantList();
    QTest::newRow("truncated") << QStringLiteral(R"({"type":"pong")") << none << QVariantList();

    QTest::newRow("pong") << QStringLiteral(R"({"type":"pong"})") << QByteArray("pong")
                          << QVariantList();
    QTest::newRow("joined") << QStringLiteral(R"({"type":"joined","channel":"c-1"})")
                            << QByteArray("channelJoined") << QVariantList {QStringLiteral("c-1")};
    QTest::newRow("joined, channel a number")
        << QStringLiteral(R"({"type":"joined","channel":7})") << QByteArray("channelJoined")
        << QVariantList {QString()};
    QTest::newRow("session_joined")
        << QStringLiteral(R"({"type":"session_joined","session_id":12})")
        << QByteArray("sessionJoined") << QVariantList {12};
    QTest::newRow("session_joined, id as text")
        << QStringLiteral(R"({"type":"session_joined","session_id":"12"})")
        << QByteArray("sessionJoined") << QVariantList {0};
    QTest::newRow("session_offline")
        << QStringLiteral(R"({"type":"session_offline","session_id":3})")
        << QByteArray("sessionOffline") << QVariantList {3};
    QTest::newRow("session_offline, id missing")
        << QStringLiteral(R"({"type":"session_offline"})") << QByteArray("sessionOffline")
        << QVariantList {0};
    QTest::newRow("chat_sent") << QStringLiteral(
        R"({"type":"chat_sent","msg_uuid":"u1","session_id":4})")
                               << QByteArray("chatSent") << QVariantList {QStringLiteral("u1"), 4};
    QTest::newRow("chat_sent without session")
        << QStringLiteral(R"({"type":"chat_sent","msg_uuid":"u1"})") << QByteArray("chatSent")
        << QVariantList {QStringLiteral("u1"), 0};
    QTest::newRow("chat_sent, uuid a number")
        << QStringLiteral(R"({"type":"chat_sent","msg_uuid":55,"session_id":4})")
        << QByteArray("chatSent") << QVariantList {QString(), 4};
    QTest::newRow("recall") << QStringLiteral(R"({"type":"recall","msg_uuid":"u2","session_id":9})")
                            << QByteArray("recallReceived")
                            << QVariantList {QStringLiteral("u2"), 9};
    QTest::newRow("recall, id as text")
        << QStringLiteral(R"({"type":"recall","msg_uuid":"u2","session_id":"9"})")
        << QByteArray("recallReceived") << QVariantList {QStringLiteral("u2"), 0};
    QTest::newRow("auth_fail without msg") << QStringLiteral(R"({"type":"auth_fail"})")
                                           << QByteArray("authFailed") << QVariantList {QString()};
    QTest::newRow("error") << QStringLiteral(R"({"type":"error","msg":"bad"})")
                           << QByteArray("connectionError") << QVariantList {QStringLiteral("bad")};
    QTest::newRow("error, msg an object")
        << QStringLiteral(R"({"type":"error","msg":{"a":1}})") << QByteArray("connectionError")
        << QVariantList {QString()};

    const QByteArray newSession
        = R"({"type":"new_session","id":5,"visitor_name":"<b>张</b>","extra":{"n":[1,2]}})";
    QTest::newRow("new_session") << QString::fromUtf8(newSession) << QByteArray("newSession")
                                 << QVariantList {mapOf(newSession)};
    const QByteArray chat
        = R"({"type":"chat","session_id":"5","content":"hi","create_time":1700000000})";
    QTest::newRow("chat, whole frame")
        << QString::fromUtf8(chat) << QByteArray("chatMessage") << QVariantList {mapOf(chat)};
    const QByteArray transferred
        = R"({"type":"session_transferred","session_id":5,"action":"removed"})";
    QTest::newRow("session_transferred")
        << QString::fromUtf8(transferred) << QByteArray("sessionTransferred")
        << QVariantList {mapOf(transferred)};
    const QByteArray online = R"({"type":"agent_online","agent_id":13})";
    QTest::newRow("agent_online") << QString::fromUtf8(online) << QByteArray("agentOnline")
                                  << QVariantList {mapOf(online)};
    const QByteArray offline = R"({"type":"agent_offline","agent_id":13})";
    QTest::newRow("agent_offline") << QString::fromUtf8(offline) << QByteArray("agentOffline")
                                   << QVariantList {mapOf(offline)};
}

void TestWssClient::incomingFrames()
{
    QFETCH(QString, frame);
    QFETCH(QByteArray, signal);
    QFETCH(QVariantList, args);

    connectUnauthenticated();
    AllSignals spies(m_client.get());
    m_server->pushText(frame);
    flush();

    const auto raised = spies.raised();
    if (signal.isEmpty()) {
        QCOMPARE(raised.size(), 0);
    } else {
        QCOMPARE(raised.size(), 1);
        QCOMPARE(raised.first().first, signal);
        QCOMPARE(raised.first().second, args);
    }
    QVERIFY(m_client->isConnected());
    QVERIFY(!m_client->isAuthenticated());
}

void TestWssClient::upperCaseAuthOkIgnored()
{
    connectUnauthenticated();
    AllSignals spies(m_client.get());
    m_server->pushText(QStringLiteral(R"({"type":"AUTH_OK"})"));
    m_server->pushText(QStringLiteral(R"({"type":"Auth_ok"})"));
    flush();
    QCOMPARE(spies.raised().size(), 0);
    QVERIFY(!m_client->isAuthenticated());
    QVERIFY(m_server->receivedFrames().isEmpty());

    // The real one authenticates and pings at once.
    m_server->pushText(QStringLiteral(R"({"type":"auth_ok"})"));
    QTRY_COMPARE(spies["authOk"].count(), 1);
    QVERIFY(m_client->isAuthenticated());
    QTRY_COMPARE(m_server->receivedFrames(), QStringList {QStringLiteral(R"({"type":"ping"})")});
}

void TestWssClient::hostileFrames()
{
    connectUnauthenticated();
    AllSignals spies(m_client.get());

    // Nesting far beyond any parser limit.
    const int depth = 200000;
    m_server->pushText(QString(depth, QLatin1Char('[')) + QString(depth, QLatin1Char(']')));
    m_server->pushText(QStringLiteral(R"({"type":"chat","x":)") + QString(depth, QLatin1Char('['))
                       + QString(depth, QLatin1Char(']')) + QLatin1Char('}'));
    // Moderately nested, still a valid chat frame.
    m_server->pushText(QStringLiteral(R"({"type":"chat","content":"deep","x":)")
                       + QString(100, QLatin1Char('[')) + QString(100, QLatin1Char(']'))
                       + QLatin1Char('}'));
    // Several megabytes.
    const QString huge(6 * 1024 * 1024, QLatin1Char('z'));
    m_server->pushText(QStringLiteral(R"({"type":"chat","content":"%1"})").arg(huge));
    m_server->pushText(QStringLiteral(R"({"type":"nothing","pad":"%1"})").arg(huge));
    m_server->pushText(QStringLiteral("{\"type\":\"chat\",\"content\":\"") + huge);
    m_server->pushBinary(QByteArray(R"({"type":"pong"})"));
    flush();

    QCOMPARE(spies["pong"].count(), 0);
    QSignalSpy &chats = spies["chatMessage"];
    QVERIFY(chats.count() == 2 || chats.count() == 3);
    QStringList contents;
    for (const QVariantList &args : std::as_const(chats))
        contents << args.first().toMap().value(QStringLiteral("content")).toString();
    QVERIFY(contents.contains(QStringLiteral("deep")));
    QVERIFY(contents.contains(huge));
    QVERIFY(m_client->isConnected());
    QCOMPARE(spies["disconnected"].count(), 0);
}

void TestWssClient::reconnectDelaysDouble()
{
    AllSignals spies(m_client.get());
    const QString token = m_server->issueToken(12);
    const QString auth
        = QStringLiteral(R"({"role":"agent","token":"%1","type":"auth"})").arg(token);
    m_client->connectToServer(token, QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 1);
    QCOMPARE(m_client->reconnectDelayMs(), 0);

    const QList<int> delays {30, 60, 120, 240, 300, 300, 300};
    for (int i = 0; i < delays.size(); ++i) {
        m_server->dropConnections();
        QTRY_COMPARE(spies["disconnected"].count(), i + 1);
        QVERIFY(!m_client->isAuthenticated());
        QCOMPARE(m_client->reconnectDelayMs(), delays.at(i));
        // Each reconnect authenticates again with the stored token, and the
        // delay is not reset by that success.
        QTRY_COMPARE(spies["authOk"].count(), i + 2);
        QCOMPARE(countFrames(m_server->receivedFrames(), auth), i + 2);
    }
    QCOMPARE(spies["connected"].count(), delays.size() + 1);
}

void TestWssClient::reconnectAfterServerClose()
{
    AllSignals spies(m_client.get());
    m_client->connectToServer(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 1);
    m_server->closeConnections(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("维护"));
    QTRY_COMPARE(spies["disconnected"].count(), 1);
    QCOMPARE(spies["disconnected"].first().at(0).value<ushort>(),
             ushort(QWebSocketProtocol::CloseCodeGoingAway));
    QCOMPARE(spies["disconnected"].first().at(1).toString(), QStringLiteral("维护"));
    QCOMPARE(m_client->reconnectDelayMs(), 30);
    QTRY_COMPARE(spies["authOk"].count(), 2);
}

void TestWssClient::manualDisconnectDoesNotReconnect()
{
    m_client->setHeartbeatIntervalMs(40);
    AllSignals spies(m_client.get());
    m_client->connectToServer(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 1);

    m_client->disconnectFromServer();
    QTRY_COMPARE(spies["disconnected"].count(), 1);
    QCOMPARE(spies["disconnected"].first().at(0).value<ushort>(),
             ushort(QWebSocketProtocol::CloseCodeNormal));
    QVERIFY(!m_client->isAuthenticated());
    QTRY_COMPARE(m_server->connectionCount(), 0);
    // Well past the reconnect delay: nothing comes back, no pings go out.
    m_server->clearReceivedFrames();
    QVERIFY(!spies["connected"].wait(400));
    QCOMPARE(spies["connected"].count(), 1);
    QCOMPARE(m_client->reconnectDelayMs(), 0);
    QVERIFY(m_server->receivedFrames().isEmpty());

    // An explicit connect opens the link again.
    m_client->connectToServer(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 2);

    // Signing out and straight back in: the closing link must not bring a
    // reconnect that would tear down the new one.
    m_client->disconnectFromServer();
    m_client->connectToServer(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 3);
    QVERIFY(!spies["connected"].wait(400));
    QCOMPARE(spies["connected"].count(), 3);
    QVERIFY(m_client->isAuthenticated());

    // Disconnecting while a reconnect is pending cancels it.
    m_server->dropConnections();
    QTRY_COMPARE(spies["disconnected"].count(), 3);
    QCOMPARE(m_client->reconnectDelayMs(), 30);
    m_client->disconnectFromServer();
    QVERIFY(!spies["connected"].wait(400));
    QCOMPARE(spies["connected"].count(), 3);
}

void TestWssClient::connectWhileConnecting()
{
    // A server that takes the TCP connection but never answers the upgrade.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    AllSignals spies(m_client.get());
    m_client->setUrl(QStringLiteral("ws://127.0.0.1:%1/wss").arg(silent.serverPort()));
    m_client->connectToServer(QStringLiteral("t"), QStringLiteral("agent"));
    QTRY_VERIFY(silent.hasPendingConnections());

    // Connecting elsewhere gives the hanging attempt up; that is no reason to
    // reconnect over the link the new attempt builds.
    m_client->setUrl(m_server->wssUrl());
    m_client->connectToServer(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_COMPARE(spies["authOk"].count(), 1);
    QVERIFY(!spies["connected"].wait(400));
    QCOMPARE(spies["connected"].count(), 1);
    QCOMPARE(m_client->reconnectDelayMs(), 0);
    QVERIFY(m_client->isAuthenticated());
}

void TestWssClient::unreachableServerKeepsRetrying()
{
    // A port nobody listens on.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();

    AllSignals spies(m_client.get());
    m_client->setUrl(QStringLiteral("ws://127.0.0.1:%1/wss").arg(port));
    m_client->connectToServer(QStringLiteral("t"), QStringLiteral("agent"));
    QTRY_VERIFY(spies["connectionError"].count() >= 1);
    QVERIFY(!spies["connectionError"].first().first().toString().isEmpty());
    // Refused attempts count as disconnects, so the client keeps trying.
    QTRY_VERIFY(m_client->reconnectDelayMs() >= 120);
    QCOMPARE(spies["connected"].count(), 0);

    m_client->disconnectFromServer();
    const int delay = m_client->reconnectDelayMs();
    QVERIFY(!spies["connected"].wait(400));
    QCOMPARE(m_client->reconnectDelayMs(), delay);
}

void TestWssClient::refusedHandshakeStillReconnects()
{
    // An HTTP error answer to the upgrade, with the TCP connection kept alive.
    QTcpServer gate;
    QVERIFY(gate.listen(QHostAddress::LocalHost));
    int attempts = 0;
    connect(&gate, &QTcpServer::newConnection, &gate, [&gate, &attempts] {
        ++attempts;
        QTcpSocket *socket = gate.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->readAll();
            if (socket->isWritable())
                socket->write("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
        });
    });

    AllSignals spies(m_client.get());
    m_client->setUrl(QStringLiteral("ws://127.0.0.1:%1/wss").arg(gate.serverPort()));
    m_client->connectToServer(QStringLiteral("t"), QStringLiteral("agent"));
    QTRY_VERIFY(spies["connectionError"].count() >= 1);
    QTRY_VERIFY(spies["disconnected"].count() >= 1);
    QTRY_VERIFY(attempts >= 3);
    QCOMPARE(spies["connected"].count(), 0);
    m_client->disconnectFromServer();
}

void TestWssClient::destructionClosesLink()
{
    m_client->connectToServer(m_server->issueToken(12), QStringLiteral("agent"));
    QTRY_COMPARE(m_server->authenticatedCount(), 1);
    m_client.reset();
    QTRY_COMPARE(m_server->connectionCount(), 0);
}

ORVANTIS_TEST_MAIN(TestWssClient)
#include "tst_wssclient.moc"
