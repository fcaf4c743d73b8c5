// The session list: the session table, its paging, sorting and filtering, and
// the reactions to sessions appearing, going offline, closing and being deleted.

#include "orvantis.h"
#include "ui_orvantis.h"

#include <QClipboard>
#include <QDebug>
#include <QGuiApplication>
#include <QJsonObject>
#include <QMenu>
#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "widgets/notifysound.h"
#include "widgets/sessionlistitem.h"
#include "workspace/messagestore.h"
#include "workspace/sessionlistview.h"
#include "workspace/sessionordering.h"

namespace {

QScrollArea *enclosingScrollArea(QWidget *widget)
{
    for (QWidget *w = widget; w; w = w->parentWidget()) {
        if (auto *area = qobject_cast<QScrollArea *>(w))
            return area;
    }
    return nullptr;
}

QString sessionCountHtml(int count)
{
    return QStringLiteral("<span style='font-size:12px;color:#8b93a5;'>%1个会话</span>").arg(count);
}

} // namespace

void orvantis::setupSessionList()
{
    QWidget *container = ui->sessionListWidget;

    // The list places its rows itself; nothing of the designer layout stays in it.
    while (QLayoutItem *item = ui->sessionListLayout->takeAt(0))
        delete item;

    // One style sheet for every row instead of one per row: restyling a
    // widget tree is the costly part of creating a row.
    container->setStyleSheet(container->styleSheet() + SessionListItem::sharedStyleSheet());

    QScrollArea *area = container->findChild<QScrollArea *>();
    if (!area)
        area = enclosingScrollArea(container->parentWidget());
    sessionScrollArea = area;
    if (!area) {
        qDebug() << "[SessionList] 未找到滚动区域，分页加载不可用";
    } else {
        qDebug() << "[SessionList] 找到滚动区域:" << area->objectName();
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        // The list view watches the bar and says when its end is near.
        if (area->verticalScrollBar()) {
            qDebug() << "[SessionList] 已连接滚动监听";
        } else {
            qDebug() << "[SessionList] 滚动区域没有垂直滚动条";
        }
    }

    sessionListView = new SessionListView(
        container, area, [this](int id) { return findSession(id); }, this);
    connect(sessionListView, &SessionListView::rowClicked, this, &orvantis::selectSession);
    connect(sessionListView, &SessionListView::rowRightClicked, this,
            &orvantis::onSessionItemRightClicked);
    connect(sessionListView, &SessionListView::nearEnd, this, &orvantis::onSessionListScrolled);

    // Window-wide keys (the default context), so they work from the editor
    // as well as the list.
    const auto addShortcut = [this](const QKeySequence &keys, auto slot) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, slot);
    };
    addShortcut(QKeySequence::Find, [this] {
        ui->searchEdit->setFocus(Qt::ShortcutFocusReason);
        ui->searchEdit->selectAll();
    });
    addShortcut(QKeySequence(Qt::CTRL | Qt::Key_Up), [this] { openAdjacentSession(-1); });
    addShortcut(QKeySequence(Qt::CTRL | Qt::Key_Down), [this] { openAdjacentSession(1); });
}

void orvantis::openAdjacentSession(int step)
{
    const QList<int> &order = sessionListView->order();
    if (order.isEmpty())
        return;
    const int at = order.indexOf(currentSessionId);
    // With nothing open, Down starts at the top and Up at the bottom.
    const int next = at < 0 ? (step > 0 ? 0 : order.size() - 1) : at + step;
    if (next < 0 || next >= order.size())
        return;
    selectSession(order.at(next));
    sessionListView->ensureVisible(order.at(next));
    // Opened from the keyboard, the agent's next keys are the answer.
    ui->messageEdit->setFocus(Qt::ShortcutFocusReason);
}

const ChatSession *orvantis::findSession(int sessionId) const
{
    const auto it = sessionMap.constFind(sessionId);
    return it == sessionMap.constEnd() ? nullptr : &it.value();
}

bool orvantis::patchSession(int sessionId, const std::function<void(ChatSession &)> &change)
{
    auto it = sessionMap.find(sessionId);
    if (it == sessionMap.end())
        return false;
    change(it.value());
    for (ChatSession &listed : sessions) {
        if (listed.id == sessionId) {
            listed = it.value();
            break;
        }
    }
    return true;
}

bool orvantis::addSession(const ChatSession &session, bool atFront)
{
    if (session.id < 1 || sessionMap.contains(session.id))
        return false;
    if (atFront)
        sessions.prepend(session);
    else
        sessions.append(session);
    sessionMap.insert(session.id, session);
    return true;
}

void orvantis::dropSession(int sessionId)
{
    sessions.removeIf([sessionId](const ChatSession &s) { return s.id == sessionId; });
    sessionMap.remove(sessionId);
}

void orvantis::clearSessions()
{
    sessions.clear();
    sessionMap.clear();
}

QList<int> orvantis::visibleSessionOrder() const
{
    return sessionListView ? sessionListView->order() : QList<int>();
}

void orvantis::loadSessionsPage(int page, bool append, int attempt)
{
    const bool replacing = page == 1 && !append;
    const int load = ++pageLoads;
    if (replacing) {
        hasMore = true;
        // A fresh load supersedes whatever page was still on its way. What is
        // listed stays, in the table and on screen, until page 1 is in, and
        // no later page is asked for before it.
        if (pageRequest)
            pageRequest->abandon();
        loadingSessions = true;
    }
    currentPage = page;
    pageRequest = apiClient->sendGetRequest(QStringLiteral("/chat/channel-sessions"),
                                            {{QStringLiteral("page"), QString::number(page)},
                                             {QStringLiteral("limit"), QString::number(pageSize)}});
    connect(pageRequest, &ApiRequest::failed, this, [this, page, replacing, attempt, load] {
        if (replacing) {
            // Page 1 again, later, unless another load came first: the newest
            // sessions are on it.
            const int delay = qMin(2000 << qMin(attempt, 4), 30000);
            qDebug() << "[SessionList] 第一页刷新失败，" << delay << "ms 后重试";
            QTimer::singleShot(delay, signInScope, [this, attempt, load] {
                if (load == pageLoads)
                    loadSessionsPage(1, false, attempt + 1);
            });
            return;
        }
        // Only this page's own failure unblocks paging: the next scroll asks
        // for the same page again.
        qDebug() << "[SessionList] 分页请求失败，允许重试: page=" << page;
        loadingSessions = false;
        currentPage = qMax(1, page - 1);
    });
}

void orvantis::onSessionListScrolled()
{
    if (loadingSessions || !hasMore)
        return;
    loadingSessions = true;
    loadSessionsPage(currentPage + 1, true);
}

void orvantis::onSessionsReceived(const QList<ChatSession> &list, int total, bool more)
{
    if (std::exchange(catchUpReplyNext, false)) {
        applyCatchUpPage(list);
        return;
    }
    hasMore = more;
    loadingSessions = false;
    // Page 1 replaces the table; an empty one still means an empty channel.
    if (currentPage == 1)
        clearSessions();
    if (list.isEmpty()) {
        if (currentPage == 1) {
            ui->sessionCountLabel->setText(sessionCountHtml(total));
            rebuildSessionList();
        }
        return;
    }

    // An entry without an id can be neither opened nor addressed by any later
    // notice; addSession skips it like a duplicate.
    // A listed visitor with unread messages waits since the newest of them,
    // as far as the listing tells; the history, once loaded, tells exactly.
    for (ChatSession session : list) {
        if (session.online && session.unreadCount > 0) {
            const QDateTime last = QDateTime::fromString(session.lastTime, Qt::ISODate);
            session.waitingSince = last.isValid() ? qMin(last, QDateTime::currentDateTime())
                                                  : QDateTime::currentDateTime();
        }
        addSession(session, false);
    }

    ui->sessionCountLabel->setText(sessionCountHtml(total));
    ui->statusLabel->setText(QStringLiteral("已连接渠道，共 %1 个会话").arg(total));
    rebuildSessionList();
}

void orvantis::rebuildSessionList()
{
    const QList<int> indexes = sortedVisibleIndexes(sessions, ui->searchEdit->text());
    QList<int> ids;
    ids.reserve(indexes.size());
    for (int index : indexes)
        ids.append(sessions.at(index).id);
    if (sessionListView)
        sessionListView->setOrder(ids, currentSessionId);
    updateTrayBadge();
}

void orvantis::selectSession(int sessionId)
{
    if (sessionId < 1)
        return;
    if (sessionId == currentSessionId) {
        qDebug() << "[UI] 重复选择同一会话: sessionId=" << sessionId;
        clearCurrentUnread();
        return;
    }

    qDebug() << "[UI] 切换会话: old=" << currentSessionId << "new=" << sessionId;
    showDraft(sessionId);
    currentSessionId = sessionId;
    stopReminders(sessionId); // opened: the agent has seen who waits

    if (const ChatSession *known = findSession(sessionId)) {
        qDebug() << "[UI] 清除未读数: sessionId=" << sessionId << "原未读=" << known->unreadCount;
        patchSession(sessionId, [](ChatSession &s) { s.unreadCount = 0; });
        const ChatSession copy = *findSession(sessionId);

        updateChatHeader(copy);
        ui->remarkEdit->setText(copy.remark);
        showStoredMessages(sessionId);
        apiClient->getMessages(sessionId, QString());
        markSessionRead(sessionId);
        rebuildSessionList();
        sendJoinSession(sessionId);
        updateSendButtonState();
        return;
    }

    qDebug() << "[UI] 会话数据未找到: sessionId=" << sessionId << "，尝试从 API 获取";
    apiClient->sendGetRequest(QStringLiteral("/chat/session-info"),
                              {{QStringLiteral("session_id"), QString::number(sessionId)}});
    updateChatHeader(ChatSession());
    // Nothing of the session shown before may be saved under this one.
    ui->remarkEdit->clear();
    showStoredMessages(sessionId);
    apiClient->getMessages(sessionId, QString());
    sendJoinSession(sessionId);
}

void orvantis::onSessionItemRightClicked(SessionListItem *item)
{
    if (!item)
        return;
    // Read now: the row may show another session once the menu's loop has run.
    const int id = item->sessionId();
    const ChatSession *session = findSession(id);
    if (!session || session->online || !session->lastMessage.isEmpty())
        return;

    // The menu and the question run without nested loops: whatever happens to
    // the row or the session meanwhile, nothing is left pointing at it.
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    ownBySignIn(menu);
    menu->setStyleSheet(QStringLiteral(
        "QMenu { background-color: rgba(255, 255, 255, 250); border: 1px solid rgba(150, 160, "
        "190, 70); border-radius: 10px; padding: 6px; }QMenu::item { padding: 7px 22px; "
        "border-radius: 6px; font-size: 12px; color: #ef4757; }QMenu::item:selected { "
        "background-color: rgba(239, 71, 87, 0.12); }"));
    QAction *deleteAction = menu->addAction(QStringLiteral("删除会话"));
    // Answered only for the sign-in that asked: its end closes both unanswered.
    connect(deleteAction, &QAction::triggered, signInScope, [this, id] {
        auto *box = new QMessageBox(QMessageBox::Question, QStringLiteral("确认删除"),
                                    QStringLiteral("确定要删除该空会话吗？"),
                                    QMessageBox::Yes | QMessageBox::No, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        ownBySignIn(box);
        connect(box, &QMessageBox::finished, signInScope, [this, box, id] {
            if (box->result() != QMessageBox::Yes || !loggedIn)
                return;
            qDebug() << "[API] 删除会话: sessionId=" << id;
            apiClient->sendPostRequest(QStringLiteral("/chat/delete-session"),
                                       QJsonObject {{QStringLiteral("session_id"), id}});
        });
        box->open();
    });
    menu->popup(item->mapToGlobal(QPoint(item->width(), 0)));
}

void orvantis::onNewSession(const QVariantMap &sessionData)
{
    const int id = sessionData.value(QStringLiteral("session_id")).toInt();
    if (id < 1)
        return;
    qDebug() << "[WSS] 新会话通知: sessionId=" << id
             << "hasVisitorName=" << sessionData.contains(QStringLiteral("visitor_name"));

    const bool known = patchSession(id, [](ChatSession &s) {
        s.online = true;
        s.status = QStringLiteral("online");
    });
    if (known) {
        qDebug() << "[WSS] 访客重连，更新为在线状态: sessionId=" << id;
        sessionListView->refresh(id);
        if (id == currentSessionId)
            updateChatHeader(*findSession(id));
        rebuildSessionList();
    }

    if (!sessionData.contains(QStringLiteral("visitor_name"))
        && !sessionData.contains(QStringLiteral("visitor_id"))) {
        apiClient->sendGetRequest(QStringLiteral("/chat/session-info"),
                                  {{QStringLiteral("session_id"), QString::number(id)}});
        if (currentSessionId <= 0)
            sendJoinSession(id);
        return;
    }

    if (!known) {
        ChatSession session = ChatSession::fromMap(sessionData);
        if (session.id < 1)
            session.id = id;
        if (addSession(session, true)) {
            const QString name = session.displayName();
            qDebug() << "[WSS] 接管会话直接入列: sessionId=" << session.id << "name=" << name;
            rebuildSessionList();
            NotifySound::instance()->play(NotifySound::Event::NewVisitor);
            notifyMessage(QStringLiteral("新客户接入"), QStringLiteral("%1 正在等待接待").arg(name),
                          session.id);
            ui->statusLabel->setText(QStringLiteral("新客户接入: %1").arg(name));
        }
    }

    if (currentSessionId <= 0)
        sendJoinSession(id);
}

void orvantis::onSessionInfoReceived(const ChatSession &session)
{
    if (!addSession(session, true))
        return;
    rebuildSessionList();
    // The record of a session the agent opened is no news of a visitor.
    if (session.id == currentSessionId) {
        updateChatHeader(session);
        if (ui->remarkEdit->text().isEmpty())
            ui->remarkEdit->setText(session.remark);
        return;
    }

    const QString name = session.displayName();
    NotifySound::instance()->play(NotifySound::Event::NewVisitor);
    notifyMessage(QStringLiteral("新客户接入"), QStringLiteral("%1 正在等待接待").arg(name),
                  session.id);
    ui->statusLabel->setText(QStringLiteral("新客户接入: %1").arg(name));

    if (currentSessionId <= 0)
        sendJoinSession(session.id);
}

void orvantis::onSessionOffline(int sessionId)
{
    const bool known = patchSession(sessionId, [](ChatSession &s) {
        s.online = false;
        s.status = QStringLiteral("offline");
    });
    if (!known)
        return;
    // Only the dot changes: the list is not re-sorted until its next rebuild.
    sessionListView->refresh(sessionId);
    if (sessionId == currentSessionId)
        updateChatHeader(*findSession(sessionId));
    else
        qDebug() << "[WSS] 非当前会话，保持当前对话焦点不变";
}

void orvantis::onSessionClosed(int sessionId)
{
    forgetSession(sessionId, QStringLiteral("会话已关闭"));
    rebuildSessionList();
}

void orvantis::forgetSession(int sessionId, const QString &reason)
{
    messageStore->dropSession(sessionId, reason); // tells the agent, by the session's name
    dropSession(sessionId);
    if (sessionId == currentSessionId)
        showNoSession();
    dropDraft(sessionId);
}

void orvantis::onSessionDeleted(int sessionId)
{
    qDebug() << "[UI] 会话已删除: sessionId=" << sessionId;
    // The row leaves the screen now. It is recycled rather than destroyed, so
    // a row whose own signal is still on the stack is never deleted under it.
    sessionListView->discardRow(sessionId);
    forgetSession(sessionId, QStringLiteral("会话已删除"));
    ui->statusLabel->setText(QStringLiteral("会话已删除"));
    rebuildSessionList();
}

void orvantis::showIpContextMenu(const QPoint &pos)
{
    // The address comes from the session record, never from the label's markup.
    const ChatSession *session = currentSessionId > 0 ? findSession(currentSessionId) : nullptr;
    const QString ip = session ? session->ipAddress.trimmed() : QString();
    if (ip.isEmpty() || ip == QLatin1String("-"))
        return;

    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    ownBySignIn(menu);
    QAction *copyAction = menu->addAction(QStringLiteral("复制IP地址"));
    connect(copyAction, &QAction::triggered, this, [this, ip] {
        QGuiApplication::clipboard()->setText(ip);
        ui->statusLabel->setText(QStringLiteral("已复制IP: %1").arg(ip));
    });
    menu->popup(ui->ipValueLabel->mapToGlobal(pos));
}
