#pragma once

// The real main window against an in-process stand-in service, shared by the
// workspace tests. What the agent sees is read back from the widgets.

#include "testaccess.h"
#include "testsupport.h"

#include "devserver/standinserver.h"
#include "net/apiclient.h"
#include "net/wssclient.h"
#include "shell/logindialog.h"
#include "widgets/chatbubble.h"
#include "widgets/sessionlistitem.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTimer>
#include <functional>
#include <memory>

using Access = OrvantisTestAccess;

namespace Fixture {

// Modal dialogs block the code that opens them (the window's constructor
// included), so they are answered from a timer. A handler returns true once
// it has answered; unset handlers reject. A dialog still open after 10 s is
// rejected so that a failing test cannot hang.
class Answerer : public QObject
{
public:
    std::function<bool(LoginDialog *)> onLogin;
    std::function<bool(QMessageBox *)> onBox;
    std::function<bool(QDialog *)> onOther; // unset: other dialogs are left alone
    int loginDialogsSeen = 0;

    Answerer()
    {
        m_timer.callOnTimeout(this, &Answerer::poll);
        m_timer.start(20);
    }

private:
    struct Seen
    {
        QPointer<QWidget> dialog;
        QElapsedTimer since;
        bool answered = false;
    };

    void poll()
    {
        // A closed dialog is forgotten: the next one may reuse its address.
        m_seen.removeIf([](const Seen &s) { return !s.dialog || !s.dialog->isVisible(); });
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *login = qobject_cast<LoginDialog *>(w);
            auto *box = qobject_cast<QMessageBox *>(w);
            auto *other = qobject_cast<QDialog *>(w);
            if (!w->isVisible() || !other || (!login && !box && !onOther))
                continue;
            auto seen = std::find_if(m_seen.begin(), m_seen.end(),
                                     [w](const Seen &s) { return s.dialog == w; });
            if (seen == m_seen.end()) {
                loginDialogsSeen += login != nullptr;
                seen = m_seen.insert(m_seen.end(), {w, {}, false});
                seen->since.start();
            }
            if (seen->since.elapsed() > 10000)
                static_cast<QDialog *>(w)->reject();
            else if (!seen->answered && login)
                seen->answered = onLogin ? onLogin(login) : (login->reject(), true);
            else if (!seen->answered && box)
                seen->answered = onBox ? onBox(box) : (box->reject(), true);
            else if (!seen->answered)
                seen->answered = onOther(other);
        }
    }

    QTimer m_timer;
    QList<Seen> m_seen;
};

inline bool signIn(LoginDialog *dialog, const QString &account, const QString &password)
{
    dialog->findChild<QLineEdit *>(QStringLiteral("emailEdit"))->setText(account);
    dialog->findChild<QLineEdit *>(QStringLiteral("passwordEdit"))->setText(password);
    dialog->findChild<QPushButton *>(QStringLiteral("loginBtn"))->click();
    return true;
}

inline QString labelText(const QWidget *w, const char *name)
{
    auto *label = w->findChild<QLabel *>(QLatin1String(name));
    return label ? label->text() : QString();
}

// The popup menu open now (menus run without nested loops).
inline QMenu *openMenu()
{
    return qobject_cast<QMenu *>(QApplication::activePopupWidget());
}

// A row as the agent reads it: name|preview|time|unread badge (or -)|dot.
inline QString rowText(const SessionListItem *row)
{
    if (!row)
        return QStringLiteral("(no row)");
    auto *badge = row->findChild<QLabel *>(QStringLiteral("unreadBadge"));
    return QStringList {labelText(row, "nameLabel"), labelText(row, "lastMessageLabel"),
                        labelText(row, "timeLabel"),
                        badge->isVisibleTo(row) ? badge->text() : QStringLiteral("-"),
                        row->isOnline() ? QStringLiteral("on") : QStringLiteral("off")}
        .join(QLatin1Char('|'));
}

inline QJsonObject sessionFields(const QString &name, bool online = true, int unread = 0,
                                 const QString &lastTime = {}, const QString &lastMsg = {})
{
    QJsonObject f {{QStringLiteral("visitor_name"), name},
                   {QStringLiteral("status"), online ? "online" : "offline"},
                   {QStringLiteral("unread_count"), unread},
                   {QStringLiteral("ip_address"), QStringLiteral("10.0.0.1")},
                   {QStringLiteral("last_time"), lastTime}};
    if (!lastMsg.isEmpty())
        f.insert(QStringLiteral("last_msg"), lastMsg);
    return f;
}

inline QJsonObject message(const QString &fromType, const QString &content, const QString &uuid,
                           const QString &fromName = {})
{
    return {{QStringLiteral("from_type"), fromType},
            {QStringLiteral("content"), content},
            {QStringLiteral("from_name"), fromName},
            {QStringLiteral("msg_uuid"), uuid}};
}

struct Workspace
{
    StandIn::StandInServer server;
    std::unique_ptr<orvantis> window;

    Workspace()
    {
        server.listen();
        server.clearChannel();
        qputenv("ORVANTIS_API_URL", server.restBaseUrl().toUtf8());
        qputenv("ORVANTIS_WSS_URL", server.wssUrl().toUtf8());
        QSettings(QStringLiteral("orvantis"), QStringLiteral("config")).clear();
        QSettings().clear(); // drafts, window state, notification switch
    }

    orvantis *w() const { return window.get(); }

    // Resumes with a stored token and waits until the first page is in and
    // the channel subscription is confirmed.
    bool start(int agentId = 12)
    {
        QSettings(QStringLiteral("orvantis"), QStringLiteral("config"))
            .setValue(QStringLiteral("token"), server.issueToken(agentId));
        window.reset(new orvantis);
        return QTest::qWaitFor(
            [this] {
                return window->isLoggedIn() && idleNow()
                    && text("statusLabel").startsWith(QStringLiteral("已订阅频道"));
            },
            10000);
    }

    bool idleNow() const { return window->api()->pendingRequestCount() == 0; }
    bool idle() const
    {
        return QTest::qWaitFor([this] { return idleNow(); }, 5000);
    }

    // Opens a session as a click on its row would and waits for its history.
    bool open(int id)
    {
        Access::select(w(), id);
        return idle();
    }

    QString text(const char *label) const { return labelText(w(), label); }
    SessionListItem *row(int id) const { return Access::row(w(), id); }
    QString rowOf(int id) const { return rowText(row(id)); }
    QScrollBar *listBar() const { return Access::listArea(w())->verticalScrollBar(); }

    // Names of the listed sessions, top to bottom.
    QStringList names() const
    {
        QStringList out;
        for (int id : w()->visibleSessionOrder())
            out << Access::map(w()).value(id).displayName();
        return out;
    }

    QStringList bubbles() const
    {
        QStringList out;
        for (ChatBubble *b : w()->bubbles())
            out << (b->isFromSelf() ? QStringLiteral("me:") : QString())
                    + b->contentLabel()->text();
        return out;
    }

    int requests(const QString &path, const QString &queryPart = {}) const
    {
        int n = 0;
        for (const auto &r : server.requestsTo(path))
            n += r.rawQuery.contains(queryPart);
        return n;
    }

    int frames(const QString &part) const
    {
        return int(server.receivedFrames().filter(part).size());
    }
};

} // namespace Fixture
