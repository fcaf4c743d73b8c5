// The main window's bootstrap, driven against the stand-in service: sign-in and
// resume paths, the order of the first requests and frames, fallbacks to the
// login dialog, logout, and what the window shows for odd service data.

#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/apiclient.h"
#include "net/wssclient.h"
#include "shell/logindialog.h"
#include "workspace/orvantis.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTextDocument>
#include <QTimer>
#include <functional>

using StandIn::Fault;
using StandIn::StandInServer;

class OrvantisTestAccess
{
public:
    static int joinedSessionId(const orvantis *w) { return w->joinedSessionId; }
    static QString channelCode(const orvantis *w) { return w->channelCode; }
    static int agentId(const orvantis *w) { return w->agentId; }
    static void selectSession(orvantis *w, int id) { w->selectSession(id); }
};

namespace {

// Modal dialogs block the code that opens them (the window's constructor
// included), so they are answered from a timer. A handler is called until it
// reports the dialog answered; a dialog still open after 15 s is rejected so
// that a failing test cannot hang.
class DialogAnswerer : public QObject
{
public:
    std::function<bool(LoginDialog *)> onLogin; // unset: reject
    std::function<bool(QMessageBox *)> onQuestion; // unset: reject
    int loginDialogsSeen = 0;

    DialogAnswerer()
    {
        m_timer.callOnTimeout(this, &DialogAnswerer::poll);
        m_timer.start(20);
    }

private:
    struct Seen
    {
        QPointer<QWidget> dialog;
        bool answered = false;
        QElapsedTimer since;
    };

    void poll()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *login = qobject_cast<LoginDialog *>(w);
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!w->isVisible() || (!login && !box))
                continue;
            auto seen = std::find_if(m_seen.begin(), m_seen.end(), [w](const Seen &s) { return s.dialog == w; });
            if (seen == m_seen.end()) {
                loginDialogsSeen += login != nullptr;
                seen = m_seen.insert(m_seen.end(), {w, false, {}});
                seen->since.start();
            }
            if (seen->since.elapsed() > 15000)
                static_cast<QDialog *>(w)->reject();
            else if (!seen->answered && login)
                seen->answered = onLogin ? onLogin(login) : (login->reject(), true);
            else if (!seen->answered)
                seen->answered = onQuestion ? onQuestion(box) : (box->reject(), true);
        }
    }

    QTimer m_timer;
    QList<Seen> m_seen;
};

// Records the order in which the client creates its requests. The service
// sees them over parallel connections, so its arrival order proves nothing.
class RequestOrder : public QObject
{
public:
    QStringList paths;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded) {
            // The reply is still being built; its URL is readable once the
            // call that created it has returned.
            QPointer<QObject> child(static_cast<QChildEvent *>(event)->child());
            paths.append(QString());
            QMetaObject::invokeMethod(this, [this, child, i = paths.size() - 1] {
                if (auto *reply = qobject_cast<QNetworkReply *>(child.data()))
                    paths[i] = reply->url().path();
            }, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }
};

bool signIn(LoginDialog *dialog, const QString &account, const QString &password)
{
    dialog->findChild<QLineEdit *>(QStringLiteral("emailEdit"))->setText(account);
    dialog->findChild<QLineEdit *>(QStringLiteral("passwordEdit"))->setText(password);
    dialog->findChild<QPushButton *>(QStringLiteral("loginBtn"))->click();
    return true;
}

std::function<bool(LoginDialog *)> signInAs(const QString &account, const QString &password)
{
    return [account, password](LoginDialog *d) { return signIn(d, account, password); };
}

QString labelText(const orvantis *w, const char *name)
{
    return w->findChild<QLabel *>(QLatin1String(name))->text();
}

QString storedToken()
{
    return QSettings(QStringLiteral("orvantis"), QStringLiteral("config")).value(QStringLiteral("token")).toString();
}

void storeToken(const QString &token)
{
    QSettings(QStringLiteral("orvantis"), QStringLiteral("config")).setValue(QStringLiteral("token"), token);
}

QByteArray envelope(const QJsonObject &data)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("code"), 200},
                                     {QStringLiteral("msg"), QStringLiteral("ok")},
                                     {QStringLiteral("data"), data}})
            .toJson(QJsonDocument::Compact);
}

// What a signed-out window must look like: nothing of the last agent left.
QString workspaceState(const orvantis *w)
{
    return QStringLiteral("loggedIn=%1 visible=%2 token=%3 sessions=%4 cache=%5 current=%6 joined=%7 bubbles=%8")
            .arg(w->isLoggedIn())
            .arg(w->isVisible())
            .arg(storedToken() + w->api()->token())
            .arg(w->sessionList().size())
            .arg(w->messages().size())
            .arg(w->currentSession())
            .arg(OrvantisTestAccess::joinedSessionId(w))
            .arg(w->bubbles().size());
}

const QString signedOut = QStringLiteral("loggedIn=0 visible=0 token= sessions=0 cache=0 current=0 joined=-1 bubbles=0");

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
    void expiredTokenAfterDialogSignInReturnsToLogin();
    void logoutAndSignInAgainStartsClean();
    void agentName_data();
    void agentName();
    void channelCodeSources_data();
    void channelCodeSources();
    void errorTextsAreShownLiterally();
    void cancelledLoginAtStartEndsProgram();

private:
    void construct() { window = new orvantis; } // blocks while a login dialog is answered
    // Log entries: "REST <path>?<query>" and "WS:<type>:<frame>", in arrival
    // order. `what` is a REST path part when it starts with '/', else a frame type.
    int find(const QString &what, int from = 0) const;
    int count(const QString &what) const;
    QJsonObject frame(int index) const;

    StandInServer *server = nullptr;
    orvantis *window = nullptr;
    DialogAnswerer *answers = nullptr;
    QStringList log;
};

void BootstrapTest::init()
{
    server = new StandInServer;
    QVERIFY(server->listen());
    if (server->sessionCount() == 0)
        server->seedDemoChannel();
    qputenv("ORVANTIS_API_URL", server->restBaseUrl().toUtf8());
    qputenv("ORVANTIS_WSS_URL", server->wssUrl().toUtf8());
    log.clear();
    connect(server, &StandInServer::requestRecorded, this, [this](const StandIn::RecordedRequest &r) {
        log << QStringLiteral("REST %1?%2").arg(r.path, r.rawQuery);
    });
    connect(server, &StandInServer::frameReceived, this, [this](const QString &text) {
        const QString type = QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("type")).toString();
        log << QStringLiteral("WS:%1:%2").arg(type, text);
    });

    QSettings(QStringLiteral("orvantis"), QStringLiteral("config")).clear();
    QSettings().clear();
    answers = new DialogAnswerer;
}

void BootstrapTest::cleanup()
{
    delete window;
    window = nullptr;
    delete answers;
    delete server;
    // Let deferred deletions of dialogs and replies run before the next test,
    // and drop a pending quit (the last window closed) that would end the next
    // test's modal dialogs.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
}

int BootstrapTest::find(const QString &what, int from) const
{
    for (int i = qMax(0, from); i < log.size(); ++i) {
        const QString &e = log.at(i);
        if (what.startsWith(QLatin1Char('/')) ? e.startsWith(QLatin1String("REST ")) && e.contains(what)
                                               : e.startsWith(QStringLiteral("WS:%1:").arg(what)))
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

QJsonObject BootstrapTest::frame(int index) const
{
    return QJsonDocument::fromJson(log.value(index).section(QLatin1Char(':'), 2).toUtf8()).object();
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
    RequestOrder sent;
    if (resumed) {
        storeToken(server->issueToken(12));
        server->delayReplies(QStringLiteral("/agent/channel"), 300);
    } else {
        answers->onLogin = [&sent](LoginDialog *d) {
            // The window exists, hidden, while its constructor waits for the dialog.
            for (QWidget *w : QApplication::topLevelWidgets()) {
                if (auto *window = qobject_cast<orvantis *>(w))
                    window->api()->findChild<QNetworkAccessManager *>()->installEventFilter(&sent);
            }
            return signIn(d, QStringLiteral("demo"), QStringLiteral("demo123"));
        };
    }
    construct();
    // Resuming, nothing is on screen until the channel record has proved the token.
    QCOMPARE(answers->loginDialogsSeen, resumed ? 0 : 1);
    QCOMPARE(window->isLoggedIn(), !resumed);
    QCOMPARE(window->isVisible(), !resumed);
    QCOMPARE(OrvantisTestAccess::agentId(window), 12);
    QVERIFY(labelText(window, "merchantNameLabel").contains(QStringLiteral("演示坐席")));
    QTRY_VERIFY(window->isLoggedIn());
    QVERIFY(window->isVisible());
    QTRY_VERIFY(find(QStringLiteral("join")) >= 0);
    QTRY_VERIFY(find(QStringLiteral("/chat/channel-sessions")) >= 0);

    const QString trace = log.join(QLatin1Char('\n'));
    const int login = find(QStringLiteral("/agent/login"));
    const int channel = find(QStringLiteral("/agent/channel"));
    const int auth = find(QStringLiteral("auth"));
    const int page = find(QStringLiteral("/chat/channel-sessions"));
    const int join = find(QStringLiteral("join"));
    QVERIFY2(resumed ? login < 0 : login >= 0 && login < channel, qPrintable(trace));
    // Online notice first, then the channel request, as the client sent them
    // (on the resume path they leave from the constructor, unobserved).
    const qsizetype online = sent.paths.indexOf(QRegularExpression(QStringLiteral(".*/agent/online")));
    QVERIFY2(resumed || (online >= 0 && online < sent.paths.indexOf(QRegularExpression(QStringLiteral(".*/agent/channel")))),
             qPrintable(sent.paths.join(QLatin1Char(' '))));
    // The realtime link and the first page both wait for the channel record;
    // the channel is joined only once the link is authenticated.
    QVERIFY2(channel < auth && channel < page && auth < join, qPrintable(trace));

    const QUrlQuery query(log.at(page).section(QLatin1Char('?'), 1));
    QCOMPARE(query.queryItemValue(QStringLiteral("page")), QStringLiteral("1"));
    QCOMPARE(query.queryItemValue(QStringLiteral("limit")), QStringLiteral("50"));
    QCOMPARE(frame(auth).value(QStringLiteral("role")).toString(), QStringLiteral("agent"));
    QCOMPARE(frame(auth).value(QStringLiteral("token")).toString(), window->api()->token());
    QCOMPARE(frame(join), (QJsonObject{{QStringLiteral("type"), QStringLiteral("join")},
                                       {QStringLiteral("channel"), server->channelCode()}}));
    QCOMPARE(count(QStringLiteral("join")), 1);
    QCOMPARE(count(QStringLiteral("/agent/online")), 1);
    QCOMPARE(OrvantisTestAccess::joinedSessionId(window), -1);
    QTRY_VERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("● 在线")));
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
    storeToken(token);
    // Both bootstrap requests fail: two errors, yet only one dialog.
    server->injectFault(QStringLiteral("/agent/online"), Fault::Http500);
    server->injectFault(QStringLiteral("/agent/channel"), Fault::Http500);
    answers->onLogin = [&](LoginDialog *d) {
        // Answer only once the second error has arrived while the dialog is up.
        if (d->findChild<QLabel *>(QStringLiteral("errorLabel"))->text().isEmpty())
            return false;
        if (signInAfterwards)
            return signIn(d, QStringLiteral("demo"), QStringLiteral("demo123"));
        d->reject();
        return true;
    };
    construct();
    QTRY_COMPARE(answers->loginDialogsSeen, 1);
    QTRY_VERIFY(!QApplication::activeModalWidget());

    if (signInAfterwards) {
        QTRY_VERIFY(window->isLoggedIn());
        QVERIFY(window->isVisible());
        QTRY_VERIFY(find(QStringLiteral("join")) >= 0);
    } else {
        QVERIFY(!window->isLoggedIn());
        QVERIFY(!window->isVisible());
        // The service never refused the token itself: it is kept.
        QCOMPARE(storedToken(), token);
        QCOMPARE(server->connectionCount(), 0);
    }
    QCOMPARE(answers->loginDialogsSeen, 1);
}

void BootstrapTest::expiredTokenReturnsToLogin_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("window up") << QStringLiteral("window up");
    QTest::newRow("at start") << QStringLiteral("at start");
    QTest::newRow("undecodable token") << QStringLiteral("undecodable");
}

void BootstrapTest::expiredTokenReturnsToLogin()
{
    QFETCH(QString, when);
    // A token that cannot even be read locally still goes to the service,
    // which decides.
    storeToken(when == QLatin1String("undecodable") ? QStringLiteral("not-a-token") : server->issueToken(12));
    if (when == QLatin1String("at start"))
        server->revokeTokens();
    QString stateWhileDialogUp;
    bool linkDownWhileDialogUp = false;
    answers->onLogin = [&](LoginDialog *d) {
        stateWhileDialogUp = workspaceState(window);
        linkDownWhileDialogUp = !window->wss()->isAuthenticated();
        return signIn(d, QStringLiteral("lili"), QStringLiteral("lili123"));
    };

    construct();
    if (when == QLatin1String("undecodable"))
        QCOMPARE(OrvantisTestAccess::agentId(window), 0);
    if (when == QLatin1String("window up")) {
        QTRY_VERIFY(!window->sessionList().isEmpty());
        QCOMPARE(answers->loginDialogsSeen, 0);
        server->revokeTokens();
        // Any request now meets a 401.
        window->api()->sendGetRequest(QStringLiteral("/agent/channel"));
    }
    QTRY_COMPARE(answers->loginDialogsSeen, 1);
    QTRY_VERIFY(window->isLoggedIn());

    QCOMPARE(stateWhileDialogUp, signedOut);
    QVERIFY(linkDownWhileDialogUp);
    QVERIFY(window->isVisible());
    QVERIFY(labelText(window, "merchantNameLabel").contains(QStringLiteral("李丽")));
    QVERIFY(!storedToken().isEmpty());
    // Authenticated anew on the new token (the form's initial text has another colour).
    QTRY_VERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("#22c55e")));
    QTRY_VERIFY(!window->sessionList().isEmpty());
    QCOMPARE(answers->loginDialogsSeen, 1);
}

// An agent who signed in through the dialog is sent back to it as well when
// the service stops accepting the token, instead of working on in a workspace
// where every request fails without a word.
void BootstrapTest::expiredTokenAfterDialogSignInReturnsToLogin()
{
    QString stateWhileDialogUp;
    answers->onLogin = [&](LoginDialog *d) {
        if (answers->loginDialogsSeen == 1)
            return signIn(d, QStringLiteral("demo"), QStringLiteral("demo123"));
        stateWhileDialogUp = workspaceState(window);
        return signIn(d, QStringLiteral("lili"), QStringLiteral("lili123"));
    };
    construct();
    QTRY_VERIFY(!window->sessionList().isEmpty());

    server->revokeTokens();
    window->api()->sendGetRequest(QStringLiteral("/agent/channel"));
    QTRY_COMPARE(answers->loginDialogsSeen, 2);
    QTRY_VERIFY(window->isLoggedIn());
    QCOMPARE(stateWhileDialogUp, signedOut);
    QTRY_VERIFY(labelText(window, "merchantNameLabel").contains(QStringLiteral("李丽")));
    QVERIFY(!storedToken().isEmpty());
}

void BootstrapTest::logoutAndSignInAgainStartsClean()
{
    answers->onLogin = signInAs(QStringLiteral("demo"), QStringLiteral("demo123"));
    construct();
    QTRY_VERIFY(!window->sessionList().isEmpty());
    QTRY_COMPARE(server->authenticatedCount(), 1);
    // Open a conversation so that there is something to reset.
    const int opened = window->sessionList().first().id;
    OrvantisTestAccess::selectSession(window, opened);
    QTRY_VERIFY(window->messages().contains(opened));
    QTRY_COMPARE(OrvantisTestAccess::joinedSessionId(window), opened);

    QString asked;
    answers->onQuestion = [&](QMessageBox *box) {
        asked = box->windowTitle() + QLatin1Char('|') + box->text();
        box->button(QMessageBox::Yes)->click();
        return true;
    };
    QString stateWhileDialogUp;
    answers->onLogin = [&](LoginDialog *d) {
        // An agent takes longer to type than the logout request to leave;
        // signing in abandons whatever is still in flight.
        if (count(QStringLiteral("/auth/logout")) == 0)
            return false;
        stateWhileDialogUp = QStringLiteral("%1 %2 %3").arg(workspaceState(window), labelText(window, "statusLabel"),
                                                           labelText(window, "chatAvatarLabel"));
        return signIn(d, QStringLiteral("lili"), QStringLiteral("lili123"));
    };
    const int logoutAt = log.size();
    window->findChild<QPushButton *>(QStringLiteral("logoutBtn"))->click();

    QCOMPARE(asked, QStringLiteral("退出登录|确定要退出当前登录吗？"));
    QCOMPARE(answers->loginDialogsSeen, 2);
    QCOMPARE(stateWhileDialogUp, signedOut + QStringLiteral(" 已退出登录 ?"));
    QCOMPARE(count(QStringLiteral("/auth/logout")), 1);

    // Signed in again: the whole bootstrap runs a second time, from page 1.
    QVERIFY(window->isLoggedIn());
    QVERIFY(window->isVisible());
    QVERIFY(labelText(window, "merchantNameLabel").contains(QStringLiteral("李丽")));
    QTRY_VERIFY(find(QStringLiteral("join"), logoutAt) >= 0);
    QTRY_VERIFY(find(QStringLiteral("/chat/channel-sessions"), logoutAt) >= 0);
    QVERIFY(log.at(find(QStringLiteral("/chat/channel-sessions"), logoutAt)).contains(QStringLiteral("page=1")));
    QCOMPARE(count(QStringLiteral("/agent/online")), 2);
    QCOMPARE(window->currentSession(), 0);
    QTRY_VERIFY(!window->sessionList().isEmpty());
}

void BootstrapTest::agentName_data()
{
    QTest::addColumn<bool>("resumed");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("no name, resumed") << true << QString() << QStringLiteral("坐席 41");
    QTest::newRow("blank name, signed in") << false << QStringLiteral("   ") << QStringLiteral("坐席 41");
    QTest::newRow("markup, signed in") << false << QStringLiteral("<b>Bo</b> & <i>x</i>")
                                       << QStringLiteral("<b>Bo</b> & <i>x</i>");
    // The sign-in reply's profile has the wrong types: no id, no name.
    QTest::newRow("wrong types") << false << QStringLiteral("wrong types") << QStringLiteral("坐席 0");
}

void BootstrapTest::agentName()
{
    QFETCH(bool, resumed);
    QFETCH(QString, name);
    QFETCH(QString, shown);
    server->addAccount({41, QStringLiteral("odd"), QStringLiteral("odd123"), name, 3});
    if (name == QLatin1String("wrong types")) {
        server->setRawReply(QStringLiteral("/agent/login"), 200,
                            envelope({{QStringLiteral("token"), server->issueToken(41)},
                                      {QStringLiteral("agent_id"), QStringLiteral("abc")},
                                      {QStringLiteral("name"), QJsonArray{QStringLiteral("odd")}},
                                      {QStringLiteral("member_id"), QJsonArray{3}}}));
    }
    if (resumed)
        storeToken(server->issueToken(41));
    else
        answers->onLogin = signInAs(QStringLiteral("odd"), QStringLiteral("odd123"));
    construct();
    QTRY_VERIFY(window->isLoggedIn());

    // What the agent sees is the name itself, never markup interpreted.
    QTextDocument doc;
    doc.setHtml(labelText(window, "merchantNameLabel"));
    QCOMPARE(doc.toPlainText(), shown);
    // Whatever the profile, the workspace comes up and reports its channel.
    QTRY_VERIFY(labelText(window, "statusLabel").startsWith(QStringLiteral("已")));
}

void BootstrapTest::channelCodeSources_data()
{
    QTest::addColumn<QJsonObject>("channel");
    QTest::addColumn<QString>("joined"); // empty: nothing can be joined
    QTest::newRow("code only") << QJsonObject{{QStringLiteral("code"), QStringLiteral("legacy-7")}}
                               << QStringLiteral("legacy-7");
    QTest::newRow("neither") << QJsonObject{{QStringLiteral("name"), QStringLiteral("渠道")}} << QString();
    QTest::newRow("code of wrong type") << QJsonObject{{QStringLiteral("channel_code"), QJsonArray{1, 2}}}
                                        << QString();
}

void BootstrapTest::channelCodeSources()
{
    QFETCH(QJsonObject, channel);
    QFETCH(QString, joined);
    server->setRawReply(QStringLiteral("/agent/channel"), 200, envelope(channel));
    storeToken(server->issueToken(12));
    construct();

    // The window comes up either way, in a defined state.
    QTRY_VERIFY(window->isLoggedIn());
    QVERIFY(window->isVisible());
    QCOMPARE(OrvantisTestAccess::channelCode(window), joined);
    if (!joined.isEmpty()) {
        QTRY_VERIFY(find(QStringLiteral("join")) >= 0);
        QCOMPARE(frame(find(QStringLiteral("join"))).value(QStringLiteral("channel")).toString(), joined);
        return;
    }
    QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("渠道信息缺少渠道编码"));
    QVERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("● 离线")));
    // A later request would be answered by now; nothing followed the channel.
    window->api()->sendPostRequest(QStringLiteral("/agent/online"), QJsonObject());
    QTRY_COMPARE(count(QStringLiteral("/agent/online")), 2);
    QCOMPARE(server->connectionCount(), 0);
    QCOMPARE(count(QStringLiteral("/chat/channel-sessions")), 0);
}

void BootstrapTest::errorTextsAreShownLiterally()
{
    answers->onLogin = signInAs(QStringLiteral("demo"), QStringLiteral("demo123"));
    construct();
    QTRY_VERIFY(find(QStringLiteral("join")) >= 0);
    auto *status = window->findChild<QLabel *>(QStringLiteral("statusLabel"));
    QCOMPARE(status->textFormat(), Qt::PlainText);

    const QString markup = QStringLiteral("<b>坏</b> & <a href='x'>y</a>");
    server->setRawReply(QStringLiteral("/agent/online"), 200,
                        QJsonDocument(QJsonObject{{QStringLiteral("code"), 500}, {QStringLiteral("msg"), markup}})
                                .toJson());
    window->api()->sendPostRequest(QStringLiteral("/agent/online"), QJsonObject());
    QTRY_COMPARE(status->text(), QStringLiteral("错误: ") + markup);
    // A refused request leaves the agent signed in.
    QVERIFY(window->isLoggedIn());
}

void BootstrapTest::cancelledLoginAtStartEndsProgram()
{
    // As in the real program: the window is built before the event loop runs,
    // and the agent closes the login dialog.
    QCoreApplication::removePostedEvents(qApp); // nothing left over may quit for us
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
