#include "testsupport.h"

#include "devserver/server.h"
#include "net/apiclient.h"
#include "shell/logindialog.h"

class TestLoginDialog : public QObject
{
    Q_OBJECT

    DevServer::Server server;
    std::unique_ptr<ApiClient> api;
    std::unique_ptr<LoginDialog> dialog;
    QSettings store {"orvantis", "config"};

    QWidget *w(const QString &name) const { return dialog->findChild<QWidget *>(name); }
    // What the dialog shows: account|password|remember|button|error line.
    QString shown() const
    {
        QStringList parts;
        for (auto name : {"emailEdit", "passwordEdit", "rememberCheck", "loginBtn", "errorLabel"})
            parts << w(name)->property(name[0] == 'r' ? "checked" : "text").toString();
        return parts.join('|') + (w("loginBtn")->isEnabled() ? "" : " (disabled)");
    }

private slots:
    void initTestCase() { QVERIFY(server.listen()); }
    // Every test starts with remembered credentials and a token.
    void init()
    {
        server.clearRequests();
        store.setValue("remembered_email", "lili");
        store.setValue("remembered_password", "lili123");
        store.setValue("token", "earlier-token");
        api = std::make_unique<ApiClient>();
        api->setBaseUrl(server.restBaseUrl());
        dialog = std::make_unique<LoginDialog>(api.get());
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
    }

    // Return in the account field only moves on; missing input is named and
    // focused, and nothing is sent.
    void returnKeys_data()
    {
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("key"); // the field Return is pressed in
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("focus");
        const auto row = [](const char *name, const char *account, const char *password,
                            const char *key, const char *shown, const char *focus) {
            QTest::newRow(name) << QString(account) << QString(password) << QString(key)
                                << QString(shown) << QString(focus);
        };
        row("nothing", "", "", "passwordEdit", "||true|登 录|请输入坐席账号", "emailEdit");
        row("spaces-only account", "  ", "x", "passwordEdit", "  |x|true|登 录|请输入坐席账号",
            "emailEdit");
        row("no password", "demo", "", "passwordEdit", "demo||true|登 录|请输入密码",
            "passwordEdit");
        row("in the account field", "demo", "x", "emailEdit", "demo|x|true|登 录|", "passwordEdit");
    }
    void returnKeys()
    {
        QFETCH(QString, account);
        QFETCH(QString, password);
        QFETCH(QString, key);
        w("emailEdit")->setProperty("text", account);
        w("passwordEdit")->setProperty("text", password);
        w(key)->setFocus();
        QTest::keyClick(w(key), Qt::Key_Return);
        QTEST(shown(), "shown");
        QTEST(dialog->focusWidget()->objectName(), "focus");
        QCOMPARE(api->pendingRequestCount(), 0);
    }

    // Credentials are stored or forgotten on success; a failure is shown and
    // leaves them, and the token, alone. An empty error: signed in.
    void signIn_data()
    {
        QTest::addColumn<bool>("remember");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("error");
        const QByteArray signedIn = R"({"code":200,"data":{"token":"new-token"}})";
        QTest::newRow("remembered") << true << 200 << signedIn << QString();
        QTest::newRow("not remembered") << false << 200 << signedIn << QString();
        QTest::newRow("refused, in markup")
            << true << 200 << QByteArray(R"({"code":403,"msg":"<b>x</b>"})") << "<b>x</b>";
        QTest::newRow("HTTP 401") << false << 401 << QByteArray("{}") << "认证失败";
    }
    void signIn()
    {
        QFETCH(bool, remember);
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, error);
        server.setRawReply("/agent/login", status, reply);
        // The account is trimmed, the password is not.
        w("emailEdit")->setProperty("text", "  spacey  ");
        w("passwordEdit")->setProperty("text", " pass word ");
        w("rememberCheck")->setProperty("checked", remember);
        QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
        QTest::mouseClick(w("loginBtn"), Qt::LeftButton);
        QTRY_COMPARE(api->pendingRequestCount(), 0);
        QCOMPARE(server.requestsTo("/agent/login").value(0).jsonBody(),
                 (QJsonObject {{"account", "spacey"}, {"password", " pass word "}}));
        QCOMPARE(shown(),
                 "  spacey  | pass word |" + QVariant(remember).toString()
                     + (error.isEmpty() ? "|登录中...| (disabled)" : "|登 录|网络错误：" + error));
        QCOMPARE(dialog->isVisible(), success.isEmpty());
        // The remembered credentials and the token; without a secret
        // store the password is written once the store has refused it.
        const auto stored = [this] {
            store.sync();
            QStringList values;
            for (const QString &key : store.allKeys())
                values << store.value(key).toString();
            return values.join('|');
        };
        QTRY_COMPARE(stored(),
                     !error.isEmpty() ? "lili|lili123|earlier-token"
                         : remember   ? "spacey| pass word |new-token"
                                      : "new-token");
    }

    // The dialog neither cancels the main window's requests nor reports their
    // failures, and a second Return abandons the first sign-in.
    void othersRequestsAreNotItsBusiness()
    {
        w("emailEdit")->setProperty("text", "demo");
        w("passwordEdit")->setProperty("text", "demo123");
        QSignalSpy channel(api.get(), &ApiClient::channelInfoReceived);
        QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
        server.setRawReply("/agent/channel", 200, R"({"code":200,"data":{}})");
        server.injectFault("/chat/history", DevServer::Fault::Http500);
        server.delayReplies("/agent/login", 400);
        api->sendGetRequest("/agent/channel");
        api->getHistory(1, 1);
        QTest::keyClick(w("passwordEdit"), Qt::Key_Return);
        QTRY_COMPARE(channel.count(), 1);
        QCOMPARE(shown(), "demo|demo123|true|登录中...| (disabled)");
        QTest::keyClick(w("passwordEdit"), Qt::Key_Return);
        QTRY_COMPARE(success.count(), 1);
        // The first answer comes in as well, unheard.
        QTRY_VERIFY(api->findChildren<QNetworkReply *>().isEmpty());
        QCOMPARE(success.count(), 1);
        QCOMPARE(server.requestsTo("/agent/login").size(), 2); // one for each Return
    }

    // Remembered credentials are offered, the password only with its account;
    // a notice is kept as it came.
    void setAccountAndNotice()
    {
        dialog->setAccount("lili");
        dialog->showNotice("<b>登录已过期</b>");
        QCOMPARE(shown(), "lili|lili123|true|登 录|<b>登录已过期</b>");
        dialog->setAccount("demo");
        QCOMPARE(shown(), "demo||true|登 录|<b>登录已过期</b>");
    }
};

ORVANTIS_TEST_MAIN(TestLoginDialog)
#include "tst_logindialog.moc"
