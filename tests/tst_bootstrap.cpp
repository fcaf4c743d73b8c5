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
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <QTimer>
#include <functional>

using StandIn::Fault;
using StandIn::StandInServer;

// Reaches the window's private state the tests need to look at.
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
// included), so they are answered from a timer. Each dialog is handed to its
// handler until the handler reports it done; a dialog still open long after
// that is rejected so that a failing test cannot hang.
class DialogAnswerer : public QObject
{
public:
    std::function<bool(LoginDialog *)> onLogin;
    std::function<bool(QMessageBox *)> onQuestion;
    std::function<void()> onPoll; // runs before dialogs are looked at
    int loginDialogsSeen = 0;
    int questionsSeen = 0;
    bool forcedClose = false;

    DialogAnswerer()
    {
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, &DialogAnswerer::poll);
        m_timer.start();
    }

private:
    struct Handled
    {
        QPointer<QWidget> widget;
        QElapsedTimer since;
    };

    void poll()
    {
        if (onPoll)
            onPoll();
        for (Handled &h : m_handled) {
            if (h.widget && h.widget->isVisible() && h.since.elapsed() > 15000) {
                forcedClose = true;
                if (auto *dialog = qobject_cast<QDialog *>(h.widget.data()))
                    dialog->reject();
            }
        }
        const QWidgetList widgets = QApplication::topLevelWidgets();
        for (QWidget *w : widgets) {
            if (!w->isVisible() || isHandled(w))
                continue;
            bool done = false;
            if (auto *login = qobject_cast<LoginDialog *>(w)) {
                if (!m_seen.contains(login)) {
                    m_seen.append(login);
                    ++loginDialogsSeen;
                }
                if (onLogin) {
                    done = onLogin(login);
                } else {
                    login->reject();
                    done = true;
                }
            } else if (auto *box = qobject_cast<QMessageBox *>(w)) {
                if (!m_seen.contains(box)) {
                    m_seen.append(box);
                    ++questionsSeen;
                }
                if (onQuestion) {
                    done = onQuestion(box);
                } else {
                    box->reject();
                    done = true;
                }
            }
            if (done) {
                Handled h{w, {}};
                h.since.start();
                m_handled.append(h);
            }
        }
    }

    bool isHandled(QWidget *w) const
    {
        for (const Handled &h : m_handled) {
            if (h.widget == w)
                return true;
        }
        return false;
    }

    QTimer m_timer;
    QList<Handled> m_handled;
    QList<QPointer<QObject>> m_seen;
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
            auto *child = static_cast<QChildEvent *>(event)->child();
            const int index = paths.size();
            paths.append(QString());
            // The reply is still being constructed; its URL is readable once
            // the call that created it has returned.
            QPointer<QObject> reply(child);
            QMetaObject::invokeMethod(
                    this,
                    [this, reply, index] {
                        if (auto *r = qobject_cast<QNetworkReply *>(reply.data()))
                            paths[index] = r->url().path();
                    },
                    Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

    int indexOf(const QString &pathContains) const
    {
        for (int i = 0; i < paths.size(); ++i) {
            if (paths.at(i).contains(pathContains))
                return i;
        }
        return -1;
    }
};

bool signIn(LoginDialog *dialog, const QString &account, const QString &password)
{
    auto *email = dialog->findChild<QLineEdit *>(QStringLiteral("emailEdit"));
    auto *pass = dialog->findChild<QLineEdit *>(QStringLiteral("passwordEdit"));
    auto *button = dialog->findChild<QPushButton *>(QStringLiteral("loginBtn"));
    if (!email || !pass || !button)
        return false;
    email->setText(account);
    pass->setText(password);
    button->click();
    return true;
}

std::function<bool(LoginDialog *)> signInAs(const QString &account, const QString &password)
{
    return [account, password](LoginDialog *d) { return signIn(d, account, password); };
}

QJsonObject parseFrame(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

QString frameType(const QString &text)
{
    return parseFrame(text).value(QStringLiteral("type")).toString();
}

QString labelText(const orvantis *w, const char *name)
{
    auto *label = w->findChild<QLabel *>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<no label %1>").arg(QLatin1String(name));
}

QString storedToken()
{
    return QSettings(QStringLiteral("orvantis"), QStringLiteral("config"))
            .value(QStringLiteral("token"))
            .toString();
}

void storeToken(const QString &token)
{
    QSettings settings(QStringLiteral("orvantis"), QStringLiteral("config"));
    settings.setValue(QStringLiteral("token"), token);
    settings.sync();
}

QByteArray envelope(const QJsonObject &data)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("code"), 200},
                                     {QStringLiteral("msg"), QStringLiteral("ok")},
                                     {QStringLiteral("data"), data}})
            .toJson(QJsonDocument::Compact);
}

} // namespace

class BootstrapTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void signInRunsBootstrapInOrder();
    void resumeFromStoredTokenShowsWindowOnChannel();
    void resumeFallsBackToLoginOnce_data();
    void resumeFallsBackToLoginOnce();
    void expiredTokenReturnsToLogin_data();
    void expiredTokenReturnsToLogin();
    void expiredTokenAfterDialogSignInReturnsToLogin();
    void logoutAndSignInAgainStartsClean();
    void declinedLogoutChangesNothing();
    void agentName_data();
    void agentName();
    void channelCodeSources_data();
    void channelCodeSources();
    void channelJoinedStatus_data();
    void channelJoinedStatus();
    void statusTextsArePlainText();
    void reconnectJoinsChannelAgain();
    void closeWithoutTrayDisconnects();
    void cancelledLoginAtStartEndsProgram();

private:
    orvantis *construct(); // the window; blocks while a login dialog is answered
    int indexOf(const std::function<bool(const QString &)> &match, int from = 0) const;
    int indexOfRequest(const QString &pathContains, int from = 0) const;
    int indexOfFrame(const QString &type, int from = 0) const;
    int countRequests(const QString &pathContains) const;
    int countFrames(const QString &type) const;

    StandInServer *server = nullptr;
    orvantis *window = nullptr;
    DialogAnswerer *answers = nullptr;
    RequestOrder *sent = nullptr;
    QPointer<orvantis> hooked;
    QStringList log; // "REST <path>?<query>" and "WS <frame>", in arrival order

    void hookWindow();
};

// Watches the window being built (it is a hidden top-level widget while its
// constructor waits for the login dialog): request order and REST errors.
void BootstrapTest::hookWindow()
{
    if (hooked)
        return;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *candidate = qobject_cast<orvantis *>(w);
        if (!candidate)
            continue;
        hooked = candidate;
        if (auto *network = candidate->api()->findChild<QNetworkAccessManager *>())
            network->installEventFilter(sent);
        connect(candidate->api(), &ApiClient::apiError, this,
                [this](const QString &e) { log << QStringLiteral("ERR ") + e; });
        connect(candidate->api(), &ApiClient::sessionsReceived, this,
                [this](const QList<ChatSession> &list) {
                    log << QStringLiteral("SESSIONS %1").arg(list.size());
                });
        return;
    }
}

void BootstrapTest::init()
{
    server = new StandInServer;
    QVERIFY(server->listen());
    if (server->sessionCount() == 0)
        server->seedDemoChannel();
    qputenv("ORVANTIS_API_URL", server->restBaseUrl().toUtf8());
    qputenv("ORVANTIS_WSS_URL", server->wssUrl().toUtf8());
    log.clear();
    connect(server, &StandInServer::requestRecorded, this,
            [this](const StandIn::RecordedRequest &r) {
                log << QStringLiteral("REST %1?%2").arg(r.path, r.rawQuery);
            });
    connect(server, &StandInServer::frameReceived, this,
            [this](const QString &text) { log << QStringLiteral("WS ") + text; });

    QSettings(QStringLiteral("orvantis"), QStringLiteral("config")).clear();
    QSettings().clear();
    answers = new DialogAnswerer;
    sent = new RequestOrder;
    answers->onPoll = [this] { hookWindow(); };
}

void BootstrapTest::cleanup()
{
    delete window;
    window = nullptr;
    delete answers;
    answers = nullptr;
    delete sent;
    sent = nullptr;
    delete server;
    server = nullptr;
    // Let deferred deletions of dialogs and replies run before the next test,
    // and drop a pending quit (the last window closed) that would end the next
    // test's modal dialogs.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
}

orvantis *BootstrapTest::construct()
{
    window = new orvantis;
    hookWindow();
    return window;
}

int BootstrapTest::indexOf(const std::function<bool(const QString &)> &match, int from) const
{
    for (int i = qMax(0, from); i < log.size(); ++i) {
        if (match(log.at(i)))
            return i;
    }
    return -1;
}

int BootstrapTest::indexOfRequest(const QString &pathContains, int from) const
{
    return indexOf(
            [&](const QString &e) {
                return e.startsWith(QLatin1String("REST ")) && e.contains(pathContains);
            },
            from);
}

int BootstrapTest::indexOfFrame(const QString &type, int from) const
{
    return indexOf(
            [&](const QString &e) {
                return e.startsWith(QLatin1String("WS ")) && frameType(e.mid(3)) == type;
            },
            from);
}

int BootstrapTest::countRequests(const QString &pathContains) const
{
    int n = 0;
    for (const QString &e : log)
        n += e.startsWith(QLatin1String("REST ")) && e.contains(pathContains);
    return n;
}

int BootstrapTest::countFrames(const QString &type) const
{
    int n = 0;
    for (const QString &e : log)
        n += e.startsWith(QLatin1String("WS ")) && frameType(e.mid(3)) == type;
    return n;
}

void BootstrapTest::signInRunsBootstrapInOrder()
{
    answers->onLogin = signInAs(QStringLiteral("demo"), QStringLiteral("demo123"));
    construct();
    QCOMPARE(answers->loginDialogsSeen, 1);
    QVERIFY(window->isLoggedIn());
    QVERIFY(window->isVisible());
    QCOMPARE(OrvantisTestAccess::joinedSessionId(window), -1);
    QVERIFY(labelText(window, "merchantNameLabel").contains(QStringLiteral("演示坐席")));

    QTRY_VERIFY(indexOfFrame(QStringLiteral("join")) >= 0);
    QTRY_VERIFY2(!window->sessionList().isEmpty(), qPrintable(log.join('\n')));

    const int login = indexOfRequest(QStringLiteral("/agent/login"));
    const int online = indexOfRequest(QStringLiteral("/agent/online"));
    const int channel = indexOfRequest(QStringLiteral("/agent/channel"));
    const int auth = indexOfFrame(QStringLiteral("auth"));
    const int page = indexOfRequest(QStringLiteral("/chat/channel-sessions"));
    const int join = indexOfFrame(QStringLiteral("join"));
    QVERIFY2(login >= 0 && login < online && login < channel, qPrintable(log.join('\n')));
    QVERIFY(online >= 0);
    // Online notice first, then the channel request, as the client sent them.
    QVERIFY2(sent->indexOf(QStringLiteral("/agent/online")) >= 0, qPrintable(sent->paths.join(' ')));
    QVERIFY2(sent->indexOf(QStringLiteral("/agent/online"))
                     < sent->indexOf(QStringLiteral("/agent/channel")),
             qPrintable(sent->paths.join(' ')));
    // The realtime link and the first page both wait for the channel record.
    QVERIFY2(channel < auth && channel < page, qPrintable(log.join('\n')));
    QVERIFY2(auth < join, qPrintable(log.join('\n')));

    const QUrlQuery query(log.at(page).section(QLatin1Char('?'), 1));
    QCOMPARE(query.queryItemValue(QStringLiteral("page")), QStringLiteral("1"));
    QCOMPARE(query.queryItemValue(QStringLiteral("limit")), QStringLiteral("50"));

    const QJsonObject authFrame = parseFrame(log.at(auth).mid(3));
    QCOMPARE(authFrame.value(QStringLiteral("role")).toString(), QStringLiteral("agent"));
    QCOMPARE(authFrame.value(QStringLiteral("token")).toString(), window->api()->token());
    QCOMPARE(parseFrame(log.at(join).mid(3)).value(QStringLiteral("channel")).toString(),
             server->channelCode());
    QCOMPARE(countFrames(QStringLiteral("join")), 1);
    QCOMPARE(countRequests(QStringLiteral("/agent/online")), 1);

    QTRY_VERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("● 在线")));
    QTRY_COMPARE(window->sessionList().size(), 50);
    QVERIFY(!answers->forcedClose);
}

void BootstrapTest::resumeFromStoredTokenShowsWindowOnChannel()
{
    storeToken(server->issueToken(12));
    server->delayReplies(QStringLiteral("/agent/channel"), 300);
    construct();

    // Nothing is on screen until the channel record has proved the token.
    QVERIFY(!window->isVisible());
    QVERIFY(!window->isLoggedIn());
    QCOMPARE(OrvantisTestAccess::agentId(window), 12);
    QVERIFY(labelText(window, "merchantNameLabel").contains(QStringLiteral("演示坐席")));

    QTRY_VERIFY(window->isLoggedIn());
    QVERIFY(window->isVisible());
    QTRY_VERIFY(indexOfFrame(QStringLiteral("join")) >= 0);
    QCOMPARE(answers->loginDialogsSeen, 0);
    QCOMPARE(countRequests(QStringLiteral("/agent/login")), 0);

    const int online = indexOfRequest(QStringLiteral("/agent/online"));
    const int channel = indexOfRequest(QStringLiteral("/agent/channel"));
    QVERIFY(online >= 0 && channel >= 0);
    QVERIFY(channel < indexOfFrame(QStringLiteral("auth")));
    QTRY_VERIFY(indexOfRequest(QStringLiteral("/chat/channel-sessions"), channel) > channel);
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
        auto *error = d->findChild<QLabel *>(QStringLiteral("errorLabel"));
        if (!error || error->text().isEmpty())
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
        QTRY_VERIFY(indexOfFrame(QStringLiteral("join")) >= 0);
    } else {
        QVERIFY(!window->isLoggedIn());
        QVERIFY(!window->isVisible());
        // The service never refused the token itself: it is kept.
        QCOMPARE(storedToken(), token);
        QCOMPARE(server->connectionCount(), 0);
    }
    QCOMPARE(answers->loginDialogsSeen, 1);
    QVERIFY(!answers->forcedClose);
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
    if (when == QLatin1String("undecodable")) {
        // The token cannot even be read locally; the service still decides.
        storeToken(QStringLiteral("not-a-token"));
    } else {
        storeToken(server->issueToken(12));
        if (when == QLatin1String("at start"))
            server->revokeTokens();
    }

    bool tokenGoneWhileDialogUp = false;
    bool hiddenWhileDialogUp = false;
    bool cleanWhileDialogUp = false;
    bool linkDownWhileDialogUp = false;
    answers->onLogin = [&](LoginDialog *d) {
        linkDownWhileDialogUp = window && !window->wss()->isAuthenticated();
        tokenGoneWhileDialogUp = storedToken().isEmpty() && window && window->api()->token().isEmpty();
        hiddenWhileDialogUp = window && !window->isVisible() && !window->isLoggedIn();
        cleanWhileDialogUp = window && window->sessionList().isEmpty()
                && window->messages().isEmpty() && window->currentSession() == 0;
        return signIn(d, QStringLiteral("lili"), QStringLiteral("lili123"));
    };

    construct();
    if (when == QLatin1String("undecodable")) {
        QCOMPARE(OrvantisTestAccess::agentId(window), 0);
        QTRY_VERIFY(indexOfRequest(QStringLiteral("/agent/online")) >= 0);
    }
    if (when == QLatin1String("window up")) {
        QTRY_VERIFY(window->isLoggedIn());
        QTRY_VERIFY(!window->sessionList().isEmpty());
        QCOMPARE(answers->loginDialogsSeen, 0);
        server->revokeTokens();
        const int before = countRequests(QStringLiteral("/chat/channel-sessions"));
        // Any request now meets a 401.
        window->api()->sendGetRequest(QStringLiteral("/agent/channel"));
        QTRY_COMPARE(answers->loginDialogsSeen, 1);
        QTRY_VERIFY(window->isLoggedIn());
        QTRY_VERIFY(countRequests(QStringLiteral("/chat/channel-sessions")) > before);
    } else {
        QTRY_COMPARE(answers->loginDialogsSeen, 1);
        QTRY_VERIFY(window->isLoggedIn());
    }

    QVERIFY(tokenGoneWhileDialogUp);
    QVERIFY(hiddenWhileDialogUp);
    QVERIFY(cleanWhileDialogUp);
    QVERIFY(linkDownWhileDialogUp);
    QVERIFY(window->isVisible());
    QVERIFY(labelText(window, "merchantNameLabel").contains(QStringLiteral("李丽")));
    QVERIFY(!storedToken().isEmpty());
    // Authenticated anew on the new token (the form's initial text has another colour).
    QTRY_VERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("#22c55e")));
    QCOMPARE(answers->loginDialogsSeen, 1);
    QVERIFY(!answers->forcedClose);
}

// An agent who signed in through the dialog is sent back to it as well when
// the service stops accepting the token, instead of working on in a workspace
// where every request fails without a word.
void BootstrapTest::expiredTokenAfterDialogSignInReturnsToLogin()
{
    bool cleanWhileDialogUp = false;
    answers->onLogin = [&](LoginDialog *d) {
        if (answers->loginDialogsSeen == 1)
            return signIn(d, QStringLiteral("demo"), QStringLiteral("demo123"));
        cleanWhileDialogUp = window && !window->isLoggedIn() && !window->isVisible()
                && window->api()->token().isEmpty() && storedToken().isEmpty()
                && window->sessionList().isEmpty() && window->currentSession() == 0;
        return signIn(d, QStringLiteral("lili"), QStringLiteral("lili123"));
    };
    construct();
    QTRY_VERIFY(window->isLoggedIn());
    QTRY_VERIFY(!window->sessionList().isEmpty());
    QCOMPARE(answers->loginDialogsSeen, 1);

    server->revokeTokens();
    window->api()->sendGetRequest(QStringLiteral("/agent/channel"));
    QTRY_COMPARE(answers->loginDialogsSeen, 2);
    QVERIFY(cleanWhileDialogUp);
    QTRY_VERIFY(window->isLoggedIn());
    QTRY_VERIFY(labelText(window, "merchantNameLabel").contains(QStringLiteral("李丽")));
    QVERIFY(!storedToken().isEmpty());
    QVERIFY(!answers->forcedClose);
}

void BootstrapTest::logoutAndSignInAgainStartsClean()
{
    answers->onLogin = signInAs(QStringLiteral("demo"), QStringLiteral("demo123"));
    construct();
    QTRY_VERIFY(!window->sessionList().isEmpty());
    QTRY_VERIFY(indexOfFrame(QStringLiteral("join")) >= 0);
    QTRY_COMPARE(server->authenticatedCount(), 1);

    // Open a conversation so that there is something to reset.
    const int opened = window->sessionList().first().id;
    OrvantisTestAccess::selectSession(window, opened);
    QTRY_COMPARE(window->currentSession(), opened);
    QTRY_VERIFY(window->messages().contains(opened));
    QTRY_VERIFY(OrvantisTestAccess::joinedSessionId(window) == opened);

    struct Seen
    {
        bool asked = false;
        int current = -1;
        int joined = 0;
        bool sessionsEmpty = false;
        bool cacheEmpty = false;
        bool bubblesEmpty = false;
        bool hidden = false;
        bool tokenGone = false;
        QString status;
        QString avatar;
    } seen;
    answers->onQuestion = [&](QMessageBox *box) {
        seen.asked = box->windowTitle() == QStringLiteral("退出登录")
                && box->text() == QStringLiteral("确定要退出当前登录吗？");
        box->button(QMessageBox::Yes)->click();
        return true;
    };
    answers->onLogin = [&](LoginDialog *d) {
        // An agent takes longer to type than the logout request to leave;
        // signing in abandons whatever is still in flight.
        if (countRequests(QStringLiteral("/auth/logout")) == 0)
            return false;
        seen.current = window->currentSession();
        seen.joined = OrvantisTestAccess::joinedSessionId(window);
        seen.sessionsEmpty = window->sessionList().isEmpty();
        seen.cacheEmpty = window->messages().isEmpty();
        seen.bubblesEmpty = window->bubbles().isEmpty();
        seen.hidden = !window->isVisible();
        seen.tokenGone = storedToken().isEmpty() && window->api()->token().isEmpty();
        seen.status = labelText(window, "statusLabel");
        seen.avatar = labelText(window, "chatAvatarLabel");
        return signIn(d, QStringLiteral("lili"), QStringLiteral("lili123"));
    };
    const int pagesBefore = countRequests(QStringLiteral("/chat/channel-sessions"));
    const int joinsBefore = countFrames(QStringLiteral("join"));

    window->findChild<QPushButton *>(QStringLiteral("logoutBtn"))->click();

    QVERIFY(seen.asked);
    QCOMPARE(answers->loginDialogsSeen, 2);
    QCOMPARE(seen.current, 0);
    QCOMPARE(seen.joined, -1);
    QVERIFY(seen.sessionsEmpty);
    QVERIFY(seen.cacheEmpty);
    QVERIFY(seen.bubblesEmpty);
    QVERIFY(seen.hidden);
    QVERIFY(seen.tokenGone);
    QCOMPARE(seen.status, QStringLiteral("已退出登录"));
    QCOMPARE(seen.avatar, QStringLiteral("?"));
    QCOMPARE(countRequests(QStringLiteral("/auth/logout")), 1);

    // Signed in again: the whole bootstrap runs a second time.
    QVERIFY(window->isLoggedIn());
    QVERIFY(window->isVisible());
    QVERIFY(labelText(window, "merchantNameLabel").contains(QStringLiteral("李丽")));
    QTRY_VERIFY(countFrames(QStringLiteral("join")) > joinsBefore);
    QTRY_VERIFY(countRequests(QStringLiteral("/chat/channel-sessions")) > pagesBefore);
    const int page = indexOfRequest(QStringLiteral("/chat/channel-sessions"),
                                    indexOfRequest(QStringLiteral("/auth/logout")));
    QVERIFY(log.at(page).contains(QStringLiteral("page=1")));
    QCOMPARE(countRequests(QStringLiteral("/agent/online")), 2);
    QCOMPARE(window->currentSession(), 0);
    QTRY_VERIFY(!window->sessionList().isEmpty());
    QVERIFY(window->isLoggedIn());
    QCOMPARE(answers->loginDialogsSeen, 2);
    QVERIFY(!answers->forcedClose);
}

void BootstrapTest::declinedLogoutChangesNothing()
{
    answers->onLogin = signInAs(QStringLiteral("demo"), QStringLiteral("demo123"));
    construct();
    QTRY_VERIFY(!window->sessionList().isEmpty());
    const int sessionCount = window->sessionList().size();
    answers->onQuestion = [](QMessageBox *box) {
        box->button(QMessageBox::No)->click();
        return true;
    };
    window->findChild<QPushButton *>(QStringLiteral("logoutBtn"))->click();
    QCOMPARE(answers->questionsSeen, 1);
    QVERIFY(window->isLoggedIn());
    QVERIFY(window->isVisible());
    QCOMPARE(window->sessionList().size(), sessionCount);
    QVERIFY(!storedToken().isEmpty());
    QCOMPARE(countRequests(QStringLiteral("/auth/logout")), 0);
    QCOMPARE(answers->loginDialogsSeen, 1);
}

void BootstrapTest::agentName_data()
{
    QTest::addColumn<bool>("storedToken");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("no name, signed in") << false << QString() << QStringLiteral("坐席 %1");
    QTest::newRow("no name, resumed") << true << QString() << QStringLiteral("坐席 %1");
    QTest::newRow("blank name") << false << QStringLiteral("   ") << QStringLiteral("坐席 %1");
    QTest::newRow("markup, signed in") << false << QStringLiteral("<b>Bo</b> & <i>x</i>")
                                       << QStringLiteral("<b>Bo</b> & <i>x</i>");
    QTest::newRow("markup, resumed") << true << QStringLiteral("<img src=x>李")
                                     << QStringLiteral("<img src=x>李");
}

void BootstrapTest::agentName()
{
    QFETCH(bool, storedToken);
    QFETCH(QString, name);
    QFETCH(QString, shown);
    StandIn::AgentAccount account;
    account.id = 41;
    account.account = QStringLiteral("odd");
    account.password = QStringLiteral("odd123");
    account.name = name;
    account.memberId = 3;
    server->addAccount(account);
    if (shown.contains(QLatin1String("%1")))
        shown = shown.arg(account.id);

    if (storedToken)
        storeToken(server->issueToken(account.id));
    else
        answers->onLogin = signInAs(account.account, account.password);
    construct();
    QTRY_VERIFY(window->isLoggedIn());

    auto *label = window->findChild<QLabel *>(QStringLiteral("merchantNameLabel"));
    QVERIFY(label);
    // What the agent sees is the name itself, never markup interpreted.
    QTextDocument doc;
    doc.setHtml(label->text());
    QCOMPARE(doc.toPlainText(), shown);
    QVERIFY(label->text().contains(QStringLiteral("font-size:15px;font-weight:bold;color:#2f3441;")));
}

void BootstrapTest::channelCodeSources_data()
{
    QTest::addColumn<QJsonObject>("channel");
    QTest::addColumn<QString>("joined"); // empty: nothing can be joined
    QTest::newRow("channel_code") << QJsonObject{{QStringLiteral("channel_code"), QStringLiteral("c-1")},
                                                 {QStringLiteral("code"), QStringLiteral("other")}}
                                  << QStringLiteral("c-1");
    QTest::newRow("code only") << QJsonObject{{QStringLiteral("code"), QStringLiteral("legacy-7")}}
                               << QStringLiteral("legacy-7");
    QTest::newRow("empty channel_code") << QJsonObject{{QStringLiteral("channel_code"), QString()},
                                                       {QStringLiteral("code"), QStringLiteral("fb")}}
                                        << QStringLiteral("fb");
    QTest::newRow("neither") << QJsonObject{{QStringLiteral("name"), QStringLiteral("渠道")}}
                             << QString();
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

    if (joined.isEmpty()) {
        QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("渠道信息缺少渠道编码"));
        QVERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("● 离线")));
        // A second bootstrap request would be answered by now; nothing followed.
        window->api()->sendPostRequest(QStringLiteral("/agent/online"), QJsonObject());
        QTRY_COMPARE(countRequests(QStringLiteral("/agent/online")), 2);
        QCOMPARE(server->connectionCount(), 0);
        QCOMPARE(countRequests(QStringLiteral("/chat/channel-sessions")), 0);
        QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("渠道信息缺少渠道编码"));
    } else {
        QTRY_VERIFY(indexOfFrame(QStringLiteral("join")) >= 0);
        const QJsonObject frame = parseFrame(log.at(indexOfFrame(QStringLiteral("join"))).mid(3));
        QCOMPARE(frame.value(QStringLiteral("channel")).toString(), joined);
        QCOMPARE(frame.size(), 2);
    }
}

void BootstrapTest::channelJoinedStatus_data()
{
    QTest::addColumn<bool>("emptyChannel");
    QTest::addColumn<QString>("status");
    QTest::newRow("no sessions") << true << QStringLiteral("已订阅频道，等待客户接入...");
    QTest::newRow("sessions") << false << QStringLiteral("已订阅频道，共 50 个会话");
}

void BootstrapTest::channelJoinedStatus()
{
    QFETCH(bool, emptyChannel);
    QFETCH(QString, status);
    if (emptyChannel)
        server->clearChannel();
    answers->onLogin = signInAs(QStringLiteral("demo"), QStringLiteral("demo123"));
    construct();
    QTRY_VERIFY(indexOfFrame(QStringLiteral("join")) >= 0);
    if (emptyChannel) {
        // An empty first page writes no status, so the subscription's own
        // answer is the last word.
        QTRY_COMPARE(labelText(window, "statusLabel"), status);
        QVERIFY(window->sessionList().isEmpty());
    } else {
        QTRY_COMPARE(window->sessionList().size(), 50);
        // The count is the local one: the sessions loaded so far.
        server->pushFrame(QJsonObject{{QStringLiteral("type"), QStringLiteral("joined")},
                                      {QStringLiteral("channel"), server->channelCode()}});
        QTRY_COMPARE(labelText(window, "statusLabel"), status);
    }
}

void BootstrapTest::statusTextsArePlainText()
{
    answers->onLogin = signInAs(QStringLiteral("demo"), QStringLiteral("demo123"));
    construct();
    QTRY_VERIFY(indexOfFrame(QStringLiteral("join")) >= 0);
    auto *status = window->findChild<QLabel *>(QStringLiteral("statusLabel"));
    QVERIFY(status);
    QCOMPARE(status->textFormat(), Qt::PlainText);

    const QString markup = QStringLiteral("<b>坏</b> & <a href='x'>y</a>");
    server->setRawReply(QStringLiteral("/agent/online"), 200,
                        QJsonDocument(QJsonObject{{QStringLiteral("code"), 500},
                                                  {QStringLiteral("msg"), markup}})
                                .toJson());
    window->api()->sendPostRequest(QStringLiteral("/agent/online"), QJsonObject());
    QTRY_COMPARE(status->text(), QStringLiteral("错误: ") + markup);
    // A refused request leaves the agent signed in.
    QVERIFY(window->isLoggedIn());

    // The service closes the link: offline, with its reason shown literally;
    // the reconnect (after 3 s) is refused with a reason that is markup too.
    server->refuseNextAuth(QStringLiteral("<b>token无效</b>"));
    server->closeConnections(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("<i>bye</i>"));
    QTRY_VERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("● 离线")));
    QTRY_COMPARE(status->text(), QStringLiteral("WSS 断开: <i>bye</i>"));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("认证失败: <b>token无效</b>"), 15000);
    QVERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("● 离线")));
}

void BootstrapTest::reconnectJoinsChannelAgain()
{
    answers->onLogin = signInAs(QStringLiteral("demo"), QStringLiteral("demo123"));
    construct();
    QTRY_VERIFY(indexOfFrame(QStringLiteral("join")) >= 0);
    QTRY_VERIFY(!window->sessionList().isEmpty());
    const int opened = window->sessionList().first().id;
    OrvantisTestAccess::selectSession(window, opened);
    QTRY_COMPARE(OrvantisTestAccess::joinedSessionId(window), opened);
    QTRY_COMPARE(countFrames(QStringLiteral("join_session")), 1);
    QCOMPARE(countFrames(QStringLiteral("join")), 1);

    server->dropConnections();
    QTRY_VERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("● 离线")));
    // The client reconnects after its first delay (3 s) and authenticates again.
    QTRY_VERIFY_WITH_TIMEOUT(countFrames(QStringLiteral("join")) == 2, 15000);
    QTRY_COMPARE(countFrames(QStringLiteral("join_session")), 2);
    const int firstJoin = indexOfFrame(QStringLiteral("join"));
    const int lastJoin = indexOfFrame(QStringLiteral("join"), firstJoin + 1);
    QVERIFY(lastJoin > firstJoin);
    QCOMPARE(parseFrame(log.at(lastJoin).mid(3)).value(QStringLiteral("channel")).toString(),
             server->channelCode());
    QTRY_VERIFY(labelText(window, "onlineStatusLabel").contains(QStringLiteral("● 在线")));
    QCOMPARE(OrvantisTestAccess::joinedSessionId(window), opened);
}

void BootstrapTest::closeWithoutTrayDisconnects()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("this platform has a tray; closing hides to it");
    answers->onLogin = signInAs(QStringLiteral("demo"), QStringLiteral("demo123"));
    construct();
    QTRY_COMPARE(server->authenticatedCount(), 1);
    window->close();
    QVERIFY(!window->isVisible());
    QTRY_COMPARE(server->connectionCount(), 0);
    QVERIFY(!window->wss()->isConnected());
}

void BootstrapTest::cancelledLoginAtStartEndsProgram()
{
    // As in the real program: the window is built before the event loop runs,
    // and the agent closes the login dialog.
    QCoreApplication::removePostedEvents(qApp); // nothing left over may quit for us
    answers->onLogin = [](LoginDialog *d) {
        d->reject();
        return true;
    };
    construct();
    QCOMPARE(answers->loginDialogsSeen, 1);
    QVERIFY(!window->isLoggedIn());

    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    watchdog.start(10000);
    QCOMPARE(QCoreApplication::exec(), 0);
}

ORVANTIS_TEST_MAIN(BootstrapTest)
#include "tst_bootstrap.moc"
