#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/apiclient.h"
#include "net/serviceconfig.h"
#include "shell/logindialog.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>

#include <memory>

using StandIn::Fault;

Q_DECLARE_METATYPE(StandIn::Fault)

namespace {
const QString idleCaption = QStringLiteral("登 录");
const QString busyCaption = QStringLiteral("登录中...");
} // namespace

// Receives what the website button asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

class TestLoginDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formLayout();
    void validation_data();
    void validation();
    void accountTrimmedPasswordNot();
    void returnKeys();
    void rememberedCredentials_data();
    void rememberedCredentials();
    void successStoresOrForgets_data();
    void successStoresOrForgets();
    void failures_data();
    void failures();
    void unauthorizedSignInEndsSigningIn();
    void secondReturnRepostsAfterAbort();
    void websiteButtonOpensVendorSite();

private:
    void openDialog();
    QLineEdit *emailEdit() const { return dialog->findChild<QLineEdit *>("emailEdit"); }
    QLineEdit *passwordEdit() const { return dialog->findChild<QLineEdit *>("passwordEdit"); }
    QCheckBox *rememberCheck() const { return dialog->findChild<QCheckBox *>("rememberCheck"); }
    QPushButton *loginBtn() const { return dialog->findChild<QPushButton *>("loginBtn"); }
    QLabel *errorLabel() const { return dialog->findChild<QLabel *>("errorLabel"); }
    void type(QLineEdit *edit, const QString &text);
    QSettings store() const
    {
        return QSettings(QStringLiteral("orvantis"), QStringLiteral("config"));
    }

    StandIn::StandInServer server;
    std::unique_ptr<ApiClient> api;
    std::unique_ptr<LoginDialog> dialog;
};

void TestLoginDialog::initTestCase()
{
    QVERIFY(server.listen());
    StandIn::AgentAccount spacey;
    spacey.id = 41;
    spacey.account = QStringLiteral("spacey");
    spacey.password = QStringLiteral(" pass word ");
    spacey.name = QStringLiteral("空格坐席");
    spacey.memberId = 3;
    server.addAccount(spacey);
}

void TestLoginDialog::init()
{
    server.clearFaults();
    server.clearRequests();
    QSettings settings = store();
    settings.clear();
    settings.sync();
    api = std::make_unique<ApiClient>();
    api->setBaseUrl(server.restBaseUrl());
}

void TestLoginDialog::cleanup()
{
    dialog.reset();
    api.reset();
}

void TestLoginDialog::openDialog()
{
    dialog = std::make_unique<LoginDialog>(api.get());
    dialog->show();
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
}

void TestLoginDialog::type(QLineEdit *edit, const QString &text)
{
    edit->clear();
    // A tab cannot be typed into a line edit (it moves the focus); paste it.
    if (text.contains(QLatin1Char('\t')))
        edit->insert(text);
    else
        QTest::keyClicks(edit, text);
    QCOMPARE(edit->text(), text);
}

void TestLoginDialog::formLayout()
{
    openDialog();
    QCOMPARE(dialog->objectName(), QStringLiteral("LoginDialog"));
    QCOMPARE(dialog->size(), QSize(620, 520));
    QCOMPARE(dialog->maximumSize(), QSize(620, 520));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("商户客服系统 - 登录"));
    // Style sheets select on these names.
    for (const char *name :
         {"cardWidget", "titleLabel", "subtitleLabel", "websiteHost", "emailEdit", "passwordEdit",
          "rememberCheck", "loginBtn", "errorLabel"})
        QVERIFY2(dialog->findChild<QWidget *>(name), name);
    QCOMPARE(passwordEdit()->echoMode(), QLineEdit::Password);
    QCOMPARE(loginBtn()->text(), idleCaption);
    // The service's refusal text is shown, never interpreted.
    QCOMPARE(errorLabel()->textFormat(), Qt::PlainText);
    auto *website = dialog->findChild<QWidget *>("websiteHost")->findChild<QPushButton *>();
    QVERIFY(website);
    QCOMPARE(website->text(), QStringLiteral("访问官网"));
}

void TestLoginDialog::validation_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("error");
    QTest::addColumn<bool>("focusOnAccount");

    QTest::newRow("nothing") << QString() << QString() << QStringLiteral("请输入坐席账号") << true;
    QTest::newRow("no account") << QString() << QStringLiteral("demo123")
                                << QStringLiteral("请输入坐席账号") << true;
    QTest::newRow("spaces-only account") << QStringLiteral("    ") << QStringLiteral("demo123")
                                         << QStringLiteral("请输入坐席账号") << true;
    QTest::newRow("tab and spaces account") << QStringLiteral(" \t ") << QStringLiteral("x")
                                            << QStringLiteral("请输入坐席账号") << true;
    QTest::newRow("no password") << QStringLiteral("demo") << QString()
                                 << QStringLiteral("请输入密码") << false;
}

void TestLoginDialog::validation()
{
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(QString, error);
    QFETCH(bool, focusOnAccount);

    openDialog();
    type(emailEdit(), account);
    type(passwordEdit(), password);
    // Start from the other field, so the focus move is visible.
    (focusOnAccount ? passwordEdit() : emailEdit())->setFocus();
    QTest::mouseClick(loginBtn(), Qt::LeftButton);

    QCOMPARE(errorLabel()->text(), error);
    QTRY_VERIFY((focusOnAccount ? emailEdit() : passwordEdit())->hasFocus());
    QVERIFY(loginBtn()->isEnabled());
    QCOMPARE(loginBtn()->text(), idleCaption);
    QCOMPARE(api->pendingRequestCount(), 0);
    QCOMPARE(emailEdit()->text(), account);
    QCOMPARE(passwordEdit()->text(), password);
}

void TestLoginDialog::accountTrimmedPasswordNot()
{
    openDialog();
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    type(emailEdit(), QStringLiteral("  spacey \t"));
    type(passwordEdit(), QStringLiteral(" pass word "));
    QTest::mouseClick(rememberCheck(), Qt::LeftButton);
    QVERIFY(rememberCheck()->isChecked());
    QTest::mouseClick(loginBtn(), Qt::LeftButton);

    QTRY_VERIFY2(success.count() == 1, qPrintable(errorLabel()->text()));
    const auto sent = server.requestsTo(QStringLiteral("/agent/login"));
    QCOMPARE(sent.size(), 1);
    const QJsonObject body = sent.first().jsonBody();
    QCOMPARE(body.value("account").toString(), QStringLiteral("spacey"));
    QCOMPARE(body.value("password").toString(), QStringLiteral(" pass word "));
    QCOMPARE(store().value("remembered_email").toString(), QStringLiteral("spacey"));
    QCOMPARE(store().value("remembered_password").toString(), QStringLiteral(" pass word "));

    // A password of spaces only is a password: it is sent, not refused locally.
    dialog.reset();
    init();
    openDialog();
    type(emailEdit(), QStringLiteral("demo"));
    type(passwordEdit(), QStringLiteral("   "));
    QTest::keyClick(passwordEdit(), Qt::Key_Return);
    QCOMPARE(loginBtn()->text(), busyCaption);
    QTRY_COMPARE(server.requestsTo(QStringLiteral("/agent/login")).size(), 1);
    QCOMPARE(server.requestsTo(QStringLiteral("/agent/login")).first().jsonBody().value("password"),
             QJsonValue(QStringLiteral("   ")));
    QTRY_VERIFY(loginBtn()->isEnabled()); // the stand-in refuses it
}

void TestLoginDialog::returnKeys()
{
    openDialog();
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    emailEdit()->setFocus();
    QTRY_VERIFY(emailEdit()->hasFocus());
    QTest::keyClicks(emailEdit(), QStringLiteral("demo"));

    // Return in the account field only moves on; nothing is sent.
    QTest::keyClick(emailEdit(), Qt::Key_Return);
    QTRY_VERIFY(passwordEdit()->hasFocus());
    QCOMPARE(api->pendingRequestCount(), 0);
    QVERIFY(errorLabel()->text().isEmpty());

    // Typing now goes to the password field; Return there signs in.
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("demo123"));
    QCOMPARE(passwordEdit()->text(), QStringLiteral("demo123"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(!loginBtn()->isEnabled());
    QCOMPARE(loginBtn()->text(), busyCaption);
    QTRY_COMPARE(success.count(), 1);
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
}

void TestLoginDialog::rememberedCredentials_data()
{
    QTest::addColumn<QVariant>("storedEmail"); // invalid: key absent
    QTest::addColumn<QVariant>("storedPassword"); // invalid: key absent
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("ticked");

    QTest::newRow("both") << QVariant("demo") << QVariant("demo123") << "demo"
                          << "demo123" << true;
    QTest::newRow("empty password") << QVariant("demo") << QVariant("") << "demo"
                                    << "" << true;
    QTest::newRow("no password key") << QVariant("demo") << QVariant() << "demo"
                                     << "" << true;
    QTest::newRow("password only") << QVariant() << QVariant("secret") << ""
                                   << "" << false;
    QTest::newRow("empty account") << QVariant("") << QVariant("secret") << ""
                                   << "" << false;
    QTest::newRow("nothing") << QVariant() << QVariant() << ""
                             << "" << false;
}

void TestLoginDialog::rememberedCredentials()
{
    QFETCH(QVariant, storedEmail);
    QFETCH(QVariant, storedPassword);
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(bool, ticked);

    {
        QSettings settings = store();
        if (storedEmail.isValid())
            settings.setValue("remembered_email", storedEmail);
        if (storedPassword.isValid())
            settings.setValue("remembered_password", storedPassword);
    }
    openDialog();
    QCOMPARE(emailEdit()->text(), account);
    QCOMPARE(passwordEdit()->text(), password);
    QCOMPARE(rememberCheck()->isChecked(), ticked);
}

void TestLoginDialog::successStoresOrForgets_data()
{
    QTest::addColumn<bool>("remember");
    QTest::newRow("ticked") << true;
    QTest::newRow("unticked") << false;
}

void TestLoginDialog::successStoresOrForgets()
{
    QFETCH(bool, remember);
    {
        QSettings settings = store();
        settings.setValue("remembered_email", "lili");
        settings.setValue("remembered_password", "lili123");
    }
    openDialog();
    QVERIFY(rememberCheck()->isChecked());
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    QSignalSpy accepted(dialog.get(), &QDialog::accepted);

    type(emailEdit(), QStringLiteral(" demo "));
    type(passwordEdit(), QStringLiteral("demo123"));
    if (!remember)
        QTest::mouseClick(rememberCheck(), Qt::LeftButton);
    QCOMPARE(rememberCheck()->isChecked(), remember);
    QTest::mouseClick(loginBtn(), Qt::LeftButton);

    QTRY_COMPARE(success.count(), 1);
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
    QVERIFY(!dialog->isVisible());

    const QString token = success.first().at(0).toString();
    const QVariantMap userInfo = success.first().at(1).toMap();
    QVERIFY(!token.isEmpty());
    QCOMPARE(token, api->token());
    QCOMPARE(userInfo.value("id").toInt(), 12);
    QCOMPARE(userInfo.value("name").toString(), QStringLiteral("演示坐席"));
    QCOMPARE(userInfo.value("member_id").toInt(), 3);
    QCOMPARE(store().value("token").toString(), token);

    QSettings settings = store();
    if (remember) {
        QCOMPARE(settings.value("remembered_email").toString(), QStringLiteral("demo"));
        QCOMPARE(settings.value("remembered_password").toString(), QStringLiteral("demo123"));
    } else {
        QVERIFY(!settings.contains("remembered_email"));
        QVERIFY(!settings.contains("remembered_password"));
    }
}

void TestLoginDialog::failures_data()
{
    QTest::addColumn<int>("kind"); // 0 fault, 1 raw reply, 2 the stand-in's own refusal
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QByteArray>("rawBody");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("error"); // exact text; empty: any "网络错误：" line

    const QString net = QStringLiteral("网络错误：");
    QTest::newRow("refusal") << 0 << Fault::Refuse << QByteArray() << "demo123"
                             << net + QStringLiteral("服务暂不可用");
    QTest::newRow("chinese msg") << 1 << Fault::Refuse
                                 << QByteArray(R"({"code":401,"msg":"账号或密码错误"})")
                                 << "demo123" << net + QStringLiteral("账号或密码错误");
    QTest::newRow("markup in msg")
        << 1 << Fault::Refuse << QByteArray(R"({"code":403,"msg":"<b>账号</b>已停用"})")
        << "demo123" << net + QStringLiteral("<b>账号</b>已停用");
    QTest::newRow("no msg") << 1 << Fault::Refuse << QByteArray(R"({"code":500})") << "demo123"
                            << net + QStringLiteral("请求失败");
    QTest::newRow("code as string, empty msg")
        << 1 << Fault::Refuse
        << QByteArray(R"({"code":"200","msg":"","data":{"token":"t","agent_id":12}})") << "demo123"
        << net + QStringLiteral("请求失败");
    QTest::newRow("code as string fault")
        << 0 << Fault::CodeAsString << QByteArray() << "demo123" << QString();
    QTest::newRow("http 500") << 0 << Fault::Http500 << QByteArray() << "demo123" << QString();
    QTest::newRow("not json") << 0 << Fault::NotJson << QByteArray() << "demo123"
                              << net + QStringLiteral("JSON解析失败");
    QTest::newRow("array body") << 0 << Fault::ArrayBody << QByteArray() << "demo123"
                                << net + QStringLiteral("请求失败");
    QTest::newRow("dropped connection")
        << 0 << Fault::DropConnection << QByteArray() << "demo123" << QString();
    QTest::newRow("wrong password")
        << 2 << Fault::Refuse << QByteArray() << "wrong" << net + QStringLiteral("账号或密码错误");
}

void TestLoginDialog::failures()
{
    QFETCH(int, kind);
    QFETCH(Fault, fault);
    QFETCH(QByteArray, rawBody);
    QFETCH(QString, password);
    QFETCH(QString, error);

    {
        QSettings settings = store();
        settings.setValue("remembered_email", "lili");
        settings.setValue("remembered_password", "lili123");
        settings.setValue("token", "earlier-token");
    }
    // The network stack resends a request once when the connection drops
    // before any answer; only a drop of every attempt reaches the dialog.
    if (kind == 0)
        server.injectFault(QStringLiteral("/agent/login"), fault,
                           fault == Fault::DropConnection ? 5 : 1);
    else if (kind == 1)
        server.setRawReply(QStringLiteral("/agent/login"), 200, rawBody);

    openDialog();
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    type(emailEdit(), QStringLiteral("demo"));
    type(passwordEdit(), password);
    QVERIFY(rememberCheck()->isChecked());
    QTest::keyClick(passwordEdit(), Qt::Key_Return);
    QVERIFY(!loginBtn()->isEnabled());

    QTRY_VERIFY(loginBtn()->isEnabled());
    QCOMPARE(loginBtn()->text(), idleCaption);
    const QString shown = errorLabel()->text();
    if (error.isEmpty()) {
        QVERIFY2(shown.startsWith(QStringLiteral("网络错误：")), qPrintable(shown));
        QVERIFY2(shown.size() > 5, qPrintable(shown));
    } else {
        QCOMPARE(shown, error);
    }
    QCOMPARE(success.count(), 0);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
    QCOMPARE(emailEdit()->text(), QStringLiteral("demo"));
    QCOMPARE(passwordEdit()->text(), password);

    QSettings settings = store();
    QCOMPARE(settings.value("remembered_email").toString(), QStringLiteral("lili"));
    QCOMPARE(settings.value("remembered_password").toString(), QStringLiteral("lili123"));
    QCOMPARE(settings.value("token").toString(), QStringLiteral("earlier-token"));

    // The dialog is usable again: the next attempt goes through.
    server.clearFaults();
    type(passwordEdit(), QStringLiteral("demo123"));
    QTest::mouseClick(loginBtn(), Qt::LeftButton);
    QTRY_COMPARE(success.count(), 1);
}

void TestLoginDialog::unauthorizedSignInEndsSigningIn()
{
    store().setValue("token", "earlier-token");
    server.injectFault(QStringLiteral("/agent/login"), Fault::Http401);
    openDialog();
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    QSignalSpy expired(api.get(), &ApiClient::authExpired);
    type(emailEdit(), QStringLiteral("demo"));
    type(passwordEdit(), QStringLiteral("demo123"));
    QTest::mouseClick(loginBtn(), Qt::LeftButton);

    QTRY_COMPARE(expired.count(), 1);
    // Not stuck in "signing in": the line says why, the button works again.
    QTRY_VERIFY(loginBtn()->isEnabled());
    QCOMPARE(loginBtn()->text(), idleCaption);
    QCOMPARE(errorLabel()->text(), QStringLiteral("网络错误：认证失败"));
    QCOMPARE(success.count(), 0);
    QCOMPARE(store().value("token").toString(), QStringLiteral("earlier-token"));
    QVERIFY(!store().contains("remembered_email"));

    // A 401 of some other request while nobody signs in changes nothing.
    errorLabel()->clear();
    server.injectFault(QStringLiteral("/agent/channel"), Fault::Http401);
    api->sendGetRequest(QStringLiteral("/agent/channel"));
    QTRY_COMPARE(expired.count(), 2);
    QVERIFY(errorLabel()->text().isEmpty());
    QVERIFY(loginBtn()->isEnabled());
}

void TestLoginDialog::secondReturnRepostsAfterAbort()
{
    server.delayReplies(QStringLiteral("/agent/login"), 1500);
    openDialog();
    QSignalSpy success(dialog.get(), &LoginDialog::loginSuccess);
    QSignalSpy errors(api.get(), &ApiClient::apiError);
    type(emailEdit(), QStringLiteral("demo"));
    type(passwordEdit(), QStringLiteral("demo123"));
    QTest::keyClick(passwordEdit(), Qt::Key_Return);
    QVERIFY(!loginBtn()->isEnabled());
    QCOMPARE(loginBtn()->text(), busyCaption);
    QTRY_COMPARE(server.requestsTo(QStringLiteral("/agent/login")).size(), 1);
    QCOMPARE(api->pendingRequestCount(), 1);

    // The button is disabled, yet Return still signs in: the first request is
    // abandoned and a fresh one posted.
    QTest::keyClick(passwordEdit(), Qt::Key_Return);
    QCOMPARE(api->pendingRequestCount(), 1);
    QCOMPARE(loginBtn()->text(), busyCaption);
    QTRY_COMPARE(success.count(), 1);
    QCOMPARE(server.requestsTo(QStringLiteral("/agent/login")).size(), 2);
    QCOMPARE(errors.count(), 0); // the abandoned request reports nothing
    QCOMPARE(dialog->result(), int(QDialog::Accepted));
}

void TestLoginDialog::websiteButtonOpensVendorSite()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    openDialog();
    auto *website = dialog->findChild<QWidget *>("websiteHost")->findChild<QPushButton *>();
    QVERIFY(website);
    QTest::mouseClick(website, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(catcher.urls.first(), QUrl(ServiceConfig::vendorWebsiteUrl()));
    QVERIFY(dialog->isVisible());
    QCOMPARE(api->pendingRequestCount(), 0);
}

ORVANTIS_TEST_MAIN(TestLoginDialog)
#include "tst_logindialog.moc"
