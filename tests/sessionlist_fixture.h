#pragma once

// A signed-in main window against an in-process stand-in service, shared by
// the session list and conversation tests.

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

#include "devserver/standinserver.h"
#include "net/apiclient.h"
#include "net/wssclient.h"
#include "widgets/chatbubble.h"
#include "widgets/sessionlistitem.h"
#include "workspace/orvantis.h"

class OrvantisTestAccess
{
public:
    static QMap<int, SessionListItem *> rows(const orvantis *w) { return w->sessionItems; }
    static const QMap<int, ChatSession> &map(const orvantis *w) { return w->sessionMap; }
    static bool loadingSessions(const orvantis *w) { return w->loadingSessions; }
    static bool hasMore(const orvantis *w) { return w->hasMore; }
    static QScrollArea *listArea(const orvantis *w) { return w->sessionScrollArea; }
    static void rebuild(orvantis *w) { w->rebuildSessionList(); }
    static void loadPage(orvantis *w, int page) { w->loadSessionsPage(page, false); }
    static void select(orvantis *w, int id) { w->selectSession(id); }
    static void rightClick(orvantis *w, SessionListItem *row) { w->onSessionItemRightClicked(row); }
    static void ipMenu(orvantis *w) { w->showIpContextMenu(QPoint(2, 2)); }
    static void recallClicked(orvantis *w, const QString &uuid) { w->onRecallClicked(uuid); }
    static void lightbox(orvantis *w, const QString &url) { w->showImageLightbox(url); }
    static void saveRemark(orvantis *w) { w->saveRemark(); }
};

namespace Fixture {

inline QString labelText(QWidget *w, const char *name)
{
    auto *label = w->findChild<QLabel *>(QLatin1String(name));
    return label ? label->text() : QString();
}

// Runs `act` on the first widget `find` returns within 5 s, polling from the
// event loop; menus and message boxes block in a nested loop.
inline void whenShown(std::function<QWidget *()> find, std::function<void(QWidget *)> act)
{
    auto *timer = new QTimer;
    auto *tries = new int(250);
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget *w = find();
        if (!w && --*tries > 0)
            return;
        timer->deleteLater();
        timer->stop();
        delete tries;
        if (w)
            act(w);
    });
    timer->start(20);
}

// Chooses the first entry of the next popup menu; `seen` counts menus shown.
inline void chooseFirstMenuEntry(int *seen = nullptr)
{
    whenShown([] { return qobject_cast<QMenu *>(QApplication::activePopupWidget()); },
              [seen](QWidget *menu) {
                  if (seen)
                      ++*seen;
                  QTest::keyClick(menu, Qt::Key_Down);
                  QTest::keyClick(menu, Qt::Key_Return);
              });
}

inline void answerMessageBox(QMessageBox::StandardButton button, QString *text = nullptr)
{
    whenShown([] { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()); },
              [button, text](QWidget *w) {
                  auto *box = static_cast<QMessageBox *>(w);
                  if (text)
                      *text = box->windowTitle() + QLatin1Char('|') + box->text();
                  box->button(button)->click();
              });
}

// Session fields as the service sends them.
inline QJsonObject sessionFields(const QString &name, bool online, int unread,
                                 const QString &lastTime, const QString &lastMsg = QString())
{
    QJsonObject f{{QStringLiteral("visitor_name"), name},
                  {QStringLiteral("status"), online ? QStringLiteral("online") : QStringLiteral("offline")},
                  {QStringLiteral("unread_count"), unread},
                  {QStringLiteral("ip_address"), QStringLiteral("10.0.0.1")},
                  {QStringLiteral("last_time"), lastTime}};
    if (!lastMsg.isEmpty())
        f.insert(QStringLiteral("last_msg"), lastMsg);
    return f;
}

inline QByteArray pageBody(const QJsonArray &list)
{
    const QJsonObject data{{QStringLiteral("list"), list},
                           {QStringLiteral("total"), list.size()},
                           {QStringLiteral("has_more"), false}};
    return QJsonDocument(QJsonObject{{QStringLiteral("code"), 200}, {QStringLiteral("data"), data}})
            .toJson(QJsonDocument::Compact);
}

struct LiveWorkspace
{
    StandIn::StandInServer server;
    std::unique_ptr<orvantis> window;

    LiveWorkspace()
    {
        server.listen();
        server.clearChannel();
    }

    orvantis *w() const { return window.get(); }

    // Resumes with a stored token and waits until the first page is in and
    // the channel subscription is confirmed.
    bool start()
    {
        qputenv("ORVANTIS_API_URL", server.restBaseUrl().toUtf8());
        qputenv("ORVANTIS_WSS_URL", server.wssUrl().toUtf8());
        QSettings(QStringLiteral("orvantis"), QStringLiteral("config"))
                .setValue(QStringLiteral("token"), server.issueToken(12));
        window.reset(new orvantis);
        return QTest::qWaitFor(
                [this] {
                    return window->isLoggedIn() && window->api()->pendingRequestCount() == 0
                            && !server.requestsTo(QStringLiteral("/chat/channel-sessions")).isEmpty()
                            && labelText(w(), "statusLabel").startsWith(QStringLiteral("已订阅频道"));
                },
                10000);
    }

    bool idle()
    {
        return QTest::qWaitFor([this] { return window->api()->pendingRequestCount() == 0; }, 5000);
    }

    int countRequests(const QString &path, const QString &queryPart = QString()) const
    {
        int n = 0;
        for (const auto &r : server.requestsTo(path))
            n += r.rawQuery.contains(queryPart);
        return n;
    }

    int countFrames(const QString &part) const
    {
        return int(server.receivedFrames().filter(part).size());
    }

    QScrollBar *listBar() const { return OrvantisTestAccess::listArea(w())->verticalScrollBar(); }
    SessionListItem *row(int id) const { return OrvantisTestAccess::rows(w()).value(id); }
};

inline QString rowName(SessionListItem *row)
{
    auto *label = row ? row->findChild<QLabel *>(QStringLiteral("nameLabel")) : nullptr;
    return label ? label->text() : QString();
}

} // namespace Fixture
