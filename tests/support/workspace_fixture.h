#pragma once

// The real main window against an in-process stand-in service, shared by the
// workspace tests. What the agent sees is read back from the widgets.

#include "testaccess.h"
#include "testsupport.h"

#include "devserver/server.h"
#include "net/apiclient.h"
#include "net/wssclient.h"
#include "shell/logindialog.h"
#include "widgets/chatbubble.h"
#include "widgets/notifysound.h"
#include "widgets/sessionlistitem.h"

#include <QtWidgets>
#include <functional>
#include <memory>

using Access = OrvantisTestAccess;

namespace Fixture {

// Modal dialogs block the code that opens them (the window's constructor
// included), so they are answered from a timer. A handler returns true once
// it has answered; unset handlers reject, other dialogs are left alone unless
// onOther is set. A dialog still open after 10 s is rejected so that a
// failing test cannot hang.
class Answerer : public QObject
{
public:
    std::function<bool(LoginDialog *)> onLogin;
    std::function<bool(QMessageBox *)> onBox;
    std::function<bool(QDialog *)> onOther;
    int loginDialogsSeen = 0;

    Answerer()
    {
        m_timer.callOnTimeout(this, &Answerer::poll);
        m_timer.start(20);
    }

private:
    // Marks live on the dialog itself: a later dialog at the same address is new.
    void poll()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *dialog = qobject_cast<QDialog *>(w);
            auto *login = qobject_cast<LoginDialog *>(w);
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!dialog || !w->isVisible() || (!login && !box && !onOther))
                continue;
            if (!w->property("seenAt").isValid()) {
                w->setProperty("seenAt", QDateTime::currentMSecsSinceEpoch());
                loginDialogsSeen += login != nullptr;
            }
            if (QDateTime::currentMSecsSinceEpoch() - w->property("seenAt").toLongLong() > 10000)
                dialog->reject();
            else if (!w->property("answered").toBool())
                w->setProperty("answered",
                               login     ? (onLogin ? onLogin(login) : (login->reject(), 1))
                                   : box ? (onBox ? onBox(box) : (box->reject(), 1))
                                         : onOther(dialog));
        }
    }

    QTimer m_timer;
};

inline bool signIn(LoginDialog *dialog, const QString &account, const QString &password)
{
    dialog->findChild<QLineEdit *>("emailEdit")->setText(account);
    dialog->findChild<QLineEdit *>("passwordEdit")->setText(password);
    dialog->findChild<QPushButton *>("loginBtn")->click();
    return true;
}

inline QString labelText(const QWidget *w, const char *name)
{
    auto *label = w->findChild<QLabel *>(name);
    return label ? label->text() : QString();
}

struct Workspace
{
    DevServer::Server server;
    std::unique_ptr<orvantis> window;

    Workspace()
    {
        server.listen();
        server.clearChannel();
        qputenv("ORVANTIS_API_URL", server.restBaseUrl().toUtf8());
        qputenv("ORVANTIS_WSS_URL", server.wssUrl().toUtf8());
        QSettings("orvantis", "config").clear();
        QSettings().clear(); // drafts, window state, notification switch
    }

    // A session as the service lists it (no IP); `more` adds or overrides fields.
    // Its time is 2026-05-01 08:00 plus `minute` minutes, or empty for a negative minute.
    int add(const QString &name, bool online = true, int unread = 0, int minute = -1,
            const QJsonObject &more = {})
    {
        const QDateTime time = QDateTime(QDate(2026, 5, 1), QTime(8, 0)).addSecs(minute * 60);
        QJsonObject f {{"visitor_name", name},
                       {"status", online ? "online" : "offline"},
                       {"unread_count", unread},
                       {"last_time", minute < 0 ? QString() : time.toString(Qt::ISODate)}};
        for (const QString &key : more.keys())
            f[key] = more[key];
        return server.addSession(f);
    }

    orvantis *w() const { return window.get(); }
    // The popup menu open now (menus run without nested loops).
    static QMenu *openMenu() { return qobject_cast<QMenu *>(QApplication::activePopupWidget()); }
    static int plays() { return NotifySound::instance()->playCount(); }
    static int plays(NotifySound::Event event) { return NotifySound::instance()->playCount(event); }

    // Resumes with a stored token and waits until the first page is in and
    // the channel subscription is confirmed.
    bool start(int agentId = 12)
    {
        QSettings("orvantis", "config").setValue("token", server.issueToken(agentId));
        window.reset(new orvantis);
        return QTest::qWaitFor(
            [this] {
                return window->isLoggedIn() && !window->api()->pendingRequestCount()
                    && text("statusLabel").startsWith("已订阅频道");
            },
            10000);
    }

    bool idle() const
    {
        // Generous: under the sanitizers a 100,000-character history takes its time.
        return QTest::qWaitFor([this] { return !w()->api()->pendingRequestCount(); }, 15000);
    }

    // Opens a session as a click on its row would and waits for its history.
    bool open(int id)
    {
        Access::select(w(), id);
        return idle();
    }

    QString text(const char *label) const { return labelText(w(), label); }
    QLineEdit *line(const char *name) const { return w()->findChild<QLineEdit *>(name); }
    SessionListItem *row(int id) const { return Access::row(w(), id); }

    // A row as the agent reads it: name|preview|time|unread badge (or -)|dot.
    QString rowOf(int id) const
    {
        SessionListItem *r = row(id);
        if (!r)
            return "(no row)";
        auto *badge = r->findChild<QLabel *>("unreadBadge");
        return QStringList {labelText(r, "nameLabel"), labelText(r, "lastMessageLabel"),
                            labelText(r, "timeLabel"), badge->isVisibleTo(r) ? badge->text() : "-",
                            r->isOnline() ? "on" : "off"}
            .join('|');
    }
    QString cell(int id, int column) const { return rowOf(id).section('|', column, column); }

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
            out << (b->isFromSelf() ? "me:" : "") + b->contentLabel()->text();
        return out;
    }

    int requests(const QString &path, const QString &queryPart = {}) const
    {
        int n = 0;
        for (const auto &r : server.requestsTo(path))
            n += r.rawQuery.contains(queryPart);
        return n;
    }

    int frames(const QString &part) const { return server.receivedFrames().filter(part).size(); }
};

} // namespace Fixture
