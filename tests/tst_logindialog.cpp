#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/apiclient.h"
#include "shell/logindialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>

#include <memory>

using StandIn::Fault;

namespace {
const QString loginPath = QStringLiteral("/agent/login");

QSettings store()
{
    return QSettings(QStringLiteral("orvantis"), QStringLiteral("config"));
}

void seedStore(const QVariantMap &values)
{
    QSettings settings = store();
    for (auto it = values.begin(); it != values.end(); ++it)
        settings.setValue(it.key(), it.value());
}
} // namespace

class TestLoginDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(server.listen());
        server.addAccount({41, QStringLiteral("spacey"), QStringLiteral(" pass word "),
                           QStringLiteral("空格坐席"), 3});
    }
    void init()
    {
        server.clearFaults();
        server.clearRequests();
        store().clear();
        api = std::make_unique<ApiClient>();
        api->setBaseUrl(server.restBaseUrl());
    }
    void cleanup()
    {
        dialog.reset();
        api.reset();
    }

    void validation_data();
    void validation();
    void returnKeys();
    void rememberedCredentials_data();
    void rememberedCredentials();
    void successStoresOrForgets_data();
    void successStoresOrForgets();
    void failures_data();
    void failures();
    void othersRequestsAreNotItsBusiness();

private:
    // Opens the dialog and, when given, types the credentials as a user would.
    void openDialog(const QString &account = {}, const QString &password = {})
    {
        dialog = std::make_unique<LoginDialog>(api.get());
        dialog->show();
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        if (account.isNull() && password.isNull())
            return; // keep what the dialog filled in from the store
        emailEdit()->clear();
        passwordEdit()->clear();
        QTest::keyClicks(emailEdit(), account);
        QTest::keyClicks(passwordEdit(), password);
    }
    QLineEdit *emailEdit() const { return dialog->findChild<QLineEdit *>("emailEdit"); }
    QLineEdit *passwordEdit() const { return dialog->findChild<QLineEdit *>("passwordEdit"); }
    QCheckBox *rememberCheck() const { return dialog->findChild<QCheckBox *>("rememberCheck"); }
    QPushButton *loginBtn() const { return dialog->findChild<QPushButton *>("loginBtn"); }
    QLabel *errorLabel() const { return dialog->findChild<QLabel *>("errorLabel"); }

    StandIn::StandInServer server;
    std::unique_ptr<ApiClient> api;
    std::unique_ptr<LoginDialog> dialog;
};

void TestLoginDialog::validation_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("focusOnAccount");

    QTest::newRow("nothing") << ""
                             << ""
                             << "请输入坐席账号" << true;
    QTest::newRow("spaces-only account") << "    "
                                         << "demo123"
                                         << "请输入坐席账号" << true;
    QTest::newRow("no password") << "demo"
                                 << ""
                                 << "请输入密码" << false;
}

void TestLoginDialog::validation()
{
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(QString, error);
    QFETCH(bool, focusOnAccount);

    openDialog(account, password);
    // Start from the other field, so the focus move is visible.
    (focusOnAccount ? passwordEdit() : emailEdit())->setFocus();
    QTest::mouseClick(loginBtn(), Qt::LeftButton);

    QCOMPARE(errorLabel()->text(), error);
    QTRY_VERIFY((focusOnAccount ? emailEdit() : passwordEdit())->hasFocus());
    QVERIFY(loginBtn()->isEnabled());
    QCOMPARE(api->pendingRequestCount(), 0);
    QCOMPARE(emailEdit()->text(), account);
}

void TestLoginDialog::returnKeys()
{
    server.delayReplies(loginPath, 1500);
    openDialog();
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    QSignalSpy errors(api.get(), &ApiClient::apiError);
    emailEdit()->setFocus();
    QTRY_VERIFY(emailEdit()->hasFocus());
    QTest::keyClicks(emailEdit(), QStringLiteral("demo"));

    // Return in the account field only moves on; nothing is sent.
    QTest::keyClick(emailEdit(), Qt::Key_Return);
    QTRY_VERIFY(passwordEdit()->hasFocus());
    QCOMPARE(api->pendingRequestCount(), 0);

    // Return in the password field signs in.
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("demo123"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(!loginBtn()->isEnabled());
    QCOMPARE(loginBtn()->text(), QStringLiteral("登录中..."));
    QTRY_COMPARE(server.requestsTo(loginPath).size(), 1);

    // The button is disabled, yet Return still signs in: the first request is
    // abandoned and a fresh one posted.
    QTest::keyClick(passwordEdit(), Qt::Key_Return);
    QCOMPARE(api->pendingRequestCount(), 1);
    QTRY_COMPARE(success.count(), 1);
    QCOMPARE(server.requestsTo(loginPath).size(), 2);
    QCOMPARE(errors.count(), 0); // the abandoned request reports nothing
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
}

void TestLoginDialog::rememberedCredentials_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("ticked");

    QTest::newRow("both") << QVariantMap {{"remembered_email", "demo"},
                                          {"remembered_password", "demo123"}}
                          << "demo"
                          << "demo123" << true;
    QTest::newRow("empty password")
        << QVariantMap {{"remembered_email", "demo"}, {"remembered_password", ""}} << "demo"
        << "" << true;
    QTest::newRow("password only") << QVariantMap {{"remembered_password", "secret"}} << ""
                                   << "" << false;
}

void TestLoginDialog::rememberedCredentials()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(bool, ticked);

    seedStore(stored);
    openDialog();
    QCOMPARE(emailEdit()->text(), account);
    QCOMPARE(passwordEdit()->text(), password);
    QCOMPARE(rememberCheck()->isChecked(), ticked);
}

void TestLoginDialog::successStoresOrForgets_data()
{
    QTest::addColumn<bool>("remember");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("account"); // as sent and remembered
    QTest::addColumn<QString>("password"); // never trimmed
    QTest::newRow("ticked") << true << "  spacey  "
                            << "spacey"
                            << " pass word ";
    QTest::newRow("unticked") << false << " demo "
                              << "demo"
                              << "demo123";
}

void TestLoginDialog::successStoresOrForgets()
{
    QFETCH(bool, remember);
    QFETCH(QString, typed);
    QFETCH(QString, account);
    QFETCH(QString, password);
    seedStore({{"remembered_email", "lili"}, {"remembered_password", "lili123"}});
    openDialog(typed, password);
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    if (!remember)
        QTest::mouseClick(rememberCheck(), Qt::LeftButton);
    QCOMPARE(rememberCheck()->isChecked(), remember);
    QTest::mouseClick(loginBtn(), Qt::LeftButton);

    QTRY_VERIFY2(success.count() == 1, qPrintable(errorLabel()->text()));
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    const QJsonObject sent = server.requestsTo(loginPath).first().jsonBody();
    QCOMPARE(sent.value("account").toString(), account);
    QCOMPARE(sent.value("password").toString(), password);
    const QString token = success.first().at(0).toString();
    QVERIFY(!token.isEmpty());
    QCOMPARE(store().value("token").toString(), token);
    QCOMPARE(store().value("remembered_email"), remember ? QVariant(account) : QVariant());
    QCOMPARE(store().value("remembered_password"), remember ? QVariant(password) : QVariant());
}

void TestLoginDialog::failures_data()
{
    QTest::addColumn<int>("fault"); // a StandIn::Fault, or -1 for none
    QTest::addColumn<QByteArray>("raw"); // a raw 200 reply instead, when not empty
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("error");

    const QString url = server.restBaseUrl() + loginPath;
    const auto row = [](const char *name, Fault fault, const QString &error) {
        QTest::newRow(name) << int(fault) << QByteArray() << "demo123"
                            << "网络错误：" + error;
    };
    row("refusal", Fault::Refuse, QStringLiteral("服务暂不可用"));
    row("http 500", Fault::Http500,
        QStringLiteral("Error transferring %1 - server replied: Internal Server Error").arg(url));
    row("not json", Fault::NotJson, QStringLiteral("JSON解析失败"));
    row("code as string", Fault::CodeAsString, QStringLiteral("操作成功"));
    row("array body", Fault::ArrayBody, QStringLiteral("请求失败"));
    row("dropped connection", Fault::DropConnection, QStringLiteral("Connection closed"));
    row("http 401", Fault::Http401, QStringLiteral("认证失败"));
    QTest::newRow("markup in msg")
        << -1 << QByteArray(R"({"code":403,"msg":"<b>账号</b>已停用"})") << "demo123"
        << "网络错误：<b>账号</b>已停用";
    // A password of spaces only is sent as it is, and the service refuses it.
    QTest::newRow("spaces-only password") << -1 << QByteArray() << "   "
                                          << "网络错误：账号或密码错误";
}

void TestLoginDialog::failures()
{
    QFETCH(int, fault);
    QFETCH(QByteArray, raw);
    QFETCH(QString, password);
    QFETCH(QString, error);

    seedStore({{"remembered_email", "lili"},
               {"remembered_password", "lili123"},
               {"token", "earlier-token"}});
    // The network stack resends once when the connection drops before any
    // answer; only a drop of every attempt reaches the dialog.
    if (fault >= 0)
        server.injectFault(loginPath, Fault(fault), Fault(fault) == Fault::DropConnection ? 5 : 1);
    if (!raw.isEmpty())
        server.setRawReply(loginPath, 200, raw);

    openDialog(QStringLiteral("demo"), password);
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    QTest::keyClick(passwordEdit(), Qt::Key_Return);
    QVERIFY(!loginBtn()->isEnabled());

    QTRY_VERIFY(loginBtn()->isEnabled());
    QCOMPARE(loginBtn()->text(), QStringLiteral("登 录"));
    QCOMPARE(errorLabel()->text(), error);
    QCOMPARE(errorLabel()->textFormat(), Qt::PlainText);
    QCOMPARE(success.count(), 0);
    QVERIFY(dialog->isVisible());
    QCOMPARE(store().value("remembered_email").toString(), QStringLiteral("lili"));
    QCOMPARE(store().value("remembered_password").toString(), QStringLiteral("lili123"));
    QCOMPARE(store().value("token").toString(), QStringLiteral("earlier-token"));

    // The dialog is usable again: the next attempt goes through.
    server.clearFaults();
    passwordEdit()->clear();
    QTest::keyClicks(passwordEdit(), QStringLiteral("demo123"));
    QTest::mouseClick(loginBtn(), Qt::LeftButton);
    QTRY_COMPARE(success.count(), 1);
}

// Signing in neither cancels the main window's requests nor reports their
// failures, and a second Return abandons the first sign-in instead of
// answering twice.
void TestLoginDialog::othersRequestsAreNotItsBusiness()
{
    store().setValue(QStringLiteral("token"), server.issueToken(12));
    api->restoreToken();
    openDialog(QStringLiteral("demo"), QStringLiteral("demo123"));
    QSignalSpy channel(api.get(), &ApiClient::channelInfoReceived);
    QSignalSpy errors(api.get(), &ApiClient::apiError);
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    server.delayReplies(QStringLiteral("/agent/channel"), 300);
    server.delayReplies(loginPath, 400);
    server.injectFault(QStringLiteral("/chat/history"), Fault::Http500);
    api->sendGetRequest(QStringLiteral("/agent/channel"));
    api->getHistory(1, 1);
    QTest::keyClick(passwordEdit(), Qt::Key_Return);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errorLabel()->text(), QString());
    QTRY_COMPARE(channel.count(), 1);
    loginBtn()->setEnabled(true);
    QTest::keyClick(passwordEdit(), Qt::Key_Return);
    QTRY_COMPARE(success.count(), 1);
    QVERIFY(!success.wait(600));
    QCOMPARE(server.requestsTo(loginPath).size(), 2);
}

ORVANTIS_TEST_MAIN(TestLoginDialog)
#include "tst_logindialog.moc"
