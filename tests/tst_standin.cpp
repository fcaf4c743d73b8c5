#include "testsupport.h"

#include "devserver/standinserver.h"

#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QWebSocket>

using StandIn::StandInServer;

namespace {

struct HttpResult
{
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    int code() const { return json().value(QStringLiteral("code")).toInt(-1); }
    QJsonObject data() const { return json().value(QStringLiteral("data")).toObject(); }
};

// A WebSocket client that keeps every frame it receives.
class FrameClient : public QObject
{
public:
    explicit FrameClient(const QString &url)
    {
        connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            frames.append(QJsonDocument::fromJson(text.toUtf8()).object());
        });
        socket.open(QUrl(url));
    }
    bool waitOpen() { return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }); }
    void send(const QJsonObject &frame)
    {
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
    }
    // The first frame of that type received after index `from`; waits for it.
    QJsonObject waitFor(const QString &type, int from = 0)
    {
        QJsonObject found;
        (void)QTest::qWaitFor([&] {
            for (int i = from; i < frames.size(); ++i) {
                if (frames.at(i).value(QStringLiteral("type")).toString() == type) {
                    found = frames.at(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    int count(const QString &type) const
    {
        return int(std::count_if(frames.cbegin(), frames.cend(), [&](const QJsonObject &f) {
            return f.value(QStringLiteral("type")).toString() == type;
        }));
    }

    QWebSocket socket;
    QList<QJsonObject> frames;
};

QJsonObject frame(const char *type, QJsonObject members = {})
{
    members.insert(QStringLiteral("type"), QLatin1String(type));
    return members;
}

QList<int> idsOf(const QJsonArray &list)
{
    QList<int> ids;
    for (const QJsonValue &v : list)
        ids.append(v.toObject().value(QStringLiteral("id")).toInt());
    return ids;
}

} // namespace

class TestStandIn : public QObject
{
    Q_OBJECT

private:
    StandInServer *m_server = nullptr;
    QNetworkAccessManager *m_net = nullptr;

    HttpResult finish(QNetworkReply *reply)
    {
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(5000);
        HttpResult r;
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.error = reply->error();
        r.body = reply->readAll();
        reply->deleteLater();
        return r;
    }

    QNetworkRequest request(const QString &path, const QString &token = {}) const
    {
        QNetworkRequest req(QUrl(m_server->restBaseUrl() + path));
        req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        if (!token.isEmpty())
            req.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        return req;
    }

    HttpResult get(const QString &path, const QString &token)
    {
        return finish(m_net->get(request(path, token)));
    }

    HttpResult post(const QString &path, const QByteArray &body, const QString &token = {})
    {
        return finish(m_net->post(request(path, token), body));
    }

    QString demoToken() { return m_server->issueToken(12); }

    // An agent link that has authenticated.
    std::unique_ptr<FrameClient> agentLink(int agentId)
    {
        auto client = std::make_unique<FrameClient>(m_server->wssUrl());
        if (!client->waitOpen())
            return nullptr;
        client->send(frame("auth", {{QStringLiteral("token"), m_server->issueToken(agentId)},
                                    {QStringLiteral("role"), QStringLiteral("agent")}}));
        if (client->waitFor(QStringLiteral("auth_ok")).isEmpty())
            return nullptr;
        return client;
    }

private slots:
    void init()
    {
        m_server = new StandInServer(this);
        QVERIFY(m_server->listen());
        m_net = new QNetworkAccessManager(this);
    }

    void cleanup()
    {
        delete m_net;
        delete m_server;
    }

    void tokenRules_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("auth"); // "none", "valid", "unknown"
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<int>("code");

        const QByteArray good = R"({"account":"demo","password":"demo123"})";
        QTest::newRow("login") << "POST" << "/agent/login" << good << "none" << 200 << 200;
        QTest::newRow("wrong password is a refusal, not 401")
                << "POST" << "/agent/login" << QByteArray(R"({"account":"demo","password":"nope"})") << "none" << 200 << 400;
        QTest::newRow("password as number") << "POST" << "/agent/login"
                                            << QByteArray(R"({"account":"demo","password":123})") << "none" << 200 << 400;
        QTest::newRow("login body not JSON") << "POST" << "/agent/login" << QByteArray("account=demo") << "none" << 200 << 400;
        QTest::newRow("channel without token") << "GET" << "/agent/channel" << QByteArray() << "none" << 401 << 401;
        QTest::newRow("channel with unknown token") << "GET" << "/agent/channel" << QByteArray() << "unknown" << 401 << 401;
        QTest::newRow("channel with token") << "GET" << "/agent/channel" << QByteArray() << "valid" << 200 << 200;
        QTest::newRow("translate needs no token")
                << "POST" << "/translate" << QByteArray("text=hello&target=zh-CN&user_id=3") << "none" << 200 << 200;
        QTest::newRow("session id as string") << "POST" << "/chat/mark-read" << QByteArray(R"({"session_id":"1"})")
                                              << "valid" << 200 << 400;
    }

    void tokenRules()
    {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QString, auth);
        QFETCH(int, httpStatus);
        QFETCH(int, code);
        m_server->addSession({{QStringLiteral("id"), 1}});
        const QString token = auth == QLatin1String("valid") ? demoToken()
                : auth == QLatin1String("unknown")          ? QStringLiteral("a.b.c")
                                                             : QString();
        const HttpResult r = method == QLatin1String("GET") ? get(path, token) : post(path, body, token);
        QCOMPARE(r.status, httpStatus);
        QCOMPARE(r.code(), code);
        if (code != 200)
            QVERIFY(!r.json().value(QStringLiteral("msg")).toString().isEmpty());
    }

    void loginTokenCarriesProfileAndDiesOnLogout()
    {
        const HttpResult login = post(QStringLiteral("/agent/login"), R"({"account":"lili","password":"lili123"})");
        const QJsonObject data = login.data();
        QCOMPARE(data.value(QStringLiteral("agent_id")).toInt(), 13);
        QCOMPARE(data.value(QStringLiteral("name")).toString(), QStringLiteral("李丽"));
        QCOMPARE(data.value(QStringLiteral("member_id")).toInt(), 3);
        const QString token = data.value(QStringLiteral("token")).toString();
        const QStringList parts = token.split(QLatin1Char('.'));
        QCOMPARE(parts.size(), 3);
        QVERIFY(!parts.at(1).contains(QLatin1Char('=')));
        const QJsonObject claims = QJsonDocument::fromJson(QByteArray::fromBase64(
                parts.at(1).toLatin1(), QByteArray::Base64UrlEncoding)).object();
        QCOMPARE(claims.value(QStringLiteral("uid")).toInt(), 13);
        QCOMPARE(claims.value(QStringLiteral("role")).toString(), QStringLiteral("agent"));
        QCOMPARE(claims.value(QStringLiteral("name")).toString(), QStringLiteral("李丽"));

        QCOMPARE(get(QStringLiteral("/agent/channel"), token).status, 200);
        QCOMPARE(post(QStringLiteral("/auth/logout"), "{}", token).code(), 200);
        QCOMPARE(get(QStringLiteral("/agent/channel"), token).status, 401);
    }

    void sessionPagesAreNewestFirst()
    {
        // 120 sessions of the channel, one hidden from "demo" because it is a colleague's.
        for (int i = 1; i <= 121; ++i) {
            QJsonObject f{{QStringLiteral("id"), i}, {QStringLiteral("last_time"), 1700000000 + i}};
            if (i == 121)
                f.insert(QStringLiteral("agent_id"), 13);
            m_server->addSession(f);
        }
        const QString token = demoToken();
        QList<int> seen;
        const bool expectedMore[] = {true, true, false};
        for (int page = 1; page <= 3; ++page) {
            const QJsonObject data =
                    get(QStringLiteral("/chat/channel-sessions?page=%1&limit=50").arg(page), token).data();
            QCOMPARE(data.value(QStringLiteral("total")).toInt(), 120);
            QCOMPARE(data.value(QStringLiteral("has_more")), QJsonValue(expectedMore[page - 1]));
            seen += idsOf(data.value(QStringLiteral("list")).toArray());
        }
        QCOMPARE(seen.size(), 120);
        QCOMPARE(seen.first(), 120);
        QCOMPARE(seen.last(), 1);
        QVERIFY(std::is_sorted(seen.crbegin(), seen.crend()));
    }

    void deleteRules_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("withMessage");
        QTest::addColumn<bool>("deleted");
        QTest::newRow("offline and empty") << "offline" << false << true;
        QTest::newRow("online and empty") << "online" << false << false;
        QTest::newRow("offline with a message") << "offline" << true << false;
    }

    void deleteRules()
    {
        QFETCH(QString, status);
        QFETCH(bool, withMessage);
        QFETCH(bool, deleted);
        const int id = m_server->addSession({{QStringLiteral("status"), status}});
        if (withMessage)
            m_server->addMessage(id, {{QStringLiteral("content"), QStringLiteral("hi")}});
        const HttpResult r = post(QStringLiteral("/chat/delete-session"),
                                  QJsonDocument(QJsonObject{{QStringLiteral("session_id"), id}}).toJson(),
                                  demoToken());
        QCOMPARE(r.status, 200);
        QCOMPARE(r.code() == 200, deleted);
        QCOMPARE(m_server->session(id).isEmpty(), deleted);
        if (deleted)
            QCOMPARE(r.data().value(QStringLiteral("session_id")).toInt(), id);
        else
            QVERIFY(!r.json().value(QStringLiteral("msg")).toString().isEmpty());
    }

    void recordFilters_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QList<int>>("ids");
        QTest::newRow("all") << "status=all" << QList<int>{4, 3, 2, 1};
        QTest::newRow("empty status") << "status=" << QList<int>{4, 3, 2, 1};
        QTest::newRow("online") << "status=online" << QList<int>{3, 1};
        QTest::newRow("closed") << "status=closed" << QList<int>{2};
        QTest::newRow("never answered") << "status=unreception" << QList<int>{4, 3};
        QTest::newRow("keyword in name, other case") << "status=&keyword=ANNA" << QList<int>{1};
        QTest::newRow("keyword in visitor id") << "status=all&keyword=x77" << QList<int>{4};
    }

    void recordFilters()
    {
        QFETCH(QString, query);
        QFETCH(QList<int>, ids);
        const auto add = [this](int id, const char *name, const char *visitorId, const char *status) {
            m_server->addSession({{QStringLiteral("id"), id},
                                  {QStringLiteral("visitor_name"), QString::fromUtf8(name)},
                                  {QStringLiteral("visitor_id"), QString::fromUtf8(visitorId)},
                                  {QStringLiteral("status"), QLatin1String(status)},
                                  {QStringLiteral("last_time"), 1700000000 + id}});
        };
        add(1, "Anna Müller", "", "online");
        add(2, "张伟", "", "closed");
        add(3, "", "v_123", "online");
        add(4, "", "v_X77", "offline");
        m_server->addMessage(1, {{QStringLiteral("from_type"), QStringLiteral("agent")}, {QStringLiteral("content"), QStringLiteral("您好")}});
        m_server->addMessage(2, {{QStringLiteral("from_type"), QStringLiteral("admin")}, {QStringLiteral("content"), QStringLiteral("您好")}});
        m_server->addMessage(3, {{QStringLiteral("from_type"), QStringLiteral("visitor")}, {QStringLiteral("content"), QStringLiteral("hi")}});

        const QJsonObject data = get(QStringLiteral("/chat/records?limit=20&page=1&") + query, demoToken()).data();
        QCOMPARE(idsOf(data.value(QStringLiteral("list")).toArray()), ids);
        QCOMPARE(data.value(QStringLiteral("total")).toInt(), ids.size());
    }

    void historyPagesGoBackwardsOldestFirst()
    {
        const int id = m_server->addSession();
        for (int i = 1; i <= 120; ++i) {
            m_server->addMessage(id, {{QStringLiteral("content"), QString::number(i)},
                                      {QStringLiteral("create_time"), 1700000000 + i},
                                      {QStringLiteral("is_deleted"), i == 100 ? 1 : 0}});
        }
        const QString token = demoToken();
        struct Expected { int first; int last; bool more; };
        const Expected pages[] = {{71, 120, true}, {21, 70, true}, {1, 20, false}};
        for (int page = 1; page <= 3; ++page) {
            const QJsonObject data = get(QStringLiteral("/chat/history?limit=50&page=%1&session_id=%2").arg(page).arg(id),
                                         token).data();
            const QJsonArray list = data.value(QStringLiteral("list")).toArray();
            QCOMPARE(list.first().toObject().value(QStringLiteral("content")).toString(), QString::number(pages[page - 1].first));
            QCOMPARE(list.last().toObject().value(QStringLiteral("content")).toString(), QString::number(pages[page - 1].last));
            QCOMPARE(data.value(QStringLiteral("total")).toInt(), 120);
            QCOMPARE(data.value(QStringLiteral("has_more")).toBool(), pages[page - 1].more);
            if (page == 1)
                QCOMPARE(list.at(29).toObject().value(QStringLiteral("is_deleted")).toInt(), 1);
        }
        // The newest page of messages reads the same way.
        const QJsonArray newest = get(QStringLiteral("/chat/messages?limit=50&page=1&session_id=%1").arg(id), token)
                                          .data().value(QStringLiteral("list")).toArray();
        QCOMPARE(newest.size(), 50);
        QCOMPARE(newest.last().toObject().value(QStringLiteral("content")).toString(), QStringLiteral("120"));
    }

    void uploadIsServedBack()
    {
        const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a") + QByteArray(300, '\x01');
        auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("image/png"));
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"file\"; filename=\"../../paste.png\""));
        part.setBody(png);
        multi->append(part);
        QNetworkReply *reply = m_net->post(QNetworkRequest(QUrl(m_server->restBaseUrl() + "/upload/chat-image")), multi);
        multi->setParent(reply);
        const HttpResult r = finish(reply);
        QCOMPARE(r.code(), 200);
        const QString url = r.data().value(QStringLiteral("url")).toString();
        QVERIFY2(url.startsWith(QStringLiteral("http://127.0.0.1:%1/uploads/").arg(m_server->port())), qPrintable(url));
        QVERIFY(!url.contains(QStringLiteral("..")));

        const HttpResult back = finish(m_net->get(QNetworkRequest(QUrl(url))));
        QCOMPARE(back.status, 200);
        QCOMPARE(back.body, png);
    }

    void faultsTakeTheirTurnThenStop()
    {
        const QString token = demoToken();
        m_server->injectFault(QStringLiteral("/agent/channel"), StandIn::Fault::Http500, 1);
        m_server->injectFault(QStringLiteral("/agent/channel"), StandIn::Fault::CodeAsString, 1);
        m_server->injectFault(QStringLiteral("/agent/channel"), StandIn::Fault::DropConnection, 1);
        QCOMPARE(get(QStringLiteral("/agent/channel"), token).status, 500);
        const HttpResult asString = get(QStringLiteral("/agent/channel"), token);
        QCOMPARE(asString.json().value(QStringLiteral("code")), QJsonValue(QStringLiteral("200")));
        const HttpResult dropped = get(QStringLiteral("/agent/channel"), token);
        QVERIFY(dropped.error != QNetworkReply::NoError);
        m_server->delayReplies(QStringLiteral("/agent/channel"), 100, 1);
        QCOMPARE(get(QStringLiteral("/agent/channel"), token).code(), 200);
        QCOMPARE(m_server->requestsTo(QStringLiteral("/agent/channel")).size(), 4);
        QCOMPARE(m_server->requestsTo(QStringLiteral("/agent/channel")).first().header("authorization"),
                 "Bearer " + token.toUtf8());
    }

    void realtimeConversation()
    {
        const int id = m_server->addSession({{QStringLiteral("visitor_name"), QStringLiteral("Anna")}});
        FrameClient raw(m_server->wssUrl());
        QVERIFY(raw.waitOpen());
        raw.send(frame("chat", {{QStringLiteral("session_id"), id}, {QStringLiteral("content"), QStringLiteral("x")}}));
        QVERIFY(!raw.waitFor(QStringLiteral("error")).isEmpty()); // not authenticated yet
        raw.socket.sendTextMessage(QStringLiteral("{not json"));
        QTRY_COMPARE(raw.count(QStringLiteral("error")), 2);
        m_server->refuseNextAuth(QStringLiteral("token过期"));
        raw.send(frame("auth", {{QStringLiteral("token"), demoToken()}, {QStringLiteral("role"), QStringLiteral("agent")}}));
        QCOMPARE(raw.waitFor(QStringLiteral("auth_fail")).value(QStringLiteral("msg")).toString(), QStringLiteral("token过期"));
        QCOMPARE(raw.socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(m_server->authenticatedCount(), 0);

        auto demo = agentLink(12);
        QVERIFY(demo);
        QCOMPARE(m_server->authenticatedCount(), 1);

        m_server->visitorSays(id, QStringLiteral("Hello"));
        const QJsonObject chat = demo->waitFor(QStringLiteral("chat"));
        QCOMPARE(chat.value(QStringLiteral("content")).toString(), QStringLiteral("Hello"));
        QCOMPARE(chat.value(QStringLiteral("session_id")).toInt(), id);
        QCOMPARE(chat.value(QStringLiteral("from_type")).toString(), QStringLiteral("visitor"));
        QCOMPARE(m_server->session(id).value(QStringLiteral("unread_count")).toInt(), 1);
        QCOMPARE(raw.count(QStringLiteral("chat")), 0); // never reaches an unauthenticated link

        demo->send(frame("chat", {{QStringLiteral("session_id"), id},
                                  {QStringLiteral("content"), QStringLiteral("您好")},
                                  {QStringLiteral("msg_type"), QStringLiteral("text")}}));
        const QJsonObject sent = demo->waitFor(QStringLiteral("chat_sent"));
        const QString uuid = sent.value(QStringLiteral("msg_uuid")).toString();
        QVERIFY(!uuid.isEmpty());
        QCOMPARE(sent.value(QStringLiteral("session_id")).toInt(), id);
        const QJsonObject stored = m_server->messages(id).last().toObject();
        QCOMPARE(stored.value(QStringLiteral("msg_uuid")).toString(), uuid);
        QCOMPARE(stored.value(QStringLiteral("from_type")).toString(), QStringLiteral("agent"));
        QCOMPARE(stored.value(QStringLiteral("from_id")).toInt(), 12);

        demo->send(frame("recall", {{QStringLiteral("session_id"), id}, {QStringLiteral("msg_uuid"), uuid}}));
        QTRY_COMPARE(m_server->messages(id).last().toObject().value(QStringLiteral("is_deleted")).toInt(), 1);

        demo->send(frame("ping"));
        QVERIFY(!demo->waitFor(QStringLiteral("pong")).isEmpty());
        QVERIFY(m_server->receivedFrames().contains(QStringLiteral(R"({"type":"ping"})")));
    }

    void onlyTheChannelPathTakesWebSockets()
    {
        FrameClient stray(QStringLiteral("ws://127.0.0.1:%1/other").arg(m_server->port()));
        QSignalSpy closed(&stray.socket, &QWebSocket::disconnected);
        QVERIFY(closed.wait());
        QCOMPARE(m_server->connectionCount(), 0);

        FrameClient link(m_server->wssUrl());
        QVERIFY(link.waitOpen());
        QTRY_COMPARE(m_server->connectionCount(), 1);
        m_server->dropConnections();
        QTRY_COMPARE(link.socket.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(m_server->connectionCount(), 0);
    }

    void transferTellsBothSides()
    {
        const int id = m_server->addSession();
        auto demo = agentLink(12);
        auto lili = agentLink(13);
        QVERIFY(demo && lili);

        // An offline colleague cannot take it.
        demo->send(frame("transfer", {{QStringLiteral("session_id"), id}, {QStringLiteral("target_agent_id"), 15}}));
        QVERIFY(!demo->waitFor(QStringLiteral("error")).isEmpty());

        const int liliFrom = int(lili->frames.size());
        demo->send(frame("transfer", {{QStringLiteral("session_id"), id}, {QStringLiteral("target_agent_id"), 13}}));
        const QJsonObject removed = demo->waitFor(QStringLiteral("session_transferred"));
        QCOMPARE(removed.value(QStringLiteral("action")).toString(), QStringLiteral("removed"));
        QCOMPARE(removed.value(QStringLiteral("session_id")).toInt(), id);
        const QJsonObject assigned = lili->waitFor(QStringLiteral("session_transferred"), liliFrom);
        QCOMPARE(assigned.value(QStringLiteral("action")).toString(), QStringLiteral("assigned"));
        QCOMPARE(assigned.value(QStringLiteral("session_id")).toInt(), id);

        // The lists follow: the receiver sees it, the giver no longer does.
        const auto listed = [this](int agentId) {
            return idsOf(get(QStringLiteral("/chat/channel-sessions?limit=50&page=1"), m_server->issueToken(agentId))
                                 .data().value(QStringLiteral("list")).toArray());
        };
        QCOMPARE(listed(13), QList<int>{id});
        QCOMPARE(listed(12), QList<int>{});
    }
};

ORVANTIS_TEST_MAIN(TestStandIn)
#include "tst_standin.moc"
