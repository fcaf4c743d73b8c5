#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/apiclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>

#include <memory>

using StandIn::Fault;
using StandIn::RecordedRequest;
using StandIn::StandInServer;

namespace {

QSettings clientSettings()
{
    return QSettings(QStringLiteral("orvantis"), QStringLiteral("config"));
}

QByteArray envelope(const QJsonValue &data)
{
    return QJsonDocument(QJsonObject {{QStringLiteral("code"), 200},
                                      {QStringLiteral("msg"), QStringLiteral("ok")},
                                      {QStringLiteral("data"), data}})
        .toJson(QJsonDocument::Compact);
}

QString makeToken(const QByteArray &payload)
{
    return QStringLiteral("eyJhbGciOiJIUzI1NiJ9.%1.c2ln")
        .arg(QString::fromLatin1(
            payload.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)));
}

QStringList queryKeys(const RecordedRequest &request)
{
    QStringList keys;
    const auto items = request.query.queryItems();
    for (const auto &item : items)
        keys << item.first;
    return keys;
}

struct Part
{
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
};

// A minimal form-data reader: enough to see exactly what went over the wire.
QList<Part> multipartParts(const QByteArray &contentType, const QByteArray &body)
{
    QList<Part> parts;
    const int at = contentType.indexOf("boundary=");
    if (at < 0)
        return parts;
    QByteArray boundary = contentType.mid(at + 9);
    if (boundary.startsWith('"'))
        boundary = boundary.mid(1, boundary.indexOf('"', 1) - 1);
    const QByteArray delimiter = "--" + boundary;
    int pos = body.indexOf(delimiter);
    while (pos >= 0) {
        pos += delimiter.size();
        if (body.mid(pos, 2) == "--")
            break;
        pos += 2; // CRLF after the delimiter
        const int next = body.indexOf("\r\n" + delimiter, pos);
        if (next < 0)
            break;
        const QByteArray raw = body.mid(pos, next - pos);
        const int split = raw.indexOf("\r\n\r\n");
        Part part;
        const QList<QByteArray> lines = raw.left(split).split('\n');
        for (QByteArray line : lines) {
            line = line.trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                part.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        part.body = raw.mid(split + 4);
        parts.append(part);
        pos = next + 2;
    }
    return parts;
}

// Every signal of the client, so a test can say that nothing else happened.
struct ClientSignals
{
    explicit ClientSignals(ApiClient *client)
        : loginSuccess(client, &ApiClient::loginSuccess)
        , authExpired(client, &ApiClient::authExpired)
        , logoutSuccess(client, &ApiClient::logoutSuccess)
        , apiError(client, &ApiClient::apiError)
        , userInfo(client, &ApiClient::userInfoReceived)
        , channelInfo(client, &ApiClient::channelInfoReceived)
        , sessions(client, &ApiClient::sessionsReceived)
        , messages(client, &ApiClient::messagesReceived)
        , messageSent(client, &ApiClient::messageSent)
        , records(client, &ApiClient::receptionRecordsReceived)
        , sessionInfo(client, &ApiClient::sessionInfoReceived)
        , agentList(client, &ApiClient::agentListReceived)
        , remarkUpdated(client, &ApiClient::remarkUpdated)
        , sessionClosed(client, &ApiClient::sessionClosed)
        , sessionDeleted(client, &ApiClient::sessionDeleted)
        , history(client, &ApiClient::historyReceived)
        , imageUploaded(client, &ApiClient::imageUploaded)
    { }

    int total() const
    {
        int n = 0;
        for (const QSignalSpy *spy : all())
            n += spy->count();
        return n;
    }

    QList<const QSignalSpy *> all() const
    {
        return {&loginSuccess, &authExpired,  &logoutSuccess, &apiError,      &userInfo,
                &channelInfo,  &sessions,     &messages,      &messageSent,   &records,
                &sessionInfo,  &agentList,    &remarkUpdated, &sessionClosed, &sessionDeleted,
                &history,      &imageUploaded};
    }

    QSignalSpy loginSuccess;
    QSignalSpy authExpired;
    QSignalSpy logoutSuccess;
    QSignalSpy apiError;
    QSignalSpy userInfo;
    QSignalSpy channelInfo;
    QSignalSpy sessions;
    QSignalSpy messages;
    QSignalSpy messageSent;
    QSignalSpy records;
    QSignalSpy sessionInfo;
    QSignalSpy agentList;
    QSignalSpy remarkUpdated;
    QSignalSpy sessionClosed;
    QSignalSpy sessionDeleted;
    QSignalSpy history;
    QSignalSpy imageUploaded;
};

} // namespace

class TestApiClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void getQueries_data();
    void getQueries();
    void queryValuesSurviveEncoding();
    void headersWithToken();
    void noAuthorizationWithoutToken();
    void postBodies();

    void failures_data();
    void failures();
    void unauthorisedSignInRaisesOnlyAuthExpired();
    void revokedTokenRaisesAuthExpired();
    void networkErrorRaisesApiError();

    void pagedLists_data();
    void pagedLists();
    void listsFromTheService();
    void sessionIdTakenFromRequestUrl();
    void agentList();
    void sessionInfoAndChannel();
    void routesWithoutRequests();
    void silentSuccesses();
    void deleteSession();
    void overlappingRemarkUpdatesNameTheirOwnSession();
    void failedRemarkUpdateRaisesNothing();
    void largeBodyAndInvalidUtf8();

    void imageUpload();
    void imageUploadWithoutUrl();

    void signInStoresToken();
    void refusedSignInKeepsToken();
    void signInWithoutToken();
    void signOut();
    void restoreAndClearToken();
    void abortAllRequestsSilencesReplies();

    void userInfoFromToken_data();
    void userInfoFromToken();

private:
    // Signs the client in without going through the sign-in route.
    void useToken(const QString &token);
    void waitIdle();

    std::unique_ptr<StandInServer> m_server;
    std::unique_ptr<ApiClient> m_client;
};

void TestApiClient::init()
{
    clientSettings().remove(QStringLiteral("token"));
    m_server = std::make_unique<StandInServer>();
    QVERIFY(m_server->listen());
    m_client = std::make_unique<ApiClient>();
    m_client->setBaseUrl(m_server->restBaseUrl());
}

void TestApiClient::cleanup()
{
    m_client.reset();
    m_server.reset();
}

void TestApiClient::useToken(const QString &token)
{
    QSettings settings = clientSettings();
    settings.setValue(QStringLiteral("token"), token);
    settings.sync();
    QCOMPARE(m_client->restoreToken(), token);
}

void TestApiClient::waitIdle()
{
    QTRY_COMPARE(m_client->pendingRequestCount(), 0);
}

void TestApiClient::getQueries_data()
{
    QTest::addColumn<int>("call");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("rawQuery");
    QTest::newRow("messages") << 0 << QStringLiteral("/api/chat/messages")
                              << QStringLiteral("limit=50&page=1&session_id=12");
    QTest::newRow("records, empty status and keyword")
        << 1 << QStringLiteral("/api/chat/records") << QStringLiteral("limit=20&page=3&status=");
    QTest::newRow("history") << 2 << QStringLiteral("/api/chat/history")
                             << QStringLiteral("limit=50&page=2&session_id=7");
    QTest::newRow("generic, keys sorted")
        << 3 << QStringLiteral("/api/chat/channel-sessions") << QStringLiteral("limit=50&page=1");
    QTest::newRow("generic, no params") << 4 << QStringLiteral("/api/agent/channel") << QString();
}

void TestApiClient::getQueries()
{
    QFETCH(int, call);
    QFETCH(QString, path);
    QFETCH(QString, rawQuery);
    switch (call) {
    case 0:
        m_client->getMessages(12, QString());
        break;
    case 1:
        m_client->getReceptionRecords(QString(), 3, QString());
        break;
    case 2:
        m_client->getHistory(7, 2);
        break;
    case 3:
        m_client->sendGetRequest(QStringLiteral("/chat/channel-sessions"),
                                 {{QStringLiteral("page"), QStringLiteral("1")},
                                  {QStringLiteral("limit"), QStringLiteral("50")}});
        break;
    case 4:
        m_client->sendGetRequest(QStringLiteral("/agent/channel"));
        break;
    }
    QTRY_COMPARE(m_server->requests().size(), 1);
    const RecordedRequest request = m_server->requests().first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path, path);
    QCOMPARE(request.rawQuery, rawQuery);
    waitIdle();
}

void TestApiClient::queryValuesSurviveEncoding()
{
    const QString keyword = QStringLiteral("C++ 张三&x=1#frag");
    const QString beforeTime = QStringLiteral("2024-03-01T08:09:10+08:00");
    m_client->getReceptionRecords(QStringLiteral("closed"), 1, keyword);
    m_client->getMessages(5, beforeTime);
    QTRY_COMPARE(m_server->requests().size(), 2);

    const RecordedRequest records = m_server->requestsTo(QStringLiteral("/chat/records")).first();
    QCOMPARE(queryKeys(records),
             (QStringList {QStringLiteral("keyword"), QStringLiteral("limit"),
                           QStringLiteral("page"), QStringLiteral("status")}));
    QCOMPARE(records.query.queryItemValue(QStringLiteral("keyword"), QUrl::FullyDecoded), keyword);
    QCOMPARE(records.query.queryItemValue(QStringLiteral("status")), QStringLiteral("closed"));
    // A bare "+" would reach a form-decoding service as a space.
    QVERIFY2(!records.rawQuery.contains(QLatin1Char('+')), qPrintable(records.rawQuery));

    const RecordedRequest messages = m_server->requestsTo(QStringLiteral("/chat/messages")).first();
    QCOMPARE(queryKeys(messages),
             (QStringList {QStringLiteral("before_time"), QStringLiteral("limit"),
                           QStringLiteral("page"), QStringLiteral("session_id")}));
    QCOMPARE(messages.query.queryItemValue(QStringLiteral("before_time"), QUrl::FullyDecoded),
             beforeTime);
    waitIdle();
}

void TestApiClient::headersWithToken()
{
    const QString token = m_server->issueToken(12);
    QVERIFY(!token.isEmpty());
    useToken(token);
    m_client->getHistory(1, 1);
    m_client->markRead(1);
    QTRY_COMPARE(m_server->requests().size(), 2);
    for (const RecordedRequest &request : m_server->requests()) {
        QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    }
    waitIdle();
}

void TestApiClient::noAuthorizationWithoutToken()
{
    m_client->sendGetRequest(QStringLiteral("/agent/channel"));
    m_client->sendPostRequest(QStringLiteral("/agent/online"), {});
    QTRY_COMPARE(m_server->requests().size(), 2);
    for (const RecordedRequest &request : m_server->requests()) {
        QVERIFY(!request.hasHeader("Authorization"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    }
    waitIdle();
}

void TestApiClient::postBodies()
{
    m_client->markRead(12);
    QTRY_COMPARE(m_server->requestsTo(QStringLiteral("/chat/mark-read")).size(), 1);
    const RecordedRequest markRead
        = m_server->requestsTo(QStringLiteral("/chat/mark-read")).first();
    QCOMPARE(markRead.method, QByteArray("POST"));
    // Indented serialisation, the id as a bare number.
    QCOMPARE(markRead.body, QByteArray("{\n    \"session_id\": 12\n}\n"));

    m_client->updateSessionRemark(5, QStringLiteral("老客户 \"VIP\""));
    QTRY_COMPARE(m_server->requestsTo(QStringLiteral("/chat/update-session")).size(), 1);
    const QJsonObject remark
        = m_server->requestsTo(QStringLiteral("/chat/update-session")).first().jsonBody();
    QCOMPARE(remark.size(), 2);
    QVERIFY(remark.value(QStringLiteral("session_id")).isDouble());
    QCOMPARE(remark.value(QStringLiteral("session_id")).toInt(), 5);
    QCOMPARE(remark.value(QStringLiteral("remark")).toString(), QStringLiteral("老客户 \"VIP\""));

    m_client->sendPostRequest(QStringLiteral("/agent/online"), {});
    QTRY_COMPARE(m_server->requestsTo(QStringLiteral("/agent/online")).size(), 1);
    QCOMPARE(m_server->requestsTo(QStringLiteral("/agent/online")).first().body,
             QByteArray("{\n}\n"));
    waitIdle();
}

void TestApiClient::failures_data()
{
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error"); // empty: the network stack's own text

    QTest::newRow("http 500") << 500 << QByteArray(R"({"code":200,"data":{}})") << QString();
    QTest::newRow("http 404") << 404 << QByteArray("nope") << QString();
    QTest::newRow("not json") << 200 << QByteArray("<html>oops</html>")
                              << QStringLiteral("JSON解析失败");
    QTest::newRow("empty body") << 200 << QByteArray() << QStringLiteral("JSON解析失败");
    QTest::newRow("truncated json")
        << 200 << QByteArray(R"({"code":200,"data":{)") << QStringLiteral("JSON解析失败");
    QTest::newRow("array body") << 200 << QByteArray("[1,2,3]") << QStringLiteral("请求失败");
    QTest::newRow("code as string with msg")
        << 200 << QByteArray(R"({"code":"200","msg":"字符串代码","data":{"list":[]}})")
        << QStringLiteral("字符串代码");
    QTest::newRow("code as string without msg")
        << 200 << QByteArray(R"({"code":"200","data":{"list":[]}})") << QStringLiteral("请求失败");
    QTest::newRow("code missing") << 200 << QByteArray(R"({"data":{"list":[]}})")
                                  << QStringLiteral("请求失败");
    QTest::newRow("refusal with msg") << 200 << QByteArray(R"({"code":500,"msg":"服务暂不可用"})")
                                      << QStringLiteral("服务暂不可用");
    QTest::newRow("refusal, msg empty")
        << 200 << QByteArray(R"({"code":403,"msg":""})") << QStringLiteral("请求失败");
    QTest::newRow("refusal, msg not a string")
        << 200 << QByteArray(R"({"code":403,"msg":17})") << QStringLiteral("请求失败");
    QTest::newRow("code 200.5") << 200 << QByteArray(R"({"code":200.5,"data":{}})")
                                << QStringLiteral("请求失败");
}

void TestApiClient::failures()
{
    QFETCH(int, httpStatus);
    QFETCH(QByteArray, body);
    QFETCH(QString, error);

    useToken(QStringLiteral("kept-token"));
    ClientSignals spies(m_client.get());
    m_server->setRawReply(QStringLiteral("/chat/history"), httpStatus, body);
    m_client->getHistory(3, 1);
    QTRY_COMPARE(spies.apiError.count(), 1);
    waitIdle();
    QCOMPARE(spies.total(), 1);
    const QString reported = spies.apiError.first().first().toString();
    if (error.isEmpty())
        QVERIFY(!reported.isEmpty());
    else
        QCOMPARE(reported, error);
    // A failure changes nothing in the client.
    QCOMPARE(m_client->token(), QStringLiteral("kept-token"));
    QCOMPARE(clientSettings().value(QStringLiteral("token")).toString(),
             QStringLiteral("kept-token"));
}

void TestApiClient::unauthorisedSignInRaisesOnlyAuthExpired()
{
    useToken(QStringLiteral("old-token"));
    ClientSignals spies(m_client.get());
    m_server->injectFault(QStringLiteral("/agent/login"), Fault::Http401);
    m_client->sendPostRequest(QStringLiteral("/agent/login"),
                              {{QStringLiteral("account"), QStringLiteral("demo")},
                               {QStringLiteral("password"), QStringLiteral("demo123")}});
    QTRY_COMPARE(spies.authExpired.count(), 1);
    waitIdle();
    QCOMPARE(spies.total(), 1);
    // The client only reports a 401; it never drops the token itself.
    QCOMPARE(m_client->token(), QStringLiteral("old-token"));
    QCOMPARE(clientSettings().value(QStringLiteral("token")).toString(),
             QStringLiteral("old-token"));
}

void TestApiClient::revokedTokenRaisesAuthExpired()
{
    useToken(m_server->issueToken(12));
    m_server->revokeTokens();
    ClientSignals spies(m_client.get());
    m_client->sendGetRequest(QStringLiteral("/agent/channel"));
    m_server->injectFault(QStringLiteral("/chat/messages"), Fault::Http401);
    m_client->getMessages(4, QString());
    QTRY_COMPARE(spies.authExpired.count(), 2);
    waitIdle();
    QCOMPARE(spies.total(), 2);
    QVERIFY(!m_client->token().isEmpty());
}

void TestApiClient::networkErrorRaisesApiError()
{
    useToken(m_server->issueToken(12));
    ClientSignals spies(m_client.get());
    // The network stack retries a dropped idempotent request by itself.
    m_server->injectFault(QStringLiteral("/agent/channel"), Fault::DropConnection, 5);
    m_client->sendGetRequest(QStringLiteral("/agent/channel"));
    QTRY_COMPARE(spies.apiError.count(), 1);
    QVERIFY(!spies.apiError.first().first().toString().isEmpty());

    // Nobody listening at all.
    const QString deadUrl = m_server->restBaseUrl();
    m_server.reset();
    m_client->setBaseUrl(deadUrl);
    m_client->sendGetRequest(QStringLiteral("/agent/channel"));
    QTRY_COMPARE(spies.apiError.count(), 2);
    waitIdle();
    QCOMPARE(spies.total(), 2);
}

void TestApiClient::pagedLists_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<int>("total");
    QTest::addColumn<bool>("hasMore");

    QTest::newRow("regular") << QByteArray(
        R"({"list":[{"id":4},{"id":2}],"total":9,"has_more":true})")
                             << QList<int> {4, 2} << 9 << true;
    QTest::newRow("no list") << QByteArray(R"({"total":3,"has_more":false})") << QList<int> {} << 3
                             << false;
    QTest::newRow("empty data") << QByteArray("{}") << QList<int> {} << 0 << false;
    QTest::newRow("data is an array") << QByteArray(R"([{"id":1}])") << QList<int> {} << 0 << false;
    QTest::newRow("data is null") << QByteArray("null") << QList<int> {} << 0 << false;
    QTest::newRow("has_more as 1")
        << QByteArray(R"({"list":[],"total":1,"has_more":1})") << QList<int> {} << 1 << false;
    QTest::newRow("has_more as text")
        << QByteArray(R"({"list":[],"total":1,"has_more":"true"})") << QList<int> {} << 1 << false;
    QTest::newRow("total as text")
        << QByteArray(R"({"list":[],"total":"12","has_more":true})") << QList<int> {} << 0 << true;
    QTest::newRow("total fractional")
        << QByteArray(R"({"list":[],"total":2.5})") << QList<int> {} << 0 << false;
    QTest::newRow("list not an array")
        << QByteArray(R"({"list":{"id":3},"total":1})") << QList<int> {} << 1 << false;
    QTest::newRow("elements not objects")
        << QByteArray(R"({"list":[1,"x",null,[2],{"id":5}],"total":5})")
        << QList<int> {0, 0, 0, 0, 5} << 5 << false;
}

void TestApiClient::pagedLists()
{
    QFETCH(QByteArray, data);
    QFETCH(QList<int>, ids);
    QFETCH(int, total);
    QFETCH(bool, hasMore);

    const QByteArray body = R"({"code":200,"msg":"","data":)" + data + "}";
    ClientSignals spies(m_client.get());
    const QStringList paths {QStringLiteral("/chat/channel-sessions"),
                             QStringLiteral("/chat/records"), QStringLiteral("/chat/messages"),
                             QStringLiteral("/chat/history")};
    for (const QString &path : paths)
        m_server->setRawReply(path, 200, body);
    m_client->sendGetRequest(paths.at(0), {{QStringLiteral("page"), QStringLiteral("1")}});
    m_client->getReceptionRecords(QString(), 1, QString());
    m_client->getMessages(8, QString());
    m_client->getHistory(8, 1);
    QTRY_COMPARE(spies.total(), 4);
    waitIdle();

    auto sessionIds = [](const QVariant &value) {
        QList<int> result;
        for (const ChatSession &session : value.value<QList<ChatSession>>())
            result << session.id;
        return result;
    };
    auto messageIds = [](const QVariant &value) {
        QList<int> result;
        for (const ChatMessage &message : value.value<QList<ChatMessage>>())
            result << message.id;
        return result;
    };

    QCOMPARE(spies.sessions.count(), 1);
    QCOMPARE(sessionIds(spies.sessions.first().at(0)), ids);
    QCOMPARE(spies.sessions.first().at(1).toInt(), total);
    QCOMPARE(spies.sessions.first().at(2).toBool(), hasMore);

    QCOMPARE(spies.records.count(), 1);
    QCOMPARE(sessionIds(spies.records.first().at(0)), ids);
    QCOMPARE(spies.records.first().at(1).toInt(), total);
    QCOMPARE(spies.records.first().at(2).toBool(), hasMore);

    for (const QSignalSpy *spy : {&spies.messages, &spies.history}) {
        QCOMPARE(spy->count(), 1);
        QCOMPARE(spy->first().at(0).toInt(), 8);
        QCOMPARE(messageIds(spy->first().at(1)), ids);
        QCOMPARE(spy->first().at(2).toInt(), total);
        QCOMPARE(spy->first().at(3).toBool(), hasMore);
    }
}

void TestApiClient::listsFromTheService()
{
    useToken(m_server->issueToken(12));
    m_server->clearChannel();
    const int first
        = m_server->addSession({{QStringLiteral("visitor_name"), QStringLiteral("张三")},
                                {QStringLiteral("status"), QStringLiteral("online")}});
    m_server->addMessage(first,
                         {{QStringLiteral("content"), QStringLiteral("你好")},
                          {QStringLiteral("from_type"), QStringLiteral("visitor")}});
    m_server->addMessage(first,
                         {{QStringLiteral("content"), QStringLiteral("在的")},
                          {QStringLiteral("from_type"), QStringLiteral("agent")}});

    ClientSignals spies(m_client.get());
    m_client->sendGetRequest(QStringLiteral("/chat/channel-sessions"),
                             {{QStringLiteral("page"), QStringLiteral("1")},
                              {QStringLiteral("limit"), QStringLiteral("50")}});
    m_client->getMessages(first, QString());
    QTRY_COMPARE(spies.sessions.count(), 1);
    QTRY_COMPARE(spies.messages.count(), 1);

    const auto sessions = spies.sessions.first().at(0).value<QList<ChatSession>>();
    QCOMPARE(sessions.size(), 1);
    QCOMPARE(sessions.first().id, first);
    QCOMPARE(sessions.first().visitorName, QStringLiteral("张三"));
    QVERIFY(sessions.first().online);
    QCOMPARE(spies.sessions.first().at(1).toInt(), 1);
    QCOMPARE(spies.sessions.first().at(2).toBool(), false);

    QCOMPARE(spies.messages.first().at(0).toInt(), first);
    const auto messages = spies.messages.first().at(1).value<QList<ChatMessage>>();
    QCOMPARE(messages.size(), 2);
    QStringList contents;
    for (const ChatMessage &message : messages)
        contents << message.content;
    QVERIFY(contents.contains(QStringLiteral("你好")));
    QVERIFY(contents.contains(QStringLiteral("在的")));
    QCOMPARE(spies.apiError.count(), 0);
}

void TestApiClient::sessionIdTakenFromRequestUrl()
{
    const QByteArray body = envelope(QJsonObject {
        {QStringLiteral("session_id"), 99},
        {QStringLiteral("list"),
         QJsonArray {QJsonObject {{QStringLiteral("id"), 1}, {QStringLiteral("session_id"), 99}}}},
        {QStringLiteral("total"), 1},
        {QStringLiteral("has_more"), false}});
    m_server->setRawReply(QStringLiteral("/chat/messages"), 200, body, 2);
    m_server->setRawReply(QStringLiteral("/chat/history"), 200, body);
    // The first request is held back, so the replies cross.
    m_server->delayReplies(QStringLiteral("/chat/messages"), 300, 1);

    ClientSignals spies(m_client.get());
    m_client->getMessages(12, QString());
    m_client->getMessages(13, QString());
    m_client->getHistory(7, 1);
    QTRY_COMPARE(spies.messages.count(), 2);
    QTRY_COMPARE(spies.history.count(), 1);

    QList<int> messageSessions {spies.messages.at(0).at(0).toInt(),
                                spies.messages.at(1).at(0).toInt()};
    std::sort(messageSessions.begin(), messageSessions.end());
    QCOMPARE(messageSessions, (QList<int> {12, 13}));
    QCOMPARE(spies.history.first().at(0).toInt(), 7);
    // The records themselves keep what the body says.
    QCOMPARE(spies.history.first().at(1).value<QList<ChatMessage>>().first().sessionId, 99);
}

void TestApiClient::agentList()
{
    useToken(m_server->issueToken(12));
    ClientSignals spies(m_client.get());
    m_client->sendGetRequest(QStringLiteral("/agent/list"));
    QTRY_COMPARE(spies.agentList.count(), 1);
    const QVariantList agents = spies.agentList.first().first().toList();
    QVERIFY(!agents.isEmpty());
    for (const QVariant &agent : agents)
        QCOMPARE(agent.typeId(), QMetaType::QVariantMap);

    // Every key of an entry is kept, entries that are no objects become empty maps.
    m_server->setRawReply(QStringLiteral("/agent/list"), 200,
                          R"({"code":200,"data":[{"id":3,"name":"A","extra":{"k":[1]}},7]})");
    m_client->sendGetRequest(QStringLiteral("/agent/list"));
    QTRY_COMPARE(spies.agentList.count(), 2);
    const QVariantList raw = spies.agentList.at(1).first().toList();
    QCOMPARE(raw.size(), 2);
    const QVariantMap entry = raw.first().toMap();
    QCOMPARE(entry.value(QStringLiteral("id")).toInt(), 3);
    QCOMPARE(
        entry.value(QStringLiteral("extra")).toMap().value(QStringLiteral("k")).toList().size(), 1);
    QVERIFY(raw.at(1).toMap().isEmpty());

    m_server->setRawReply(QStringLiteral("/agent/list"), 200,
                          R"({"code":200,"data":{"list":[{"id":3}]}})");
    m_client->sendGetRequest(QStringLiteral("/agent/list"));
    QTRY_COMPARE(spies.agentList.count(), 3);
    QVERIFY(spies.agentList.at(2).first().toList().isEmpty());
    QCOMPARE(spies.apiError.count(), 0);
}

void TestApiClient::sessionInfoAndChannel()
{
    useToken(m_server->issueToken(12));
    const int id
        = m_server->addSession({{QStringLiteral("visitor_id"), QStringLiteral("v-abcdefghij")},
                                {QStringLiteral("remark"), QStringLiteral("备注")}});
    ClientSignals spies(m_client.get());
    m_client->sendGetRequest(QStringLiteral("/chat/session-info"),
                             {{QStringLiteral("session_id"), QString::number(id)}});
    m_client->sendGetRequest(QStringLiteral("/agent/channel"));
    QTRY_COMPARE(spies.sessionInfo.count(), 1);
    QTRY_COMPARE(spies.channelInfo.count(), 1);
    const auto session = spies.sessionInfo.first().first().value<ChatSession>();
    QCOMPARE(session.id, id);
    QCOMPARE(session.visitorId, QStringLiteral("v-abcdefghij"));
    QCOMPARE(session.remark, QStringLiteral("备注"));

    const QVariantMap channel = spies.channelInfo.first().first().toMap();
    const QString code
        = channel.value(QStringLiteral("channel_code"), channel.value(QStringLiteral("code")))
              .toString();
    QCOMPARE(code, m_server->channelCode());
}

void TestApiClient::routesWithoutRequests()
{
    // Paths nobody in the program requests are still routed when answered.
    ClientSignals spies(m_client.get());
    m_server->setRawReply(QStringLiteral("/chat/send"), 200,
                          R"({"code":200,"data":{"msg_id":41,"session_id":9}})");
    m_server->setRawReply(QStringLiteral("/close-session"), 200,
                          R"({"code":200,"data":{"session_id":6}})");
    m_server->setRawReply(QStringLiteral("/user/info"), 200,
                          R"({"code":200,"data":{"id":12,"name":"演示"}})");
    m_server->setRawReply(QStringLiteral("/chat/my-channel"), 200,
                          R"({"code":200,"data":{"code":"c1"}})");
    m_client->sendPostRequest(QStringLiteral("/chat/send"), {});
    m_client->sendPostRequest(QStringLiteral("/chat/close-session"), {});
    m_client->sendGetRequest(QStringLiteral("/user/info"));
    m_client->sendGetRequest(QStringLiteral("/chat/my-channel"));
    QTRY_COMPARE(spies.total(), 4);
    QCOMPARE(spies.messageSent.first().at(0).toInt(), 41);
    QCOMPARE(spies.messageSent.first().at(1).toInt(), 9);
    QCOMPARE(spies.sessionClosed.first().at(0).toInt(), 6);
    QCOMPARE(spies.userInfo.first().first().toMap().value(QStringLiteral("name")).toString(),
             QStringLiteral("演示"));
    QCOMPARE(spies.channelInfo.first().first().toMap().value(QStringLiteral("code")).toString(),
             QStringLiteral("c1"));
}

void TestApiClient::silentSuccesses()
{
    useToken(m_server->issueToken(12));
    const int id = m_server->addSession({{QStringLiteral("unread_count"), 3}});
    ClientSignals spies(m_client.get());
    m_client->markRead(id);
    m_client->sendPostRequest(QStringLiteral("/agent/online"), {});
    QTRY_COMPARE(m_server->requests().size(), 2);
    waitIdle();
    QCOMPARE(spies.total(), 0);

    // A refused mark-read is reported.
    m_server->injectFault(QStringLiteral("/chat/mark-read"), Fault::Refuse);
    m_client->markRead(id);
    QTRY_COMPARE(spies.apiError.count(), 1);
    QCOMPARE(spies.apiError.first().first().toString(), QStringLiteral("服务暂不可用"));
}

void TestApiClient::deleteSession()
{
    useToken(m_server->issueToken(12));
    // Only an ended, empty session may be deleted.
    const int id = m_server->addSession({{QStringLiteral("status"), QStringLiteral("closed")}});
    ClientSignals spies(m_client.get());
    m_client->sendPostRequest(QStringLiteral("/chat/delete-session"),
                              {{QStringLiteral("session_id"), id}});
    QTRY_COMPARE(spies.sessionDeleted.count(), 1);
    QCOMPARE(spies.sessionDeleted.first().first().toInt(), id);
    const RecordedRequest request = m_server->requestsTo(QStringLiteral("/delete-session")).first();
    QVERIFY(request.jsonBody().value(QStringLiteral("session_id")).isDouble());
}

void TestApiClient::overlappingRemarkUpdatesNameTheirOwnSession()
{
    useToken(m_server->issueToken(12));
    const int first = m_server->addSession();
    const int second = m_server->addSession();
    // The first update is held back, so the second one's reply comes first.
    m_server->delayReplies(QStringLiteral("/chat/update-session"), 300, 1);

    ClientSignals spies(m_client.get());
    m_client->updateSessionRemark(first, QStringLiteral("一"));
    m_client->updateSessionRemark(second, QStringLiteral("二"));
    QTRY_COMPARE(spies.remarkUpdated.count(), 2);
    waitIdle();
    QList<int> reported {spies.remarkUpdated.at(0).first().toInt(),
                         spies.remarkUpdated.at(1).first().toInt()};
    std::sort(reported.begin(), reported.end());
    QList<int> expected {first, second};
    std::sort(expected.begin(), expected.end());
    QCOMPARE(reported, expected);

    // Back to back without any delay, too.
    spies.remarkUpdated.clear();
    m_client->updateSessionRemark(first, QStringLiteral("x"));
    m_client->updateSessionRemark(second, QStringLiteral("y"));
    QTRY_COMPARE(spies.remarkUpdated.count(), 2);
    QVERIFY(!spies.remarkUpdated.contains(QVariantList {0}));
    QCOMPARE(spies.total(), 2);
}

void TestApiClient::failedRemarkUpdateRaisesNothing()
{
    useToken(m_server->issueToken(12));
    const int id = m_server->addSession();
    ClientSignals spies(m_client.get());
    m_server->injectFault(QStringLiteral("/chat/update-session"), Fault::Http500);
    m_client->updateSessionRemark(id, QStringLiteral("a"));
    QTRY_COMPARE(spies.apiError.count(), 1);
    waitIdle();
    QCOMPARE(spies.remarkUpdated.count(), 0);

    // A later update still names its own session.
    m_client->updateSessionRemark(id, QStringLiteral("b"));
    QTRY_COMPARE(spies.remarkUpdated.count(), 1);
    QCOMPARE(spies.remarkUpdated.first().first().toInt(), id);
}

void TestApiClient::largeBodyAndInvalidUtf8()
{
    QJsonArray list;
    const QString filler(200, QLatin1Char('x'));
    for (int i = 1; i <= 20000; ++i)
        list.append(QJsonObject {{QStringLiteral("id"), i},
                                 {QStringLiteral("visitor_name"), filler},
                                 {QStringLiteral("last_time"), 1700000000 + i}});
    const QByteArray big
        = envelope(QJsonObject {{QStringLiteral("list"), list}, {QStringLiteral("total"), 20000}});
    QVERIFY(big.size() > 4 * 1024 * 1024);

    ClientSignals spies(m_client.get());
    m_server->setRawReply(QStringLiteral("/chat/records"), 200, big);
    m_client->getReceptionRecords(QString(), 1, QString());
    QTRY_COMPARE(spies.records.count(), 1);
    const auto sessions = spies.records.first().first().value<QList<ChatSession>>();
    QCOMPARE(sessions.size(), 20000);
    QCOMPARE(sessions.last().id, 20000);

    // Broken UTF-8 inside a string: the parser's verdict stands, nothing crashes.
    m_server->setRawReply(QStringLiteral("/chat/channel-sessions"), 200,
                          "{\"code\":200,\"data\":{\"list\":[{\"id\":1,\"visitor_name\":\"a\xff\xfe"
                          "b\"}],\"total\":1}}");
    m_client->sendGetRequest(QStringLiteral("/chat/channel-sessions"));
    QTRY_COMPARE(spies.sessions.count() + spies.apiError.count(), 1);
    if (spies.sessions.count() == 1) {
        const auto parsed = spies.sessions.first().first().value<QList<ChatSession>>();
        QCOMPARE(parsed.size(), 1);
        QVERIFY(parsed.first().visitorName.startsWith(QLatin1Char('a')));
    } else {
        QCOMPARE(spies.apiError.first().first().toString(), QStringLiteral("JSON解析失败"));
    }
    waitIdle();
}

void TestApiClient::imageUpload()
{
    useToken(m_server->issueToken(12));
    QByteArray image("\x89PNG\r\n\x1a\n", 8);
    image.append(QByteArray(70000, '\x5a'));
    image.append("--not-a-boundary\r\n");

    ClientSignals spies(m_client.get());
    m_client->uploadChatImage(image, QStringLiteral("paste_20240301.png"));
    QTRY_COMPARE(spies.total(), 1);
    QCOMPARE(spies.imageUploaded.count(), 1);
    QVERIFY(!spies.imageUploaded.first().first().toString().isEmpty());

    const RecordedRequest request
        = m_server->requestsTo(QStringLiteral("/upload/chat-image")).first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path, QStringLiteral("/api/upload/chat-image"));
    QVERIFY(!request.hasHeader("Authorization"));
    const QByteArray contentType = request.header("Content-Type");
    QVERIFY2(contentType.startsWith("multipart/form-data"), contentType.constData());

    const QList<Part> parts = multipartParts(contentType, request.body);
    QCOMPARE(parts.size(), 1);
    const Part &part = parts.first();
    QCOMPARE(part.headers.size(), 2);
    QByteArray disposition;
    QByteArray partType;
    for (const auto &header : part.headers) {
        if (header.first.compare("Content-Disposition", Qt::CaseInsensitive) == 0)
            disposition = header.second;
        else if (header.first.compare("Content-Type", Qt::CaseInsensitive) == 0)
            partType = header.second;
    }
    QCOMPARE(disposition, QByteArray(R"(form-data; name="file"; filename="paste_20240301.png")"));
    QCOMPARE(partType, QByteArray("image/png"));
    QCOMPARE(part.body, image);
}

void TestApiClient::imageUploadWithoutUrl()
{
    ClientSignals spies(m_client.get());
    m_server->setRawReply(QStringLiteral("/upload/chat-image"), 200, R"({"code":200,"data":{}})");
    m_client->uploadChatImage(QByteArray("GIF89a"), QStringLiteral("clip.png"));
    QTRY_COMPARE(spies.imageUploaded.count(), 1);
    QCOMPARE(spies.imageUploaded.first().first().toString(), QString());
    QCOMPARE(spies.total(), 1);
}

void TestApiClient::signInStoresToken()
{
    ClientSignals spies(m_client.get());
    m_client->sendPostRequest(QStringLiteral("/agent/login"),
                              {{QStringLiteral("account"), QStringLiteral("demo")},
                               {QStringLiteral("password"), QStringLiteral("demo123")}});
    QTRY_COMPARE(spies.loginSuccess.count(), 1);
    const QString token = spies.loginSuccess.first().at(0).toString();
    const QVariantMap user = spies.loginSuccess.first().at(1).toMap();
    QVERIFY(!token.isEmpty());
    QCOMPARE(user.value(QStringLiteral("id")).toInt(), 12);
    QCOMPARE(user.value(QStringLiteral("name")).toString(), QStringLiteral("演示坐席"));
    QCOMPARE(user.value(QStringLiteral("member_id")).toInt(), 3);
    QCOMPARE(user.size(), 3);
    QCOMPARE(m_client->token(), token);
    QCOMPARE(clientSettings().value(QStringLiteral("token")).toString(), token);

    // What was sent.
    const QJsonObject body
        = m_server->requestsTo(QStringLiteral("/agent/login")).first().jsonBody();
    QCOMPARE(body.value(QStringLiteral("account")).toString(), QStringLiteral("demo"));
    QCOMPARE(body.value(QStringLiteral("password")).toString(), QStringLiteral("demo123"));

    // The new token is used from now on.
    m_client->sendGetRequest(QStringLiteral("/agent/channel"));
    QTRY_COMPARE(spies.channelInfo.count(), 1);
    QCOMPARE(m_server->requestsTo(QStringLiteral("/agent/channel")).first().header("Authorization"),
             "Bearer " + token.toUtf8());
}

void TestApiClient::refusedSignInKeepsToken()
{
    useToken(QStringLiteral("previous"));
    ClientSignals spies(m_client.get());
    m_client->sendPostRequest(QStringLiteral("/agent/login"),
                              {{QStringLiteral("account"), QStringLiteral("demo")},
                               {QStringLiteral("password"), QStringLiteral("wrong")}});
    QTRY_COMPARE(spies.apiError.count(), 1);
    waitIdle();
    QVERIFY(!spies.apiError.first().first().toString().isEmpty());
    QCOMPARE(spies.total(), 1);
    QCOMPARE(m_client->token(), QStringLiteral("previous"));
    QCOMPARE(clientSettings().value(QStringLiteral("token")).toString(),
             QStringLiteral("previous"));
}

void TestApiClient::signInWithoutToken()
{
    useToken(QStringLiteral("previous"));
    ClientSignals spies(m_client.get());
    m_server->setRawReply(QStringLiteral("/agent/login"), 200,
                          R"({"code":200,"data":{"agent_id":"12","name":5,"member_id":3}})");
    m_client->sendPostRequest(QStringLiteral("/agent/login"), {});
    QTRY_COMPARE(spies.loginSuccess.count(), 1);
    QCOMPARE(spies.loginSuccess.first().at(0).toString(), QString());
    const QVariantMap user = spies.loginSuccess.first().at(1).toMap();
    // Strict JSON types: a number sent as text is no number.
    QCOMPARE(user.value(QStringLiteral("id")).toInt(), 0);
    QCOMPARE(user.value(QStringLiteral("name")).toString(), QString());
    QCOMPARE(user.value(QStringLiteral("member_id")).toInt(), 3);
    QCOMPARE(m_client->token(), QString());
    QSettings settings = clientSettings();
    QVERIFY(settings.contains(QStringLiteral("token")));
    QCOMPARE(settings.value(QStringLiteral("token")).toString(), QString());
}

void TestApiClient::signOut()
{
    useToken(m_server->issueToken(12));
    ClientSignals spies(m_client.get());
    m_client->sendPostRequest(QStringLiteral("/auth/logout"), {});
    QTRY_COMPARE(spies.logoutSuccess.count(), 1);
    QCOMPARE(m_client->token(), QString());
    QVERIFY(!clientSettings().contains(QStringLiteral("token")));

    // The reply arriving after the token was already cleared locally.
    useToken(m_server->issueToken(12));
    m_client->sendPostRequest(QStringLiteral("/auth/logout"), {});
    m_client->clearToken();
    QTRY_COMPARE(spies.logoutSuccess.count(), 2);
    QCOMPARE(m_client->token(), QString());
    QVERIFY(!clientSettings().contains(QStringLiteral("token")));
    QCOMPARE(spies.total(), 2);
}

void TestApiClient::restoreAndClearToken()
{
    QCOMPARE(m_client->token(), QString());
    QCOMPARE(m_client->restoreToken(), QString());

    {
        QSettings settings = clientSettings();
        settings.setValue(QStringLiteral("token"), QStringLiteral("abc.def.ghi"));
    }
    // Construction alone does not read the store.
    ApiClient fresh;
    QCOMPARE(fresh.token(), QString());
    QCOMPARE(fresh.restoreToken(), QStringLiteral("abc.def.ghi"));
    QCOMPARE(fresh.token(), QStringLiteral("abc.def.ghi"));

    fresh.clearToken();
    QCOMPARE(fresh.token(), QString());
    QVERIFY(!clientSettings().contains(QStringLiteral("token")));
    QCOMPARE(fresh.restoreToken(), QString());
}

void TestApiClient::abortAllRequestsSilencesReplies()
{
    useToken(m_server->issueToken(12));
    m_server->delayReplies(QStringLiteral("/chat/messages"), 200, 1);
    m_server->delayReplies(QStringLiteral("/agent/login"), 200, 1);
    ClientSignals spies(m_client.get());
    m_client->getMessages(1, QString());
    m_client->sendPostRequest(QStringLiteral("/agent/login"),
                              {{QStringLiteral("account"), QStringLiteral("demo")},
                               {QStringLiteral("password"), QStringLiteral("demo123")}});
    QCOMPARE(m_client->pendingRequestCount(), 2);
    QTRY_COMPARE(m_server->requests().size(), 2);

    m_client->abortAllRequests();
    QCOMPARE(m_client->pendingRequestCount(), 0);

    // A request after the abort goes out on a fresh connection and is answered;
    // the abandoned ones, held back by the service, stay silent.
    m_client->sendGetRequest(QStringLiteral("/agent/channel"));
    QTRY_COMPARE(spies.channelInfo.count(), 1);
    QVERIFY(!spies.messages.wait(600));
    QCOMPARE(spies.total(), 1);
    QCOMPARE(clientSettings().value(QStringLiteral("token")).toString(), m_client->token());
}

void TestApiClient::userInfoFromToken_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QVariantMap>("expected");

    const QVariantMap full {{QStringLiteral("id"), 12},
                            {QStringLiteral("name"), QStringLiteral("演示坐席")},
                            {QStringLiteral("role"), QStringLiteral("agent")},
                            {QStringLiteral("member_id"), 3}};
    QTest::newRow("full") << makeToken(
        R"({"uid":12,"name":"演示坐席","role":"agent","member_id":3,"exp":1})")
                          << full;
    QTest::newRow("no uid") << makeToken(R"({"name":"x"})")
                            << QVariantMap {{QStringLiteral("id"), 0},
                                            {QStringLiteral("name"), QStringLiteral("x")},
                                            {QStringLiteral("role"), QString()},
                                            {QStringLiteral("member_id"), 0}};
    // Payload bytes chosen so that the URL-safe alphabet shows up.
    QTest::newRow("url-safe alphabet")
        << makeToken(R"({"uid":5,"name":"?>?>?>~~~","role":"admin","member_id":1})")
        << QVariantMap {{QStringLiteral("id"), 5},
                        {QStringLiteral("name"), QStringLiteral("?>?>?>~~~")},
                        {QStringLiteral("role"), QStringLiteral("admin")},
                        {QStringLiteral("member_id"), 1}};
    QTest::newRow("two parts only") << makeToken(R"({"uid":7})").section(QLatin1Char('.'), 0, 1)
                                    << QVariantMap {{QStringLiteral("id"), 7},
                                                    {QStringLiteral("name"), QString()},
                                                    {QStringLiteral("role"), QString()},
                                                    {QStringLiteral("member_id"), 0}};
    QTest::newRow("no dot") << QStringLiteral("opaque-token") << QVariantMap();
    QTest::newRow("payload not json") << makeToken("not json") << QVariantMap();
    QTest::newRow("payload array") << makeToken("[1,2]") << QVariantMap();
    QTest::newRow("empty payload") << QStringLiteral("a..c") << QVariantMap();
    QTest::newRow("garbage base64") << QStringLiteral("a.!!!***.c") << QVariantMap();
    QTest::newRow("no token") << QString() << QVariantMap();
}

void TestApiClient::userInfoFromToken()
{
    QFETCH(QString, token);
    QFETCH(QVariantMap, expected);
    if (QTest::currentDataTag() == QLatin1String("url-safe alphabet")) {
        const QString payload = token.section(QLatin1Char('.'), 1, 1);
        QVERIFY(payload.contains(QLatin1Char('-')) || payload.contains(QLatin1Char('_')));
    }
    useToken(token);
    const QVariantMap info = m_client->userInfoFromToken();
    QCOMPARE(info.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(info.value(it.key()).toString(), it.value().toString());
}

ORVANTIS_TEST_MAIN(TestApiClient)
#include "tst_apiclient.moc"
