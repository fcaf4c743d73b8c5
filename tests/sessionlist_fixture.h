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
    static int currentPage(const orvantis *w) { return w->currentPage; }
    static int joinedSessionId(const orvantis *w) { return w->joinedSessionId; }
    static QScrollArea *listArea(const orvantis *w) { return w->sessionScrollArea; }
    static void rebuild(orvantis *w) { w->rebuildSessionList(); }
    static void loadPage(orvantis *w, int page, bool append) { w->loadSessionsPage(page, append); }
    static void select(orvantis *w, int id) { w->selectSession(id); }
    static void rightClick(orvantis *w, SessionListItem *row) { w->onSessionItemRightClicked(row); }
    static void ipMenu(orvantis *w) { w->showIpContextMenu(QPoint(2, 2)); }
    static void recallClicked(orvantis *w, const QString &uuid) { w->onRecallClicked(uuid); }
    static void lightbox(orvantis *w, const QString &url) { w->showImageLightbox(url); }
    static void saveRemark(orvantis *w) { w->saveRemark(); }
    static void clearCurrentUnread(orvantis *w) { w->clearCurrentUnread(); }
    static void appendBubble(orvantis *w, const ChatMessage &m) { w->appendChatBubble(m); }
    static void setUnread(orvantis *w, int id, int count)
    {
        w->sessionMap[id].unreadCount = count;
        for (ChatSession &s : w->sessions) {
            if (s.id == id)
                s.unreadCount = count;
        }
    }
};

namespace Fixture {

template<typename T>
T *child(QWidget *w, const char *name)
{
    return w->findChild<T *>(QLatin1String(name));
}

inline QString labelText(QWidget *w, const char *name)
{
    auto *label = child<QLabel>(w, name);
    return label ? label->text() : QString();
}

// Runs `act` on the first widget `find` returns, polling from the event loop;
// used to answer menus and message boxes that block in a nested loop.
inline void whenShown(std::function<QWidget *()> find, std::function<void(QWidget *)> act)
{
    auto *timer = new QTimer;
    auto *elapsed = new QElapsedTimer;
    elapsed->start();
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, find, act] {
        if (QWidget *w = find()) {
            timer->stop();
            timer->deleteLater();
            delete elapsed;
            act(w);
        } else if (elapsed->elapsed() > 5000) {
            timer->stop();
            timer->deleteLater();
            delete elapsed;
        }
    });
    timer->start();
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

inline void answerMessageBox(QMessageBox::StandardButton button, QString *text = nullptr,
                             QString *title = nullptr)
{
    whenShown([] { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()); },
              [button, text, title](QWidget *w) {
                  auto *box = static_cast<QMessageBox *>(w);
                  if (text)
                      *text = box->text();
                  if (title)
                      *title = box->windowTitle();
                  if (QAbstractButton *b = box->button(button))
                      b->click();
              });
}

// Session fields as the service sends them.
inline QJsonObject sessionFields(const QString &name, bool online, int unread,
                                 const QString &lastTime, const QString &lastMsg = QString())
{
    QJsonObject f{{QStringLiteral("visitor_name"), name},
                  {QStringLiteral("status"), online ? QStringLiteral("online")
                                                    : QStringLiteral("offline")},
                  {QStringLiteral("unread_count"), unread},
                  {QStringLiteral("ip_address"), QStringLiteral("10.0.0.1")}};
    f.insert(QStringLiteral("last_time"), lastTime);
    if (!lastMsg.isEmpty())
        f.insert(QStringLiteral("last_msg"), lastMsg);
    return f;
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

    // Signs in with a stored token and waits until the first page, the
    // realtime link and the channel join are done.
    bool start()
    {
        qputenv("ORVANTIS_API_URL", server.restBaseUrl().toUtf8());
        qputenv("ORVANTIS_WSS_URL", server.wssUrl().toUtf8());
        {
            QSettings settings(QStringLiteral("orvantis"), QStringLiteral("config"));
            settings.setValue(QStringLiteral("token"), server.issueToken(12));
            settings.sync();
        }
        window.reset(new orvantis);
        const bool ready = QTest::qWaitFor(
                [this] {
                    return window->isLoggedIn() && window->wss()->isAuthenticated()
                            && !server.requestsTo(QStringLiteral("/chat/channel-sessions")).isEmpty()
                            && window->api()->pendingRequestCount() == 0
                            && server.receivedFrames().join(QString()).contains(
                                    QStringLiteral("\"join\""))
                            // the channel subscription is confirmed
                            && Fixture::labelText(window.get(), "statusLabel")
                                       .startsWith(QStringLiteral("已订阅频道"));
                },
                10000);
        if (!ready) {
            qWarning() << "workspace not ready: loggedIn" << window->isLoggedIn() << "authenticated"
                       << window->wss()->isAuthenticated() << "page requests"
                       << server.requestsTo(QStringLiteral("/chat/channel-sessions")).size()
                       << "pending" << window->api()->pendingRequestCount() << "frames"
                       << server.receivedFrames();
        }
        return ready;
    }

    bool idle()
    {
        return QTest::qWaitFor([this] { return window->api()->pendingRequestCount() == 0; }, 5000);
    }

    int countRequests(const QString &path, const QString &queryPart = QString()) const
    {
        int n = 0;
        for (const auto &r : server.requestsTo(path)) {
            if (queryPart.isEmpty() || r.rawQuery.contains(queryPart))
                ++n;
        }
        return n;
    }

    int countFrames(const QString &part) const
    {
        int n = 0;
        for (const QString &f : server.receivedFrames()) {
            if (f.contains(part))
                ++n;
        }
        return n;
    }

    QScrollBar *listBar() const
    {
        QScrollArea *area = OrvantisTestAccess::listArea(window.get());
        return area ? area->verticalScrollBar() : nullptr;
    }
};

inline QString rowName(SessionListItem *row)
{
    auto *label = row ? row->findChild<QLabel *>(QStringLiteral("nameLabel")) : nullptr;
    return label ? label->text() : QString();
}

} // namespace Fixture
