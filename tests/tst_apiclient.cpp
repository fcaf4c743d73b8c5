#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/apiclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSettings>
#include <QSignalSpy>

#include <map>
#include <memory>

using StandIn::Fault;
using StandIn::RecordedRequest;
using StandIn::StandInServer;

namespace {

QSettings clientSettings()
{
    return QSettings("orvantis", "config");
}

QString makeToken(const QByteArray &payload)
{
    const auto options = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
    return "eyJhbGciOiJIUzI1NiJ9." + QString::fromLatin1(payload.toBase64(options)) + ".c2ln";
}

// Maps and lists as compact JSON, texts quoted, a session as id and name.
QString compactJson(const QVariant &value)
{
    const QJsonDocument doc = QJsonDocument::fromVariant(value);
    if (!doc.isNull())
        return QString::fromUtf8(doc.toJson(QJsonDocument::Compact));
    if (value.metaType() == QMetaType::fromType<ChatSession>())
        return QString::number(value.value<ChatSession>().id) + ' '
            + value.value<ChatSession>().displayName();
    return value.typeId() == QMetaType::QString ? '"' + value.toString() + '"' : value.toString();
}

QList<int> idsOf(const QVariant &records)
{
    QList<int> ids;
    for (const ChatSession &session : records.value<QList<ChatSession>>())
        ids << session.id;
    for (const ChatMessage &message : records.value<QList<ChatMessage>>())
        ids << message.id;
    return ids;
}

// Every signal of the client, so a test can say that nothing else happened.
class AllSignals : public TestSupport::SignalSpies
{
public:
    explicit AllSignals(ApiClient *client) : SignalSpies(client) { }
    // Every signal raised so far as "name(arg,arg)".
    QString raised() const
    {
        QStringList all;
        for (const auto &[name, spy] : m_spies) {
            for (const QVariantList &args : std::as_const(*spy)) {
                QStringList texts;
                for (const QVariant &arg : args)
                    texts << compactJson(arg);
                all << QString::fromLatin1(name) + '(' + texts.join(',') + ')';
            }
        }
        return all.join(' ');
    }
};

} // namespace

class TestApiClient : public QObject
{
    Q_OBJECT

    std::unique_ptr<StandInServer> m_server;
    std::unique_ptr<ApiClient> m_client;

    // Signs the client in without going through the sign-in route.
    void useToken(const QString &token)
    {
        clientSettings().setValue("token", token);
        QCOMPARE(m_client->restoreToken(), token);
    }
    void waitIdle() { QTRY_COMPARE(m_client->pendingRequestCount(), 0); }
    void signInAsDemo()
    {
        m_client->sendPostRequest("/agent/login", {{"account", "demo"}, {"password", "demo123"}});
    }

private slots:
    void init()
    {
        clientSettings().remove("token");
        m_server = std::make_unique<StandInServer>();
        QVERIFY(m_server->listen());
        m_client = std::make_unique<ApiClient>();
        m_client->setBaseUrl(m_server->restBaseUrl());
    }

    void cleanup()
    {
        m_client.reset();
        m_server.reset();
    }

    void queries_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("items"); // decoded, in the order received, one per line
        QTest::newRow("messages") << 0 << "/api/chat/messages"
                                  << "limit=50\npage=1\nsession_id=12";
        QTest::newRow("messages before")
            << 1 << "/api/chat/messages"
            << "before_time=2024-03-01T08:09:10+08:00\nlimit=50\npage=1\nsession_id=5";
        QTest::newRow("records, empty status and keyword") << 2 << "/api/chat/records"
                                                           << "limit=20\npage=3\nstatus=";
        QTest::newRow("records, keyword needing escapes")
            << 3 << "/api/chat/records"
            << "keyword=C++ 张三&x=1#frag\nlimit=20\npage=1\nstatus=closed";
        QTest::newRow("history") << 4 << "/api/chat/history"
                                 << "limit=50\npage=2\nsession_id=7";
        QTest::newRow("generic, keys sorted") << 5 << "/api/chat/channel-sessions"
                                              << "limit=50\npage=1";
    }

    void queries()
    {
        QFETCH(int, call);
        QFETCH(QString, path);
        QFETCH(QString, items);
        switch (call) {
        case 0:
            m_client->getMessages(12, QString());
            break;
        case 1:
            m_client->getMessages(5, "2024-03-01T08:09:10+08:00");
            break;
        case 2:
            m_client->getReceptionRecords(QString(), 3, QString());
            break;
        case 3:
            m_client->getReceptionRecords("closed", 1, "C++ 张三&x=1#frag");
            break;
        case 4:
            m_client->getHistory(7, 2);
            break;
        case 5:
            m_client->sendGetRequest("/chat/channel-sessions", {{"page", "1"}, {"limit", "50"}});
            break;
        }
        QTRY_COMPARE(m_server->requests().size(), 1);
        const RecordedRequest request = m_server->requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json")); // on GET too
        QCOMPARE(request.path, path);
        QStringList received;
        for (const auto &item : request.query.queryItems(QUrl::FullyDecoded))
            received << item.first + '=' + item.second;
        QCOMPARE(received.join('\n'), items);
        // A bare "+" would reach a form-decoding service as a space.
        QVERIFY2(!request.rawQuery.contains('+'), qPrintable(request.rawQuery));
        waitIdle();
    }

    void postBodies()
    {
        m_client->markRead(12);
        m_client->updateSessionRemark(5, "老客户 \"VIP\"");
        m_client->sendPostRequest("/agent/online", {});
        QTRY_COMPARE(m_server->requests().size(), 3);
        // Indented serialisation, the id as a bare number.
        QCOMPARE(m_server->requestsTo("/chat/mark-read").first().body,
                 QByteArray("{\n    \"session_id\": 12\n}\n"));
        QCOMPARE(m_server->requestsTo("/chat/update-session").first().jsonBody(),
                 (QJsonObject {{"session_id", 5}, {"remark", "老客户 \"VIP\""}}));
        QCOMPARE(m_server->requestsTo("/agent/online").first().body, QByteArray("{\n}\n"));
        // Without a token no Authorization header at all; with one, see signIn.
        for (const RecordedRequest &request : m_server->requests()) {
            QVERIFY(!request.hasHeader("Authorization"));
            QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        }
        waitIdle();
    }

    // One table for the dispatcher: every reply raises exactly the signal given
    // ("*" ends a prefix for texts of the network stack) and never touches the token.
    void replies_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("raised"); // empty: no signal at all
        auto row = [](const char *tag, const char *path, int status, const QByteArray &body,
                      const QString &raised) {
            QTest::newRow(tag) << QString::fromUtf8(path) << status << body << raised;
        };
        // A success envelope around the given data.
        auto ok
            = [](const char *data) { return "{\"code\":200,\"data\":" + QByteArray(data) + '}'; };
        const char *history = "/chat/history";
        const QString failed = R"(apiError("请求失败"))";
        const QString notJson = R"(apiError("JSON解析失败"))";
        row("http 500", history, 500, ok("{}"), "apiError(\"*");
        row("http 401 on sign-in", "/agent/login", 401, R"({"code":401})", "authExpired()");
        row("http 401, success body", history, 401, ok(R"({"list":[{"id":1}]})"), "authExpired()");
        row("not json", history, 200, "<html>oops</html>", notJson);
        row("empty body", history, 200, "", notJson);
        row("array body", history, 200, "[1,2,3]", failed);
        row("code as string", history, 200, R"({"code":"200","msg":"字符串代码","data":{}})",
            R"(apiError("字符串代码"))");
        row("code as string, no msg", history, 200, R"({"code":"200","data":{"list":[]}})", failed);
        row("code missing", history, 200, R"({"data":{"list":[]}})", failed);
        row("msg not a string", history, 200, R"({"code":403,"msg":17})", failed);
        row("mark-read refused", "/chat/mark-read", 200, R"({"code":400,"msg":"不行"})",
            R"(apiError("不行"))");
        row("mark-read", "/chat/mark-read", 200, R"({"code":200})", "");
        row("online", "/agent/online", 200, ok(R"({"x":1})"), "");
        // Paths nobody in the program requests are still routed when answered.
        row("send", "/chat/send", 200, ok(R"({"msg_id":41,"session_id":9})"), "messageSent(41,9)");
        row("close", "/chat/close-session", 200, ok(R"({"session_id":6})"), "sessionClosed(6)");
        row("delete", "/chat/delete-session", 200, ok(R"({"session_id":6})"), "sessionDeleted(6)");
        row("user info", "/user/info", 200, ok(R"({"id":12,"name":"演示"})"),
            R"(userInfoReceived({"id":12,"name":"演示"}))");
        row("my channel", "/chat/my-channel", 200, ok(R"({"code":"c1"})"),
            R"(channelInfoReceived({"code":"c1"}))");
        row("session info", "/chat/session-info", 200, ok(R"({"id":5,"visitor_id":"v-abcdefgh"})"),
            "sessionInfoReceived(5 bcdefgh)");
        // Every key of an agent entry is kept; entries that are no objects become empty maps.
        row("agent list", "/agent/list", 200, ok(R"([{"id":3,"extra":{"k":[1]}},7])"),
            R"(agentListReceived([{"extra":{"k":[1]},"id":3},{}]))");
        row("agent list, data an object", "/agent/list", 200, ok(R"({"list":[{"id":3}]})"),
            "agentListReceived([])");
        row("upload without url", "/upload/chat-image", 200, ok("{}"), R"(imageUploaded(""))");
    }

    void replies()
    {
        QFETCH(QString, path);
        QFETCH(int, httpStatus);
        QFETCH(QByteArray, body);
        QFETCH(QString, raised);
        useToken("kept-token");
        AllSignals spies(m_client.get());
        m_server->setRawReply(path, httpStatus, body);
        // The method does not matter to the dispatcher; only the path does.
        m_client->sendPostRequest(path, {});
        QTRY_COMPARE(m_server->requests().size(), 1);
        waitIdle();
        QCOMPARE(spies.total(), raised.isEmpty() ? 0 : 1);
        if (raised.endsWith('*'))
            QVERIFY2(spies.raised().startsWith(raised.chopped(1)), qPrintable(spies.raised()));
        else
            QCOMPARE(spies.raised(), raised);
        // The client only reports a failure or a 401; it never drops the token itself.
        QCOMPARE(m_client->token(), "kept-token");
        QCOMPARE(clientSettings().value("token").toString(), "kept-token");
    }

    void pagedLists_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QList<int>>("ids");
        QTest::addColumn<int>("total");
        QTest::addColumn<bool>("hasMore");
        auto row = [](const char *tag, const char *data, QList<int> ids, int total, bool hasMore) {
            QTest::newRow(tag) << QByteArray(data) << ids << total << hasMore;
        };
        // The session id of a message list comes from the request, never from the body.
        row("regular", R"({"list":[{"id":4},{"id":2}],"total":9,"has_more":true,"session_id":99})",
            {4, 2}, 9, true);
        row("no list", R"({"total":3,"has_more":false})", {}, 3, false);
        row("data is an array", R"([{"id":1}])", {}, 0, false);
        row("has_more as 1", R"({"list":[],"total":1,"has_more":1})", {}, 1, false);
        row("total as text", R"({"list":[],"total":"12","has_more":true})", {}, 0, true);
        row("list not an array", R"({"list":{"id":3},"total":1})", {}, 1, false);
        row("elements not objects", R"({"list":[1,"x",null,[2],{"id":5}],"total":5})",
            {0, 0, 0, 0, 5}, 5, false);
    }

    void pagedLists()
    {
        QFETCH(QByteArray, data);
        QFETCH(QList<int>, ids);
        QFETCH(int, total);
        QFETCH(bool, hasMore);
        AllSignals spies(m_client.get());
        const QByteArray body = R"({"code":200,"msg":"","data":)" + data + "}";
        for (const char *path : {"/channel-sessions", "/chat/records", "/messages", "/history"})
            m_server->setRawReply(path, 200, body);
        m_client->sendGetRequest("/chat/channel-sessions");
        m_client->getReceptionRecords(QString(), 1, QString());
        m_client->getMessages(8, QString());
        m_client->getHistory(9, 1);
        QTRY_COMPARE(spies.total(), 4);
        waitIdle();

        // Session lists carry (list, total, more), message lists (session, list, total, more).
        for (const char *name : {"sessionsReceived", "receptionRecordsReceived", "messagesReceived",
                                 "historyReceived"}) {
            QCOMPARE(spies[name].count(), 1);
            QVariantList args = spies[name].first();
            if (args.size() == 4)
                QCOMPARE(args.takeFirst().toInt(), qstrcmp(name, "messagesReceived") == 0 ? 8 : 9);
            QCOMPARE(idsOf(args.at(0)), ids);
            QCOMPARE(args.at(1).toInt(), total);
            QCOMPARE(args.at(2).toBool(), hasMore);
        }
    }

    void overlappingRemarkUpdatesNameTheirOwnSession()
    {
        useToken(m_server->issueToken(12));
        const int first = m_server->addSession();
        const int second = m_server->addSession();
        AllSignals spies(m_client.get());

        // A failed update must not leave its session behind for the next one.
        m_server->injectFault("/chat/update-session", Fault::Http500);
        m_client->updateSessionRemark(second, "x");
        QTRY_COMPARE(spies["apiError"].count(), 1);

        // One update is held back, so the replies cross.
        m_server->delayReplies("/chat/update-session", 300, 1);
        m_client->updateSessionRemark(first, "一");
        m_client->updateSessionRemark(second, "二");
        QTRY_COMPARE(spies["remarkUpdated"].count(), 2);
        waitIdle();
        const int a = spies["remarkUpdated"].at(0).first().toInt();
        QCOMPARE(QList<int>({a, spies["remarkUpdated"].at(1).first().toInt()}),
                 a == first ? QList<int>({first, second}) : QList<int>({second, first}));
        QCOMPARE(spies.total(), 3);
    }

    void imageUpload()
    {
        useToken(m_server->issueToken(12));
        const QByteArray image
            = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(70000, 'Z') + "--not-a-boundary\r\n";
        AllSignals spies(m_client.get());
        m_client->uploadChatImage(image, "paste_20240301.png");
        QTRY_COMPARE(spies["imageUploaded"].count(), 1);
        QCOMPARE(spies.total(), 1);

        const RecordedRequest request = m_server->requestsTo("/upload/chat-image").first();
        QCOMPARE(request.path, "/api/upload/chat-image");
        QVERIFY(!request.hasHeader("Authorization"));
        const QByteArray contentType = request.header("Content-Type");
        QVERIFY2(contentType.startsWith("multipart/form-data; boundary="), contentType.constData());

        // Exactly one part, byte for byte.
        const QByteArray delimiter
            = "--" + contentType.mid(contentType.indexOf('=') + 1).replace('"', "");
        QCOMPARE(request.body,
                 delimiter
                     + "\r\nContent-Type: image/png\r\nContent-Disposition: form-data; "
                       "name=\"file\"; filename=\"paste_20240301.png\"\r\n\r\n"
                     + image + "\r\n" + delimiter + "--\r\n");
    }

    void signIn()
    {
        AllSignals spies(m_client.get());
        signInAsDemo();
        QTRY_COMPARE(spies["loginSuccess"].count(), 1);
        const QString token = spies["loginSuccess"].first().at(0).toString();
        QVERIFY(!token.isEmpty());
        QCOMPARE(compactJson(spies["loginSuccess"].first().at(1)),
                 R"({"id":12,"member_id":3,"name":"演示坐席"})");
        QCOMPARE(m_client->token(), token);
        QCOMPARE(clientSettings().value("token").toString(), token);
        // The new token is used from now on.
        m_client->sendGetRequest("/agent/channel");
        QTRY_COMPARE(spies["channelInfoReceived"].count(), 1);
        QCOMPARE(m_server->requestsTo("/agent/channel").first().header("Authorization"),
                 "Bearer " + token.toUtf8());

        // A success without a token stores and announces an empty one; strict
        // JSON types: a number sent as text is no number.
        m_server->setRawReply("/agent/login", 200,
                              R"({"code":200,"data":{"agent_id":"12","name":5,"member_id":3}})");
        m_client->sendPostRequest("/agent/login", {});
        QTRY_COMPARE(spies["loginSuccess"].count(), 2);
        QCOMPARE(spies["loginSuccess"].at(1).at(0).toString(), QString());
        QCOMPARE(compactJson(spies["loginSuccess"].at(1).at(1)),
                 R"({"id":0,"member_id":3,"name":""})");
        QCOMPARE(m_client->token(), QString());
        QVERIFY(clientSettings().contains("token"));
        QCOMPARE(clientSettings().value("token").toString(), QString());
    }

    void signOut()
    {
        useToken(m_server->issueToken(12));
        AllSignals spies(m_client.get());
        m_client->sendPostRequest("/auth/logout", {});
        QTRY_COMPARE(spies["logoutSuccess"].count(), 1);
        QCOMPARE(m_client->token(), QString());
        QVERIFY(!clientSettings().contains("token"));

        // The reply arriving after the token was already cleared locally.
        useToken(m_server->issueToken(12));
        m_client->sendPostRequest("/auth/logout", {});
        m_client->clearToken();
        QTRY_COMPARE(spies["logoutSuccess"].count(), 2);
        QVERIFY(!clientSettings().contains("token"));
        QCOMPARE(spies.total(), 2);
    }

    // Each request tells its own caller how it ended; abandoned or aborted
    // requests tell nobody, not even the client-wide signals.
    void requestIdentity()
    {
        useToken(m_server->issueToken(12));
        AllSignals spies(m_client.get());
        m_server->injectFault("/chat/mark-read", Fault::Http500);
        m_server->injectFault("/chat/history", Fault::Http401);
        ApiRequest *page = m_client->sendGetRequest("/chat/channel-sessions");
        ApiRequest *read = m_client->markRead(3);
        ApiRequest *history = m_client->getHistory(3, 1);
        QSignalSpy pageOk(page, &ApiRequest::succeeded), pageFailed(page, &ApiRequest::failed);
        QSignalSpy readFailed(read, &ApiRequest::failed),
            historyFailed(history, &ApiRequest::failed);
        waitIdle();
        QCOMPARE(pageOk.count(), 1);
        QCOMPARE(pageFailed.count(), 0);
        QCOMPARE(readFailed.count(), 1);
        QCOMPARE(historyFailed.first().first().toString(), "认证失败");
        QCOMPARE(spies["apiError"].first().first(), readFailed.first().first());
        QCOMPARE(spies["authExpired"].count(), 1);

        // Abandoned: still sent, never heard of.
        m_server->delayReplies("/chat/messages", 200, 2);
        QPointer<ApiRequest> abandoned = m_client->getMessages(1, QString());
        QSignalSpy abandonedDone(abandoned.data(), &ApiRequest::succeeded);
        abandoned->abandon();
        QCOMPARE(m_client->pendingRequestCount(), 0);
        // Aborted from inside another request's handler: the client-wide
        // signal of that request is not raised either.
        ApiRequest *channel = m_client->sendGetRequest("/agent/channel");
        m_client->getMessages(2, QString());
        connect(channel, &ApiRequest::succeeded, m_client.get(),
                [this] { m_client->abortAllRequests(); });
        QTRY_VERIFY(!abandoned);
        QTRY_COMPARE(m_server->requestsTo("/chat/messages").size(), 2);
        QVERIFY(!spies["messagesReceived"].wait(500));
        QCOMPARE(abandonedDone.count(), 0);
        QCOMPARE(spies["channelInfoReceived"].count(), 0);
        QCOMPARE(m_client->pendingRequestCount(), 0);
    }

    // The bearer token never leaves for another origin, and such a redirect
    // is reported, not followed.
    void redirects_data()
    {
        QTest::addColumn<bool>("sameOrigin");
        QTest::newRow("same origin") << true;
        QTest::newRow("other origin") << false;
    }

    void redirects()
    {
        QFETCH(bool, sameOrigin);
        StandInServer other;
        QVERIFY(other.listen());
        useToken(m_server->issueToken(12));
        const QString target
            = (sameOrigin ? m_server->restBaseUrl() : other.restBaseUrl()) + "/agent/channel";
        m_server->setRawReply("/agent/list", 302, target.toUtf8());
        AllSignals spies(m_client.get());
        m_client->sendGetRequest("/agent/list");
        waitIdle();
        QCOMPARE(other.requests().size(), 0);
        // The reply is routed by the path asked for, whatever answered it.
        QCOMPARE(spies[sameOrigin ? "agentListReceived" : "apiError"].count(), 1);
        QCOMPARE(spies.total(), 1);
    }

    void userInfoFromToken_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("expected");
        QTest::newRow("full") << makeToken(
            R"({"uid":12,"name":"演示坐席","role":"agent","member_id":3,"exp":1})")
                              << R"({"id":12,"member_id":3,"name":"演示坐席","role":"agent"})";
        // Payload bytes chosen so that the URL-safe alphabet ("-", "_") shows up.
        QTest::newRow("url-safe alphabet, no uid")
            << makeToken(R"({"name":"?>?>?>~~~"})")
            << R"({"id":0,"member_id":0,"name":"?>?>?>~~~","role":""})";
        QTest::newRow("two parts only") << makeToken(R"({"uid":7})").section('.', 0, 1)
                                        << R"({"id":7,"member_id":0,"name":"","role":""})";
        QTest::newRow("no dot") << "opaque-token"
                                << "{}";
        QTest::newRow("payload an array") << makeToken("[1,2]") << "{}";
    }

    void userInfoFromToken()
    {
        QFETCH(QString, token);
        QFETCH(QString, expected);
        useToken(token);
        QCOMPARE(compactJson(m_client->userInfoFromToken()), expected);
    }
};

ORVANTIS_TEST_MAIN(TestApiClient)
#include "tst_apiclient.moc"
