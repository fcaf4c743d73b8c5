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
    void returnKeys()
    {
        // Typed account|password, where Return is pressed, then what shows and the focused field:
        // nothing, a spaces-only account, no password, Return in the account field.
        const QList<std::array<QString, 3>> rows {
            {"|", "passwordEdit", "||true|登 录|请输入坐席账号 emailEdit"},
            {"  |x", "passwordEdit", "  |x|true|登 录|请输入坐席账号 emailEdit"},
            {"demo|", "passwordEdit", "demo||true|登 录|请输入密码 passwordEdit"},
            {"demo|x", "emailEdit", "demo|x|true|登 录| passwordEdit"}};
        for (const auto &[typed, key, state] : rows) {
            init();
            w("emailEdit")->setProperty("text", typed.section('|', 0, 0));
            w("passwordEdit")->setProperty("text", typed.section('|', 1));
            w(key)->setFocus();
            QTest::keyClick(w(key), Qt::Key_Return);
            QCOMPARE(shown() + ' ' + dialog->focusWidget()->objectName(), state);
            QCOMPARE(api->pendingRequestCount(), 0);
        }
    }

    // Credentials are stored or forgotten on success; a failure is shown and
    // leaves them, and the token, alone.
    void signIn()
    {
        // Ticked, unticked, a failure in markup, an HTTP 401; an empty error: signed in.
        const QByteArray signedIn = R"({"code":200,"data":{"token":"new-token"}})";
        const QList<std::tuple<bool, int, QByteArray, QString>> rows {
            {true, 200, signedIn, ""},
            {false, 200, signedIn, ""},
            {true, 200, R"({"code":403,"msg":"<b>x</b>"})", "<b>x</b>"},
            {false, 401, "{}", "认证失败"}};
        for (const auto &[remember, status, reply, error] : rows) {
            init();
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
            QCOMPARE(
                shown(),
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
        QVERIFY(!success.wait(600));
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
