#include "testsupport.h"

#include "devserver/standinserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>

// Only what the other tests lean on: tokens, login, paging.
class TestStandIn : public QObject
{
    Q_OBJECT

    StandIn::StandInServer m_server;
    QNetworkAccessManager m_net;

    // HTTP status and JSON body of a GET (null body) or POST.
    QPair<int, QJsonObject> call(const QString &path, const QByteArray &body, const QString &token)
    {
        QNetworkRequest request(QUrl(m_server.restBaseUrl() + path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        QNetworkReply *reply = body.isNull() ? m_net.get(request) : m_net.post(request, body);
        QSignalSpy(reply, &QNetworkReply::finished).wait(5000);
        reply->deleteLater();
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                QJsonDocument::fromJson(reply->readAll()).object()};
    }

private slots:
    void initTestCase() { QVERIFY(m_server.listen()); }

    void tokensAndPaging()
    {
        const QByteArray login = R"({"account":"lili","password":"lili123"})";
        QCOMPARE(call("/agent/login", R"({"account":"lili","password":"x"})", {}).second["code"],
                 400);
        const QString token
            = call("/agent/login", login, {}).second["data"].toObject()["token"].toString();
        QCOMPARE(call("/agent/channel", {}, "a.b.c").first, 401);
        QCOMPARE(call("/agent/channel", {}, token).first, 200);

        for (int i = 1; i <= 51; ++i)
            m_server.addSession({{"id", i}, {"last_time", 1700000000 + i}});
        const QString page = "/chat/channel-sessions?limit=50&page=%1";
        const QJsonObject first = call(page.arg(1), {}, token).second["data"].toObject();
        QCOMPARE(first["list"].toArray().first()["id"], 51); // newest first
        QCOMPARE(first["has_more"], true);
        QCOMPARE(call(page.arg(2), {}, token).second["data"].toObject()["has_more"], false);

        QCOMPARE(call("/auth/logout", "{}", token).second["code"], 200);
        QCOMPARE(call("/agent/channel", {}, token).first, 401);
        const QString issued = m_server.issueToken(12);
        QCOMPARE(call("/agent/channel", {}, issued).first, 200);
        m_server.revokeTokens();
        QCOMPARE(call("/agent/channel", {}, issued).first, 401);
    }
};

ORVANTIS_TEST_MAIN(TestStandIn)
#include "tst_standin.moc"
