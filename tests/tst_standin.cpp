#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/wssclient.h"

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
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    int code() const { return json().value("code").toInt(-1); }
    QJsonObject data() const { return json().value("data").toObject(); }
    QList<int> listed(const char *key = "id") const
    {
        QList<int> values;
        for (const QJsonValue &v : data().value("list").toArray())
            values.append(v.toObject().value(key).toVariant().toInt());
        return values;
    }
};

} // namespace

class TestStandIn : public QObject
{
    Q_OBJECT

    std::unique_ptr<StandInServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_net;

    HttpResult finish(QNetworkReply *reply)
    {
        if (!reply->isFinished())
            QSignalSpy(reply, &QNetworkReply::finished).wait(5000);
        const HttpResult result {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                                 reply->readAll()};
        reply->deleteLater();
        return result;
    }

    // GET when postBody is null, POST otherwise.
    HttpResult call(const QString &path, const QByteArray &postBody, const QString &token)
    {
        QNetworkRequest request(QUrl(m_server->restBaseUrl() + path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (!token.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        return finish(postBody.isNull() ? m_net->get(request) : m_net->post(request, postBody));
    }

    HttpResult get(const QString &path, int agentId = 12)
    {
        return call(path, {}, m_server->issueToken(agentId));
    }

private slots:
    void init()
    {
        m_server = std::make_unique<StandInServer>();
        QVERIFY(m_server->listen());
        m_net = std::make_unique<QNetworkAccessManager>();
    }

    void cleanup()
    {
        m_net.reset();
        m_server.reset();
    }

    void tokenRules_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body"); // null: GET
        QTest::addColumn<QString>("token"); // "valid" and "revoked" stand for real ones
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<int>("code");
        auto row = [](const char *tag, const char *path, const char *body, const char *token,
                      int status, int code) {
            QTest::newRow(tag) << path << QByteArray(body) << token << status << code;
        };
        row("wrong password is a refusal, not 401", "/agent/login",
            R"({"account":"demo","password":"nope"})", "", 200, 400);
        row("channel without token", "/agent/channel", nullptr, "", 401, 401);
        row("channel with unknown token", "/agent/channel", nullptr, "a.b.c", 401, 401);
        row("channel with token", "/agent/channel", nullptr, "valid", 200, 200);
        row("channel with revoked token", "/agent/channel", nullptr, "revoked", 401, 401);
        row("upload needs no token", "/upload/chat-image", "x", "", 200, 400);
        row("session id as string", "/chat/mark-read", R"({"session_id":"1"})", "valid", 200, 400);
    }

    void tokenRules()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QString, token);
        QFETCH(int, httpStatus);
        QFETCH(int, code);
        m_server->addSession({{"id", 1}});
        const bool revoked = token == "revoked";
        if (revoked || token == "valid")
            token = m_server->issueToken(12);
        if (revoked)
            m_server->revokeTokens();
        const HttpResult r = call(path, body, token);
        QCOMPARE(r.status, httpStatus);
        QCOMPARE(r.code(), code);
        if (code != 200)
            QVERIFY(!r.json().value("msg").toString().isEmpty());
    }

    void loginTokenCarriesProfileAndDiesOnLogout()
    {
        const QByteArray login = R"({"account":"lili","password":"lili123"})";
        const QJsonObject data = call("/agent/login", login, {}).data();
        QCOMPARE(data.value("agent_id").toInt(), 13);
        const QString token = data.value("token").toString();
        QCOMPARE(token.count('.'), 2);
        const QByteArray payload = QByteArray::fromBase64(token.section('.', 1, 1).toLatin1(),
                                                          QByteArray::Base64UrlEncoding);
        const QJsonObject claims = QJsonDocument::fromJson(payload).object();
        for (const char *key : {"uid", "name", "role", "member_id"})
            QVERIFY2(claims.contains(key), key);
        QCOMPARE(claims.value("uid").toInt(), 13);
        QCOMPARE(claims.value("name").toString(), "李丽");

        QCOMPARE(call("/agent/channel", {}, token).status, 200);
        QCOMPARE(call("/auth/logout", "{}", token).code(), 200);
        QCOMPARE(call("/agent/channel", {}, token).status, 401);
    }

    void sessionPagesAreNewestFirst()
    {
        // 120 sessions of the channel, one more hidden from "demo" because it is a colleague's.
        for (int i = 1; i <= 121; ++i) {
            QJsonObject fields {{"id", i}, {"last_time", 1700000000 + i}};
            if (i == 121)
                fields.insert("agent_id", 13);
            m_server->addSession(fields);
        }
        QList<int> seen;
        for (int page = 1; page <= 3; ++page) {
            const HttpResult r = get(QString("/chat/channel-sessions?page=%1&limit=50").arg(page));
            QCOMPARE(r.data().value("total").toInt(), 120);
            QCOMPARE(r.data().value("has_more"), QJsonValue(page < 3)); // a real boolean
            seen += r.listed();
        }
        QCOMPARE(seen.size(), 120);
        QCOMPARE(seen.first(), 120);
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
        const int id = m_server->addSession({{"status", status}});
        if (withMessage)
            m_server->addMessage(id, {{"content", "hi"}});
        const QByteArray body = QJsonDocument(QJsonObject {{"session_id", id}}).toJson();
        const HttpResult r = call("/chat/delete-session", body, m_server->issueToken(12));
        QCOMPARE(r.code() == 200, deleted);
        QCOMPARE(m_server->session(id).isEmpty(), deleted);
        if (deleted)
            QCOMPARE(r.data().value("session_id").toInt(), id);
    }

    void recordFilters_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QList<int>>("ids");
        QTest::newRow("all") << "status=all" << QList<int> {4, 3, 2, 1};
        QTest::newRow("empty status") << "status=" << QList<int> {4, 3, 2, 1};
        QTest::newRow("online") << "status=online" << QList<int> {3, 1};
        QTest::newRow("closed") << "status=closed" << QList<int> {2};
        QTest::newRow("never answered") << "status=unreception" << QList<int> {4, 3};
        QTest::newRow("keyword in name, other case") << "status=&keyword=ANNA" << QList<int> {1};
        QTest::newRow("keyword in visitor id") << "status=all&keyword=x77" << QList<int> {4};
    }

    void recordFilters()
    {
        QFETCH(QString, query);
        QFETCH(QList<int>, ids);
        const auto add = [this](int id, const char *name, const char *visitorId, const char *status,
                                const char *answeredBy) {
            m_server->addSession({{"id", id},
                                  {"visitor_name", QString::fromUtf8(name)},
                                  {"visitor_id", visitorId},
                                  {"status", status},
                                  {"last_time", 1700000000 + id}});
            if (*answeredBy)
                m_server->addMessage(id, {{"from_type", answeredBy}, {"content", "您好"}});
        };
        add(1, "Anna Müller", "", "online", "agent");
        add(2, "张伟", "", "closed", "admin");
        add(3, "", "v_123", "online", "visitor");
        add(4, "", "v_X77", "offline", "");
        const HttpResult r = get("/chat/records?limit=20&page=1&" + query);
        QCOMPARE(r.listed(), ids);
        QCOMPARE(r.data().value("total").toInt(), ids.size());
    }

    void historyPagesGoBackwardsOldestFirst()
    {
        const int id = m_server->addSession();
        for (int i = 1; i <= 120; ++i)
            m_server->addMessage(id, {{"content", QString::number(i)}, {"create_time", 1.7e9 + i}});
        const QString history = QString("/chat/history?limit=50&page=%2&session_id=%1").arg(id);
        const QList<int> firsts {71, 21, 1};
        const QList<int> lasts {120, 70, 20};
        for (int page = 1; page <= 3; ++page) {
            const HttpResult r = get(history.arg(page));
            QCOMPARE(r.listed("content").first(), firsts.at(page - 1));
            QCOMPARE(r.listed("content").last(), lasts.at(page - 1));
            QCOMPARE(r.data().value("total").toInt(), 120);
            QCOMPARE(r.data().value("has_more"), QJsonValue(page < 3));
        }
        // The newest page of messages reads the same way.
        const HttpResult newest = get(history.arg(1).replace("history", "messages"));
        QCOMPARE(newest.listed("content").size(), 50);
        QCOMPARE(newest.listed("content").last(), 120);
    }

    void uploadIsServedBack()
    {
        const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a") + QByteArray(300, '\x01');
        auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentTypeHeader, "image/png");
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       R"(form-data; name="file"; filename="../../x.png")");
        part.setBody(png);
        multi->append(part);
        const QUrl uploadUrl(m_server->restBaseUrl() + "/upload/chat-image");
        QNetworkReply *reply = m_net->post(QNetworkRequest(uploadUrl), multi);
        multi->setParent(reply);
        const HttpResult r = finish(reply);
        QCOMPARE(r.code(), 200);
        // The client's file name never steers where the file goes.
        const QString url = r.data().value("url").toString();
        const QString uploads = QString("http://127.0.0.1:%1/uploads/").arg(m_server->port());
        QVERIFY2(url.startsWith(uploads) && !url.contains(".."), qPrintable(url));
        const HttpResult back = finish(m_net->get(QNetworkRequest(QUrl(url))));
        QCOMPARE(back.status, 200);
        QCOMPARE(back.body, png);
    }

    void linkRules_data()
    {
        QTest::addColumn<QStringList>("frames"); // %1: a token of "demo"
        QTest::addColumn<int>("owner"); // of the session the visitor then writes in
        QTest::addColumn<QStringList>("answers"); // "type msg", the closing ping's included
        const auto row
            = [](const char *tag, const QStringList &frames, int owner,
                 const QStringList &answers) { QTest::newRow(tag) << frames << owner << answers; };
        const QString auth = R"({"type":"auth","role":"agent","token":"%1"})";
        const QString join = R"({"type":"join","channel":"demo-channel"})";
        const QString chat = R"({"type":"chat","content":"x","session_id":1})";
        const QString to = R"({"type":"transfer","session_id":1,"target_agent_id":)";
        const QString refused = "error 未认证";
        row("not signed in", {join}, 0, {refused, refused});
        row("after auth_fail", {auth.arg("x"), join}, 0, {"auth_fail token无效", refused, refused});
        row("not joined", {auth}, 0, {"auth_ok ", "pong "});
        row("joined", {auth, join}, 0, {"auth_ok ", "joined ", "chat ", "pong "});
        row("joined, a colleague's session", {auth, join}, 13, {"auth_ok ", "joined ", "pong "});
        row("chat", {auth, chat}, 0, {"auth_ok ", "chat_sent ", "pong "});
        row("chat, a colleague's session", {auth, chat}, 13,
            {"auth_ok ", "error 会话不存在", "pong "});
        row("join a colleague's session", {auth, R"({"type":"join_session","session_id":1})"}, 13,
            {"auth_ok ", "error 会话不存在", "pong "});
        row("transfer to another merchant", {auth, to + "41}"}, 0,
            {"auth_ok ", "error 目标坐席不存在", "pong "});
    }

    void linkRules()
    {
        QFETCH(QStringList, frames);
        QFETCH(int, owner);
        QFETCH(QStringList, answers);
        m_server->addAccount({41, "other", "other123", "别家", 9, "agent", true});
        m_server->addSession({{"id", 1}, {"agent_id", owner}, {"last_time", 1}});
        QWebSocket link;
        QStringList inbox;
        connect(&link, &QWebSocket::textMessageReceived, this, [&inbox](const QString &text) {
            const QJsonObject f = QJsonDocument::fromJson(text.toUtf8()).object();
            inbox << f.value("type").toString() + ' ' + f.value("msg").toString();
        });
        link.open(QUrl(m_server->wssUrl()));
        QTRY_COMPARE(link.state(), QAbstractSocket::ConnectedState);
        for (const QString &frame : frames) {
            link.sendTextMessage(frame.contains("%1") ? frame.arg(m_server->issueToken(12))
                                                      : frame);
            QTRY_COMPARE(inbox.size(), frames.indexOf(frame) + 1);
        }
        m_server->visitorSays(1, "hi");
        link.sendTextMessage(R"({"type":"ping"})");
        QTRY_COMPARE(inbox, answers);
        // Whoever listens, the visitor's message is kept and counted; refusals change nothing.
        const QJsonObject s = m_server->session(1);
        QCOMPARE(m_server->messages(1).size(), 1 + answers.count("chat_sent "));
        QCOMPARE(s.value("unread_count").toInt(), 1);
        QVERIFY(s.value("last_msg") == "hi" && s.value("last_time").toInteger() > 1);
        QCOMPARE(s.value("agent_id").toInt(), owner);
    }

    void transferTellsBothSides()
    {
        const int id = m_server->addSession();
        WssClient demo;
        WssClient lili;
        QSignalSpy refused(&demo, &WssClient::connectionError);
        QSignalSpy removed(&demo, &WssClient::sessionTransferred);
        QSignalSpy assigned(&lili, &WssClient::sessionTransferred);
        for (const auto &[client, agentId] : {std::pair(&demo, 12), std::pair(&lili, 13)}) {
            client->setUrl(m_server->wssUrl());
            client->connectToServer(m_server->issueToken(agentId), "agent");
        }
        QTRY_COMPARE(m_server->authenticatedCount(), 2);

        // An offline colleague cannot take it.
        demo.sendTransfer(id, 15);
        QTRY_COMPARE(refused.count(), 1);

        demo.sendTransfer(id, 13);
        QTRY_COMPARE(removed.count(), 1);
        QTRY_COMPARE(assigned.count(), 1);
        const QVariantMap toGiver = removed.first().first().toMap();
        const QVariantMap toReceiver = assigned.first().first().toMap();
        QCOMPARE(toGiver.value("action").toString(), "removed");
        QCOMPARE(toGiver.value("session_id").toInt(), id);
        QCOMPARE(toReceiver.value("action").toString(), "assigned");
        QCOMPARE(toReceiver.value("session_id").toInt(), id);

        // The lists follow: the receiver sees it, the giver no longer does.
        QCOMPARE(get("/chat/channel-sessions?limit=50&page=1", 13).listed(), QList<int> {id});
        QCOMPARE(get("/chat/channel-sessions?limit=50&page=1", 12).listed(), QList<int> {});
    }
};

ORVANTIS_TEST_MAIN(TestStandIn)
#include "tst_standin.moc"
