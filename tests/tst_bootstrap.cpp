// The main window's bootstrap against the stand-in service: sign-in and resume
// paths, the order of the first requests and frames, fallbacks to the login
// dialog, logout and expiry, and what may survive them (nothing).

#include "workspace_fixture.h"

#include "app/singleinstance.h"
#include "widgets/toast.h"

#include <QLocalSocket>

using namespace Fixture;
using DevServer::Fault;

namespace {

QString storedToken()
{
    return QSettings("orvantis", "config").value("token").toString();
}

// What a signed-out window shows and holds: nothing of the last agent.
QString workspaceState(const orvantis *w)
{
    QString s;
    QDebug(&s).noquote()
        << w->isLoggedIn() << w->isVisible() << storedToken() + w->api()->token()
        << w->sessionList().size() << w->store()->cachedMessageCount() << w->currentSession()
        << Access::joinedSessionId(w) << w->bubbles().size()
        << w->findChild<QLineEdit *>("searchEdit")->text()
        << w->findChild<QLineEdit *>("remarkEdit")->text() << labelText(w, "chatAvatarLabel")
        << QTextDocumentFragment::fromHtml(labelText(w, "ipValueLabel")).toPlainText();
    return s;
}

const QString signedOut = QStringLiteral("false false  0 0 0 -1 0   ? - ");

} // namespace

class TestBootstrap : public QObject
{
    Q_OBJECT

    std::unique_ptr<Workspace> ws;
    std::unique_ptr<Answerer> answers;
    // In arrival order: "<path>?<query>" for REST, "ws:<type> <frame>" for frames.
    QStringList log;

    // Blocks while a login dialog is answered; the old window goes first.
    void construct()
    {
        ws->window.reset();
        ws->window.reset(new orvantis);
    }
    int find(const QString &what) const
    {
        return log.indexOf(QRegularExpression(".*" + QRegularExpression::escape(what) + ".*"));
    }
    int count(const QString &what) const { return log.filter(what).size(); }
    // Every answer the window asked for has come in, or was let go.
    bool drained() const
    {
        return QTest::qWaitFor(
            [this] { return ws->w()->api()->findChildren<QNetworkReply *>().isEmpty(); }, 15000);
    }
    QJsonObject frame(int i) const
    {
        return QJsonDocument::fromJson(log.value(i).section(' ', 1).toUtf8()).object();
    }
    // Exits the loop with 99 when the program does not quit by itself.
    static int runUntilQuit()
    {
        QTimer watchdog;
        watchdog.callOnTimeout(qApp, [] { QCoreApplication::exit(99); });
        watchdog.start(10000);
        return QCoreApplication::exec();
    }

private slots:
    void init()
    {
        ws = std::make_unique<Workspace>();
        ws->server.seedDemoChannel();
        log.clear();
        connect(&ws->server, &DevServer::Server::requestRecorded, this,
                [this](const DevServer::RecordedRequest &r) { log << r.path + '?' + r.rawQuery; });
        connect(&ws->server, &DevServer::Server::frameReceived, this, [this](const QString &t) {
            log << "ws:" + QJsonDocument::fromJson(t.toUtf8())["type"].toString() + ' ' + t;
        });
        answers = std::make_unique<Answerer>();
    }

    void cleanup()
    {
        ws.reset();
        answers.reset();
        // Deferred deletions run now; a pending quit (a cancelled dialog) must
        // not end the next test's dialogs.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
    }

    void bootstrapRunsInOrder_data()
    {
        QTest::addColumn<bool>("resumed");
        QTest::newRow("signed in through the dialog") << false;
        QTest::newRow("resumed from a stored token") << true;
    }
    void bootstrapRunsInOrder()
    {
        QFETCH(bool, resumed);
        if (resumed) {
            QSettings("orvantis", "config").setValue("token", ws->server.issueToken(12));
            ws->server.delayReplies("/agent/channel", 300);
        } else {
            answers->onLogin = [](LoginDialog *d) { return signIn(d, "demo", "demo123"); };
        }
        construct();
        // Resuming, nothing is on screen until the channel record proves the token.
        QVERIFY(!ws->w()->isVisible());
        QTRY_VERIFY(ws->w()->isLoggedIn() && ws->w()->isVisible());
        QCOMPARE(answers->loginDialogsSeen, resumed ? 0 : 1);
        QTRY_COMPARE(ws->w()->sessionList().size(), 50);
        QTRY_COMPARE(count("ws:join "), 1);

        const int login = find("/agent/login?"), channel = find("/agent/channel?");
        const int auth = find("ws:auth "), page = find("/chat/channel-sessions?");
        const int join = find("ws:join ");
        QVERIFY2(resumed ? login < 0 : login >= 0 && login < channel, qPrintable(log.join('\n')));
        // Link and first page wait for the channel; the join for the authentication.
        QVERIFY2(channel < auth && channel < page && auth < join, qPrintable(log.join('\n')));
        QVERIFY(log.at(page).endsWith("?limit=50&page=1"));
        QCOMPARE(frame(auth)["token"].toString(), ws->w()->api()->token());
        QCOMPARE(frame(join),
                 (QJsonObject {{"type", "join"}, {"channel", ws->server.channelCode()}}));
    }

    // A failed start from a stored token leaves nothing going behind the login
    // dialog: the next sign-in starts alone, and cancelling ends the program.
    void failedResumeStartsOver_data()
    {
        QTest::addColumn<QStringList>("failing"); // bootstrap requests answered with 500
        QTest::addColumn<bool>("cancel");
        QTest::newRow("both fail") << QStringList {"/agent/online", "/agent/channel"} << false;
        QTest::newRow("online refused, channel on its way")
            << QStringList {"/agent/online"} << false;
        QTest::newRow("cancelled") << QStringList {"/agent/online"} << true;
    }
    void failedResumeStartsOver()
    {
        QFETCH(QStringList, failing);
        QFETCH(bool, cancel);
        QSettings("orvantis", "config").setValue("token", ws->server.issueToken(12));
        for (const QString &path : failing)
            ws->server.injectFault(path, Fault::Http500);
        ws->server.delayReplies("/agent/channel", 200);
        QString stateWhileDialogUp;
        int polls = 0;
        answers->onLogin = [&](LoginDialog *d) {
            // Answered once whatever was on its way would have arrived.
            if (!ws->w() || ++polls < 25)
                return false;
            stateWhileDialogUp = workspaceState(ws->w()).section(' ', 3)
                + QString::number(ws->w()->api()->pendingRequestCount())
                + (ws->w()->wss()->isConnected() ? "+" : "-");
            return cancel ? (d->reject(), true) : signIn(d, "lili", "lili123");
        };
        QCoreApplication::removePostedEvents(qApp);
        construct();
        if (cancel) {
            QCOMPARE(runUntilQuit(), 0);
        } else {
            QTRY_VERIFY(ws->w()->isLoggedIn() && ws->w()->isVisible());
            QTRY_COMPARE(count("ws:join "), 1);
        }
        QCOMPARE(answers->loginDialogsSeen, 1);
        QCOMPARE(stateWhileDialogUp, "0 0 0 -1 0   ? - 0-");
        QCOMPARE(count("ws:auth "), cancel ? 0 : 1); // lili's alone
    }

    // Resumed or signed in with the window up, at start, an undecodable token,
    // the realtime authentication refused.
    void expiredTokenReturnsToLogin_data()
    {
        QTest::addColumn<QString>("when");
        for (const char *when : {"window up", "dialog", "at start", "undecodable", "refused"})
            QTest::newRow(when) << QString(when);
    }
    void expiredTokenReturnsToLogin()
    {
        QFETCH(QString, when);
        if (when != "dialog")
            QSettings("orvantis", "config")
                .setValue("token",
                          when == "undecodable" ? "not-a-token" : ws->server.issueToken(12));
        if (when == "at start")
            ws->server.revokeTokens();
        if (when == "refused") { // with page 1 still on its way
            ws->server.refuseNextAuth("令牌已失效");
            ws->server.delayReplies("channel-sessions", 300);
        }
        QString stateWhileDialogUp, notice;
        answers->onLogin = [&](LoginDialog *d) {
            if (when == "dialog" && answers->loginDialogsSeen == 1)
                return signIn(d, "demo", "demo123");
            drained(); // whatever was on its way is in by now
            stateWhileDialogUp
                = workspaceState(ws->w()) + (ws->w()->wss()->isAuthenticated() ? "+" : "");
            notice = d->findChild<QLabel *>("errorLabel")->text();
            return signIn(d, "lili", "lili123");
        };
        construct();
        if (when == "window up" || when == "dialog") {
            QTRY_VERIFY(!ws->w()->sessionList().isEmpty());
            // A page still on its way must not refill the signed-out window.
            ws->server.delayReplies("channel-sessions", 300);
            ws->w()->api()->sendGetRequest("/chat/channel-sessions");
            QTRY_COMPARE(count("/chat/channel-sessions?"), 2);
            ws->server.revokeTokens();
            ws->w()->api()->sendGetRequest("/agent/channel"); // meets a 401
        }
        QTRY_COMPARE(answers->loginDialogsSeen, when == "dialog" ? 2 : 1);
        QTRY_VERIFY(ws->w()->isLoggedIn() && ws->w()->isVisible());
        QCOMPARE(stateWhileDialogUp, signedOut);
        // The dialog says why: the service's refusal of the link, or the
        // expiry, whichever of the two reached the client first.
        const QStringList reasons = when == "refused"
            ? QStringList {"令牌已失效"}
            : QStringList {"登录已过期，请重新登录", "token无效"};
        QVERIFY2(reasons.contains(notice), qPrintable(when + ": " + notice));
        QVERIFY(labelText(ws->w(), "merchantNameLabel").contains("李丽"));
        QVERIFY(!storedToken().isEmpty());
    }

    // Replies still in flight at logout (a page, a session record, a remark)
    // used to refill the workspace of the next agent.
    void logoutLeavesNothingForTheNextAgent()
    {
        ws->server.clearChannel();
        const int demoOnly
            = ws->server.addSession({{"visitor_name", "demo-visitor"}, {"agent_id", 12}});
        ws->server.addSession({{"visitor_name", "lili-visitor"}, {"agent_id", 13}});
        answers->onLogin = [](LoginDialog *d) { return signIn(d, "demo", "demo123"); };
        construct();
        QTRY_COMPARE(ws->server.authenticatedCount(), 1);
        QTRY_COMPARE(ws->w()->sessionList().size(), 1);
        Access::select(ws->w(), demoOnly);
        QTRY_VERIFY(ws->w()->store()->isCached(demoOnly));
        ws->w()->findChild<QLineEdit *>("searchEdit")->setText("demo");
        ws->w()->findChild<QLineEdit *>("remarkEdit")->setText("VIP");

        for (const char *path : {"channel-sessions", "session-info", "update-session"})
            ws->server.delayReplies(path, 400);
        ws->w()->api()->sendGetRequest("/chat/channel-sessions", {{"page", "1"}, {"limit", "50"}});
        ws->w()->api()->sendGetRequest("/chat/session-info",
                                       {{"session_id", QString::number(demoOnly)}});
        Access::saveRemark(ws->w());
        QTRY_COMPARE(count("/chat/session-info?") + count("/chat/update-session?"), 2);

        answers->onBox = [&](QMessageBox *box) {
            box->button(QMessageBox::Yes)->click();
            return true;
        };
        QString stateWhileDialogUp;
        answers->onLogin = [&](LoginDialog *d) {
            // The late replies arrive while the dialog is up.
            if (count("/auth/logout?") == 0)
                return false;
            drained();
            stateWhileDialogUp = workspaceState(ws->w()) + labelText(ws->w(), "statusLabel");
            return signIn(d, "lili", "lili123");
        };
        ws->w()->findChild<QPushButton *>("logoutBtn")->click();

        QTRY_COMPARE(stateWhileDialogUp, signedOut + "已退出登录");
        QTRY_COMPARE(count("ws:join "), 2);
        QTRY_COMPARE(ws->w()->sessionList().size(), 1);
        QVERIFY(drained());
        QCOMPARE(Access::map(ws->w()).keys().size(), 1);
        QCOMPARE(ws->w()->sessionList().first().displayName(), "lili-visitor");
        // The sign-out answer of the first agent must not have signed out the second.
        QCOMPARE(count("/auth/logout?"), 1);
        QVERIFY(!storedToken().isEmpty());
    }

    void cancelledLoginAtStartEndsProgram()
    {
        // As in the real program: the window is built before the event loop runs,
        // and the agent closes the login dialog.
        QCoreApplication::removePostedEvents(qApp);
        construct(); // the answerer rejects dialogs without a handler
        QCOMPARE(runUntilQuit(), 0);
        QCOMPARE(answers->loginDialogsSeen, 1);
    }

    // Whatever a sign-in opened goes with it, unanswered: an expired token
    // brings the login dialog, another agent signs in, and nothing of the
    // first sign-in is left on screen or acts for the second.
    void signInOwnsWhatItOpened_data()
    {
        QTest::addColumn<QString>("opened");
        for (const char *row : {"row menu", "delete question", "logout question", "lightbox",
                                "transfer dialog", "toast"})
            QTest::newRow(row) << row;
    }
    void signInOwnsWhatItOpened()
    {
        QFETCH(QString, opened);
        ws->server.clearChannel();
        const int empty = ws->add("empty", false);
        answers->onLogin = [](LoginDialog *d) { return signIn(d, "demo", "demo123"); };
        answers->onBox = [](QMessageBox *) { return false; }; // left open
        answers->onOther = [](QDialog *) { return false; };
        construct();
        QTRY_COMPARE(count("ws:join "), 1);
        orvantis *w = ws->w();
        QVERIFY(ws->open(empty));

        QPointer<QWidget> thing;
        const auto topLevel = [](const char *type) -> QWidget * {
            for (QWidget *t : QApplication::topLevelWidgets())
                if (t->isVisible() && t->inherits(type))
                    return t;
            return nullptr;
        };
        if (opened == "row menu" || opened == "delete question") {
            Access::rightClick(w, ws->row(empty));
            QTRY_VERIFY(thing = Workspace::openMenu());
            if (opened == "delete question") {
                thing->actions().constFirst()->trigger();
                QTRY_VERIFY(thing = topLevel("QMessageBox"));
            }
        } else if (opened == "logout question") {
            w->findChild<QPushButton *>("logoutBtn")->click();
            QTRY_VERIFY(thing = topLevel("QMessageBox"));
        } else if (opened == "lightbox") {
            Access::lightbox(w, ws->server.restBaseUrl() + "/none.png");
            QTRY_VERIFY(thing = w->findChild<QDialog *>());
        } else if (opened == "transfer dialog") {
            ws->server.setAgentOnline(13, true);
            Access::transfer(w);
            QTRY_VERIFY(thing = w->findChild<QDialog *>());
        } else {
            showToast(w, "访客", "旧访客的话");
            QTRY_VERIFY(thing = activeToasts().value(0));
        }
        QVERIFY(thing->isVisible());

        answers->onLogin = [](LoginDialog *d) { return signIn(d, "wang", "wang123"); };
        ws->server.revokeTokens();
        w->api()->sendGetRequest("/agent/channel"); // meets a 401
        QTRY_COMPARE(answers->loginDialogsSeen, 2);
        QVERIFY(!thing || !thing->isVisible());
        QTRY_VERIFY(w->isLoggedIn() && count("ws:join ") == 2);
        QTRY_VERIFY(!thing);
        QCOMPARE(activeToasts().size(), 0);
        QVERIFY(!topLevel("QMessageBox"));
        QCOMPARE(count("/chat/delete-session") + count("/auth/logout"), 0);
        QVERIFY(!w->findChild<QDialog *>());
    }

    // Last: it runs and quits the application loop. Without a tray host: the
    // geometry survives a restart (and is brought back on screen), a second
    // start brings the window up, closing it quits.
    void windowStateWithoutTray()
    {
        QSettings("orvantis", "config").setValue("token", ws->server.issueToken(12));
        for (const QRect &saved : {QRect(40, 50, 1000, 640), QRect(-30000, -30000, 1000, 640)}) {
            construct();
            QTRY_VERIFY(ws->w()->isLoggedIn());
            ws->w()->setGeometry(saved);
            ws->window.reset(); // signed in: saves its geometry
            construct();
            // Kept where it was, unless that is off every screen.
            QCOMPARE(ws->w()->geometry() == saved, saved.x() > 0);
            QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().intersects(
                ws->w()->frameGeometry()));
            QTRY_VERIFY(ws->w()->isLoggedIn());
            ws->window.reset();
        }
        construct();
        QTRY_VERIFY(ws->w()->isLoggedIn());
        ws->w()->showMinimized();
        ws->w()->hide();
        // Anything but "SHOW" is let go unanswered; "SHOW" brings it up.
        for (const QByteArray word : {"HELLO", "SHOW"}) {
            QLocalSocket second;
            second.connectToServer(SingleInstanceGuard::serverName());
            QVERIFY(second.waitForConnected(2000));
            second.write(word);
            QTRY_COMPARE(second.state(), QLocalSocket::UnconnectedState);
            QCOMPARE(ws->w()->isVisible() && !ws->w()->isMinimized(), word == "SHOW");
        }

        QTimer::singleShot(0, ws->w(), &QWidget::close);
        QCOMPARE(runUntilQuit(), 0);
        QTRY_COMPARE(ws->server.connectionCount(), 0);
    }
};

ORVANTIS_TEST_MAIN(TestBootstrap)
#include "tst_bootstrap.moc"
