#include "testsupport.h"

#include "devserver/server.h"
#include "net/apiclient.h"

using Call = std::function<void(ApiClient &)>;

namespace {

// Signal arguments as compact JSON without the brackets; sessions and
// messages as their ids.
QString text(const QVariantList &args)
{
    QJsonArray plain;
    for (const QVariant &arg : args) {
        QVariantList ids;
        for (const ChatSession &session : arg.value<QList<ChatSession>>())
            ids << session.id;
        for (const ChatMessage &message : arg.value<QList<ChatMessage>>())
            ids << message.id;
        if (arg.metaType() == QMetaType::fromType<ChatSession>())
            ids << arg.value<ChatSession>().id;
        plain << QJsonValue::fromVariant(QByteArray(arg.typeName()).contains("Chat") ? ids : arg);
    }
    return QString::fromUtf8(QJsonDocument(plain).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

struct AllSignals : TestSupport::SignalSpies
{
    using SignalSpies::SignalSpies;
    // Every signal raised so far as "name(arg,arg)", by name.
    QString raised() const
    {
        QStringList all;
        for (const auto &[name, spy] : m_spies)
            for (const QVariantList &args : std::as_const(*spy))
                all << QString::fromLatin1(name) + '(' + text(args) + ')';
        return all.join(' ');
    }
};

} // namespace

class TestApiClient : public QObject
{
    Q_OBJECT

    DevServer::Server m_server, m_other; // the other one stands for a foreign origin
    std::unique_ptr<ApiClient> m_client;
    QString m_token; // the client starts signed in with it
    QSettings m_store {"orvantis", "config"};

    void waitIdle() { QTRY_COMPARE(m_client->pendingRequestCount(), 0); }

private slots:
    void initTestCase() { QVERIFY(m_server.listen() && m_other.listen()); }
    void init()
    {
        m_server.clearRequests();
        m_store.setValue("token", m_token = m_server.issueToken(12));
        m_client = std::make_unique<ApiClient>();
        m_client->setBaseUrl(m_server.restBaseUrl());
        m_client->restoreToken();
    }

    void roundTrips_data(); // defined below the class
    void roundTrips();

    void imageUpload_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("plain") << "paste_20240301.png" << QByteArray("paste_20240301.png");
        QTest::newRow("header injection") << "a\".png\"\r\nX-Evil: 1\r\n\\\t\x7f照片.png"
                                          << QByteArray("a%22.png%22X-Evil: 1%5C照片.png");
        QTest::newRow("only control characters") << "\r\n" << QByteArray("image.png");
    }

    void imageUpload()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, sent);
        const QByteArray image
            = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(70000, 'Z') + "--not-a-boundary\r\n";
        m_client->uploadChatImage(image, name);
        waitIdle();
        const auto request = m_server.requests().value(0);
        QCOMPARE(request.path, "/api/upload/chat-image");
        QVERIFY(!request.hasHeader("Authorization")); // the endpoint takes no token
        const QByteArray type = request.header("Content-Type");
        QVERIFY2(type.startsWith("multipart/form-data; boundary="), type.constData());
        // Exactly one part, byte for byte.
        const QByteArray delimiter = "--" + type.mid(type.indexOf('=') + 1).replace('"', "");
        QCOMPARE(request.body,
                 delimiter
                     + "\r\nContent-Type: image/png\r\nContent-Disposition: form-data; "
                       "name=\"file\"; filename=\""
                     + sent + "\"\r\n\r\n" + image + "\r\n" + delimiter + "--\r\n");
    }

    void signOutAndIn()
    {
        AllSignals spies(m_client.get());
        m_client->sendPostRequest("/auth/logout", {});
        waitIdle();
        QVERIFY(!m_store.contains("token"));
        m_client->sendPostRequest("/agent/login", {{"account", "demo"}, {"password", "demo123"}});
        waitIdle();
        const QString token = m_client->token();
        QCOMPARE(m_store.value("token").toString(), token);
        QCOMPARE(spies.raised(),
                 R"(loginSuccess(")" + token
                     + R"(",{"id":12,"member_id":3,"name":"演示坐席"}) logoutSuccess())");
        m_client->sendGetRequest("/agent/channel");
        waitIdle();
        const auto sent = m_server.requests();
        QCOMPARE(sent.value(0).header("Authorization"), "Bearer " + m_token.toUtf8());
        QVERIFY(!sent.value(1).hasHeader("Authorization"));
        QCOMPARE(sent.value(2).header("Authorization"), "Bearer " + token.toUtf8());
    }

    // Each request tells its own caller how it ended; abandoned or aborted
    // requests tell nobody, not even through the client-wide signals.
    void requestIdentity()
    {
        AllSignals spies(m_client.get());
        m_server.injectFault("/chat/mark-read", DevServer::Fault::Http500);
        m_server.delayReplies("/chat/messages", 200, 2);
        QStringList ended; // "<path> ok" or "<path> <error>", as each request tells
        QPointer<ApiRequest> abandoned = m_client->getMessages(1, {});
        for (ApiRequest *request : {m_client->sendGetRequest("/chat/channel-sessions"),
                                    m_client->markRead(3), abandoned.data()}) {
            const QString path = request->path() + ' ';
            connect(request, &ApiRequest::succeeded, this, [&, path] { ended << path + "ok"; });
            connect(request, &ApiRequest::failed, this,
                    [&, path](auto error) { ended << path + error; });
        }
        abandoned->abandon(); // still sent, never heard of
        waitIdle();
        // Aborted from inside another request's handler: that request's
        // client-wide signal is not raised either.
        ApiRequest *channel = m_client->sendGetRequest("/agent/channel");
        m_client->getMessages(2, {});
        connect(channel, &ApiRequest::succeeded, m_client.get(),
                [this] { m_client->abortAllRequests(); });
        QTRY_COMPARE(m_server.requestsTo("/chat/messages").size(), 2);
        // Every reply is released once it is over, heard of or not: then
        // nothing is left to be heard.
        QTRY_COMPARE(m_client->findChildren<QNetworkReply *>().size(), 0);
        ended.sort();
        QCOMPARE(ended.join(';'),
                 "/chat/channel-sessions ok;/chat/mark-read "
                     + spies["apiError"].value(0).value(0).toString());
        QCOMPARE(spies.total(), 2); // the sessions and the failure, nothing else
    }
};

// What each call sends (in full, with the token), and what its answer raises:
// exactly that signal, with the token left alone.
void TestApiClient::roundTrips_data()
{
    QTest::addColumn<Call>("call"); // without one, a plain GET of the path and query
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("query"); // the items as received
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply"); // for a redirect, where to
    QTest::addColumn<QString>("raised"); // "*" ends a prefix
    auto ok = [](const char *d) { return R"({"code":200,"data":)" + QByteArray(d) + '}'; };
    // Paged lists take strict JSON types; a message list's session is the one asked for.
    const QByteArray page
        = ok(R"({"list":[{"id":4},{"id":2}],"total":9,"has_more":true,"session_id":99})");
    const QStringList history {"session_id=9"};
    const auto row = [](const char *name, const QString &path, const QStringList &query,
                        const QByteArray &body, int status, const QByteArray &reply,
                        const QString &raised, const Call &call = {}) {
        QTest::newRow(name) << call << path << query << body << status << reply << raised;
    };
    row("messages", "/chat/messages", {"limit=50", "page=1", "session_id=12"}, {}, 200, page,
        "messagesReceived(12,[4,2],9,true)", [](auto &c) { c.getMessages(12, {}); });
    row("messages before a time: total as text, has_more a number", "/chat/messages",
        {"before_time=2024-03-01T08:09:10+08:00", "limit=50", "page=1", "session_id=5"}, {}, 200,
        ok(R"({"total":"12","has_more":1})"), "messagesReceived(5,[],0,false)",
        [](auto &c) { c.getMessages(5, "2024-03-01T08:09:10+08:00"); });
    row("records", "/chat/records", {"limit=20", "page=3", "status="}, {}, 200, page,
        "receptionRecordsReceived([4,2],9,true)",
        [](auto &c) { c.getReceptionRecords({}, 3, {}); });
    row("records: a keyword needing escapes, the list an object", "/chat/records",
        {"keyword=C++ 张三&x=1#frag", "limit=20", "page=1", "status=closed"}, {}, 200,
        ok(R"({"list":{"id":3},"total":1})"), "receptionRecordsReceived([],1,false)",
        [](auto &c) { c.getReceptionRecords("closed", 1, "C++ 张三&x=1#frag"); });
    row("history", "/chat/history", {"limit=50", "page=2", "session_id=7"}, {}, 200, page,
        "historyReceived(7,[4,2],9,true)", [](auto &c) { c.getHistory(7, 2); });
    row("mark read", "/chat/mark-read", {}, R"({"session_id":12})", 200, R"({"code":200})", "",
        [](auto &c) { c.markRead(12); });
    row("remark", "/chat/update-session", {}, R"({"remark":"老客户 \"VIP\"","session_id":5})", 200,
        ok("{}"), "remarkUpdated(5)", [](auto &c) { c.updateSessionRemark(5, "老客户 \"VIP\""); });
    row("sessions", "/chat/channel-sessions", {}, {}, 200, page, "sessionsReceived([4,2],9,true)");
    row("history: a bare list", "/chat/history", history, {}, 200, ok(R"([{"id":1}])"),
        "historyReceived(9,[],0,false)");
    row("history: entries of every kind", "/chat/history", history, {}, 200,
        ok(R"({"list":[1,"x",null,[2],{"id":5}]})"), "historyReceived(9,[0,0,0,0,5],0,false)");
    row("500", "/chat/history", history, {}, 500, ok("{}"), "apiError(\"*");
    row("401", "/chat/history", history, {}, 401, page, "authExpired()");
    row("no JSON", "/chat/history", history, {}, 200, "<html>oops</html>",
        R"(apiError("JSON解析失败"))");
    row("no object", "/chat/history", history, {}, 200, "[1,2,3]", R"(apiError("请求失败"))");
    row("code as text", "/chat/history", history, {}, 200,
        R"({"code":"200","msg":"字符串","data":{}})", R"(apiError("字符串"))");
    row("message a number", "/chat/history", history, {}, 200, R"({"code":403,"msg":17})",
        R"(apiError("请求失败"))");
    // The bearer token must not follow a redirect to another origin.
    row("redirect, same origin", "/agent/list", {}, {}, 302,
        m_server.restBaseUrl().toUtf8() + "/agent/channel", "agentListReceived([])");
    row("redirect, other origin", "/agent/list", {}, {}, 302,
        m_other.restBaseUrl().toUtf8() + "/agent/channel", "apiError(\"*");
    row("unrouted", "/agent/online", {}, {}, 200, ok(R"({"x":1})"), "");
    row("send", "/chat/send", {}, {}, 200, ok(R"({"msg_id":41,"session_id":9})"),
        "messageSent(41,9)");
    row("close", "/chat/close-session", {}, {}, 200, ok(R"({"session_id":6})"), "sessionClosed(6)");
    row("delete", "/chat/delete-session", {}, {}, 200, ok(R"({"session_id":6})"),
        "sessionDeleted(6)");
    row("user", "/user/info", {}, {}, 200, ok(R"({"id":12})"), R"(userInfoReceived({"id":12}))");
    row("channel", "/chat/my-channel", {}, {}, 200, ok(R"({"a":1})"),
        R"(channelInfoReceived({"a":1}))");
    row("session", "/chat/session-info", {}, {}, 200, ok(R"({"id":5})"),
        "sessionInfoReceived([5])");
    // Every key of an agent entry is kept; entries that are no objects become empty maps.
    row("agents", "/agent/list", {}, {}, 200, ok(R"([{"id":3,"extra":{"k":[1]}},7])"),
        R"(agentListReceived([{"extra":{"k":[1]},"id":3},{}]))");
    row("upload", "/upload/chat-image", {}, {}, 200, ok(R"({"url":"u"})"), R"(imageUploaded("u"))");
}

void TestApiClient::roundTrips()
{
    QFETCH(Call, call);
    QFETCH(QString, path);
    QFETCH(QStringList, query);
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(QString, raised);
    AllSignals spies(m_client.get());
    m_server.setRawReply(path, status, reply);
    if (call)
        call(*m_client);
    else
        m_client->sendGetRequest(query.isEmpty() ? path : path + '?' + query.join('&'));
    waitIdle();
    const auto request = m_server.requests().value(0);
    QCOMPARE(request.path, "/api" + path);
    QStringList received;
    for (const auto &item : request.query.queryItems(QUrl::FullyDecoded))
        received << item.first + '=' + item.second;
    QCOMPARE(received, query);
    QTEST(request.method == "POST"
              ? QJsonDocument(request.jsonBody()).toJson(QJsonDocument::Compact)
              : QByteArray(),
          "body");
    // A bare "+" would reach a form-decoding service as a space.
    QVERIFY2(!request.rawQuery.contains('+'), qPrintable(request.rawQuery));
    QCOMPARE(request.header("Content-Type"), "application/json");
    QCOMPARE(request.header("Authorization"), "Bearer " + m_token.toUtf8());
    QCOMPARE(spies.total(), raised.isEmpty() ? 0 : 1);
    const bool prefix = raised.endsWith('*'); // texts of the network stack vary
    QCOMPARE(spies.raised().left(prefix ? raised.size() - 1 : -1), raised.chopped(prefix));
    QCOMPARE(m_client->token(), m_token);
    QCOMPARE(m_store.value("token").toString(), m_token);
    QCOMPARE(m_other.requests().size(), 0);
}

ORVANTIS_TEST_MAIN(TestApiClient)
#include "tst_apiclient.moc"
