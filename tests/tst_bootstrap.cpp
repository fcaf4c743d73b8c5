// The main window's bootstrap against the stand-in service: sign-in and resume
// paths, the order of the first requests and frames, fallbacks to the login
// dialog, logout and expiry, and what may survive them (nothing).

#include "workspace_fixture.h"

#include <QLocalSocket>
#include <QTextDocumentFragment>

using namespace Fixture;
using StandIn::Fault;
using StandIn::StandInServer;

namespace {

QString storedToken()
{
    return QSettings("orvantis", "config").value("token").toString();
}

std::function<bool(LoginDialog *)> signInAs(const QString &account, const QString &password)
{
    return [account, password](LoginDialog *d) { return signIn(d, account, password); };
}

// What a signed-out window shows and holds: nothing of the last agent.
QString workspaceState(const orvantis *w)
{
    return QStringList {QString::number(w->isLoggedIn()),
                        QString::number(w->isVisible()),
                        storedToken() + w->api()->token(),
                        QString::number(w->sessionList().size()),
                        QString::number(w->messages().size()),
                        QString::number(w->currentSession()),
                        QString::number(Access::joinedSessionId(w)),
                        QString::number(w->bubbles().size()),
                        w->findChild<QLineEdit *>("searchEdit")->text(),
                        w->findChild<QLineEdit *>("remarkEdit")->text(),
                        labelText(w, "chatAvatarLabel"),
                        QTextDocumentFragment::fromHtml(labelText(w, "ipValueLabel")).toPlainText()}
        .join(' ');
}

const QString signedOut = QStringLiteral("0 0  0 0 0 -1 0   ? -");

} // namespace

class BootstrapTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void bootstrapRunsInOrder_data();
    void bootstrapRunsInOrder();
    void resumeFallsBackToLoginOnce_data();
    void resumeFallsBackToLoginOnce();
    void expiredTokenReturnsToLogin_data();
    void expiredTokenReturnsToLogin();
    void logoutLeavesNothingForTheNextAgent();
    void channelWithoutCode();
    void cancelledLoginAtStartEndsProgram();
    void windowStateWithoutTray(); // last: it runs and quits the application loop

private:
    void construct() { window = new orvantis; } // blocks while a login dialog is answered
    // Entries "REST <path>?<query>" and "WS:<type>:<frame>", in arrival order;
    // `what` is a REST path part when it starts with '/', else a frame type.
    int find(const QString &what, int from = 0) const;
    int count(const QString &what) const;
    QJsonObject frame(int index) const
    {
        return QJsonDocument::fromJson(log.value(index).section(':', 2).toUtf8()).object();
    }

    StandInServer *server = nullptr;
    orvantis *window = nullptr;
    Answerer *answers = nullptr;
    QStringList log;
};

void BootstrapTest::init()
{
    server = new StandInServer;
    QVERIFY(server->listen());
    server->seedDemoChannel();
    qputenv("ORVANTIS_API_URL", server->restBaseUrl().toUtf8());
    qputenv("ORVANTIS_WSS_URL", server->wssUrl().toUtf8());
    log.clear();
    connect(server, &StandInServer::requestRecorded, this,
            [this](const StandIn::RecordedRequest &r) {
                log << QString("REST %1?%2").arg(r.path, r.rawQuery);
            });
    connect(server, &StandInServer::frameReceived, this, [this](const QString &text) {
        log << QString("WS:%1:%2")
                   .arg(QJsonDocument::fromJson(text.toUtf8())["type"].toString(), text);
    });
    QSettings("orvantis", "config").clear();
    QSettings().clear();
    answers = new Answerer;
}

void BootstrapTest::cleanup()
{
    delete window;
    window = nullptr;
    delete answers;
    delete server;
    // Deferred deletions run now; a pending quit (a cancelled dialog) must
    // not end the next test's dialogs.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
}

int BootstrapTest::find(const QString &what, int from) const
{
    for (int i = qMax(0, from); i < log.size(); ++i) {
        const QString &e = log.at(i);
        if (what.startsWith('/') ? e.startsWith("REST ") && e.contains(what)
                                 : e.startsWith(QString("WS:%1:").arg(what)))
            return i;
    }
    return -1;
}

int BootstrapTest::count(const QString &what) const
{
    int n = 0;
    for (int i = find(what); i >= 0; i = find(what, i + 1))
        ++n;
    return n;
}

void BootstrapTest::bootstrapRunsInOrder_data()
{
    QTest::addColumn<bool>("resumed");
    QTest::newRow("signed in through the dialog") << false;
    QTest::newRow("resumed from a stored token") << true;
}

void BootstrapTest::bootstrapRunsInOrder()
{
    QFETCH(bool, resumed);
    if (resumed) {
        QSettings("orvantis", "config").setValue("token", server->issueToken(12));
        server->delayReplies("/agent/channel", 300);
    } else {
        answers->onLogin = signInAs("demo", "demo123");
    }
    construct();
    // Resuming, nothing is on screen until the channel record proves the token.
    QCOMPARE(answers->loginDialogsSeen, resumed ? 0 : 1);
    QCOMPARE(window->isVisible(), !resumed);
    QVERIFY(labelText(window, "merchantNameLabel").contains("演示坐席"));
    QTRY_VERIFY(window->isLoggedIn());
    QVERIFY(window->isVisible());
    QTRY_VERIFY(find("join") >= 0);
    QTRY_VERIFY(find("/chat/channel-sessions") >= 0);

    const QString trace = log.join('\n');
    const int login = find("/agent/login");
    const int channel = find("/agent/channel");
    const int auth = find("auth");
    const int page = find("/chat/channel-sessions");
    const int join = find("join");
    QVERIFY2(resumed ? login < 0 : login >= 0 && login < channel, qPrintable(trace));
    // Link and first page wait for the channel; the join for the authentication.
    QVERIFY2(channel < auth && channel < page && auth < join, qPrintable(trace));
    QVERIFY(log.at(page).endsWith("?limit=50&page=1"));
    QCOMPARE(frame(auth)["role"].toString(), "agent");
    QCOMPARE(frame(auth)["token"].toString(), window->api()->token());
    QCOMPARE(frame(join), (QJsonObject {{"type", "join"}, {"channel", server->channelCode()}}));
    QCOMPARE(count("join"), 1);
    QCOMPARE(count("/agent/online"), 1);
    QTRY_VERIFY(labelText(window, "onlineStatusLabel").contains("#22c55e;'>● 在线"));
    QTRY_COMPARE(window->sessionList().size(), 50);
}

void BootstrapTest::resumeFallsBackToLoginOnce_data()
{
    QTest::addColumn<bool>("signInAfterwards");
    QTest::newRow("cancelled") << false;
    QTest::newRow("signed in") << true;
}

void BootstrapTest::resumeFallsBackToLoginOnce()
{
    QFETCH(bool, signInAfterwards);
    const QString token = server->issueToken(12);
    QSettings("orvantis", "config").setValue("token", token);
    // Both bootstrap requests fail: two errors, yet only one dialog.
    server->injectFault("/agent/online", Fault::Http500);
    server->injectFault("/agent/channel", Fault::Http500);
    int polls = 0;
    answers->onLogin = [&](LoginDialog *d) {
        // Answered only once both errors have arrived while the dialog is up.
        if (!window || ++polls < 10 || window->api()->pendingRequestCount() > 0)
            return false;
        if (signInAfterwards)
            return signIn(d, "demo", "demo123");
        d->reject();
        return true;
    };
    construct();
    QTRY_COMPARE(answers->loginDialogsSeen, 1);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QTRY_COMPARE(window->isLoggedIn(), signInAfterwards);
    QCOMPARE(window->isVisible(), signInAfterwards);
    // The service never refused the token itself: it is kept.
    if (!signInAfterwards)
        QCOMPARE(storedToken(), token);
    QCOMPARE(answers->loginDialogsSeen, 1);
}

void BootstrapTest::expiredTokenReturnsToLogin_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("resumed, window up") << "window up";
    QTest::newRow("signed in, window up") << "dialog";
    QTest::newRow("at start") << "at start";
    QTest::newRow("undecodable token") << "undecodable";
}

void BootstrapTest::expiredTokenReturnsToLogin()
{
    QFETCH(QString, when);
    if (when != "dialog")
        QSettings("orvantis", "config")
            .setValue("token", when == "undecodable" ? "not-a-token" : server->issueToken(12));
    if (when == "at start")
        server->revokeTokens();
    QString stateWhileDialogUp;
    answers->onLogin = [&](LoginDialog *d) {
        if (when == "dialog" && answers->loginDialogsSeen == 1)
            return signIn(d, "demo", "demo123");
        stateWhileDialogUp
            = workspaceState(window) + (window->wss()->isAuthenticated() ? " linked" : "");
        return signIn(d, "lili", "lili123");
    };
    construct();
    if (when == "window up" || when == "dialog") {
        QTRY_VERIFY(!window->sessionList().isEmpty());
        server->revokeTokens();
        window->api()->sendGetRequest("/agent/channel"); // meets a 401
    }
    QTRY_COMPARE(answers->loginDialogsSeen, when == "dialog" ? 2 : 1);
    QTRY_VERIFY(window->isLoggedIn());

    QCOMPARE(stateWhileDialogUp, signedOut);
    QVERIFY(window->isVisible());
    QVERIFY(labelText(window, "merchantNameLabel").contains("李丽"));
    QVERIFY(!storedToken().isEmpty());
    QTRY_VERIFY(labelText(window, "onlineStatusLabel").contains("#22c55e"));
}

// Replies still in flight at logout (a page, a session record, a remark)
// used to refill the workspace of the next agent.
void BootstrapTest::logoutLeavesNothingForTheNextAgent()
{
    server->clearChannel();
    const int demoOnly = server->addSession({{"visitor_name", "demo-visitor"}, {"agent_id", 12}});
    server->addSession({{"visitor_name", "lili-visitor"}, {"agent_id", 13}});
    answers->onLogin = signInAs("demo", "demo123");
    construct();
    QTRY_COMPARE(window->sessionList().size(), 1);
    QTRY_COMPARE(server->authenticatedCount(), 1);
    Access::select(window, demoOnly);
    QTRY_VERIFY(window->messages().contains(demoOnly));
    window->findChild<QLineEdit *>("searchEdit")->setText("demo");
    window->findChild<QLineEdit *>("remarkEdit")->setText("VIP");

    // Late replies: a page, a session record and a remark.
    for (const char *path : {"channel-sessions", "session-info", "update-session"})
        server->delayReplies(path, 400);
    window->api()->sendGetRequest("/chat/channel-sessions", {{"page", "1"}, {"limit", "50"}});
    window->api()->sendGetRequest("/chat/session-info",
                                  {{"session_id", QString::number(demoOnly)}});
    Access::saveRemark(window);
    QTRY_COMPARE(count("/chat/session-info") + count("/chat/update-session"), 2);

    QString asked;
    answers->onBox = [&](QMessageBox *box) {
        asked = box->windowTitle() + '|' + box->text();
        box->button(QMessageBox::Yes)->click();
        return true;
    };
    QString stateWhileDialogUp;
    answers->onLogin = [&](LoginDialog *d) {
        // Late replies arrive while the dialog is up.
        if (count("/auth/logout") == 0)
            return false;
        QTest::qWait(500);
        stateWhileDialogUp = workspaceState(window) + ' ' + labelText(window, "statusLabel");
        return signIn(d, "lili", "lili123");
    };
    const int logoutAt = log.size();
    window->findChild<QPushButton *>("logoutBtn")->click();

    QCOMPARE(asked, QStringLiteral("退出登录|确定要退出当前登录吗？"));
    QCOMPARE(stateWhileDialogUp, signedOut + " 已退出登录");
    QCOMPARE(count("/auth/logout"), 1);
    QVERIFY(window->isLoggedIn());
    QTRY_VERIFY(find("join", logoutAt) >= 0);
    QTRY_VERIFY(log.at(find("/chat/channel-sessions", logoutAt)).contains("page=1"));
    QTRY_COMPARE(window->sessionList().size(), 1);
    QTest::qWait(500);
    QCOMPARE(Access::map(window).keys().size(), 1);
    QCOMPARE(window->sessionList().first().displayName(), "lili-visitor");
    QCOMPARE(count("/agent/online"), 2);
    // The sign-out answer of the first agent must not have signed out the second.
    QVERIFY(!storedToken().isEmpty());
}

void BootstrapTest::channelWithoutCode()
{
    server->setRawReply("/agent/channel", 200, R"({"code":200,"data":{"name":"渠道"}})");
    QSettings("orvantis", "config").setValue("token", server->issueToken(12));
    construct();
    QTRY_VERIFY(window->isLoggedIn());
    QVERIFY(window->isVisible());
    QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("渠道信息缺少渠道编码"));
    QVERIFY(labelText(window, "onlineStatusLabel").contains("● 离线"));
    window->api()->sendPostRequest("/agent/online", QJsonObject());
    QTRY_COMPARE(count("/agent/online"), 2);
    QCOMPARE(server->connectionCount(), 0);
    QCOMPARE(count("/chat/channel-sessions"), 0);
}

// Without a tray host: the geometry survives a restart (and is brought back
// on screen), a second start brings the window up, closing it quits.
void BootstrapTest::windowStateWithoutTray()
{
    QSettings("orvantis", "config").setValue("token", server->issueToken(12));
    construct();
    QTRY_VERIFY(window->isLoggedIn());
    window->setGeometry(40, 50, 1000, 640);
    delete window; // signed in: saves its geometry
    window = nullptr;
    construct();
    QCOMPARE(window->geometry(), QRect(40, 50, 1000, 640));
    QTRY_VERIFY(window->isLoggedIn());

    window->hide();
    QLocalSocket second;
    second.connectToServer("QuvelaKefuIpc");
    QVERIFY(second.waitForConnected(2000));
    second.write("SHOW");
    QTRY_VERIFY(window->isVisible());

    window->move(-30000, -30000);
    delete window;
    window = nullptr;
    construct();
    QVERIFY(
        QGuiApplication::primaryScreen()->availableGeometry().intersects(window->frameGeometry()));
    QTRY_VERIFY(window->isLoggedIn());

    QTimer::singleShot(0, window, &QWidget::close);
    QTimer watchdog;
    watchdog.callOnTimeout(qApp, [] { QCoreApplication::exit(99); });
    watchdog.start(5000);
    QCOMPARE(QCoreApplication::exec(), 0);
    QTRY_COMPARE(server->connectionCount(), 0);
}

void BootstrapTest::cancelledLoginAtStartEndsProgram()
{
    // As in the real program: the window is built before the event loop runs,
    // and the agent closes the login dialog.
    QCoreApplication::removePostedEvents(qApp);
    construct(); // the answerer rejects dialogs without a handler
    QCOMPARE(answers->loginDialogsSeen, 1);
    QVERIFY(!window->isLoggedIn());
    QTimer watchdog;
    watchdog.callOnTimeout(qApp, [] { QCoreApplication::exit(99); });
    watchdog.start(10000);
    QCOMPARE(QCoreApplication::exec(), 0);
}

ORVANTIS_TEST_MAIN(BootstrapTest)
#include "tst_bootstrap.moc"
