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

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "widgets/notifysound.h"
#include "widgets/sessionlistitem.h"
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

// Removes every entry with `sessionId`; returns whether there was one.
bool removeSessionEntries(QList<ChatSession> &sessions, int sessionId)
{
    return sessions.removeIf([sessionId](const ChatSession &s) { return s.id == sessionId; }) > 0;
}

ChatSession *firstSessionWithId(QList<ChatSession> &sessions, int sessionId)
{
    for (ChatSession &s : sessions) {
        if (s.id == sessionId)
            return &s;
    }
    return nullptr;
}

// Shared by close and delete: the panel goes back to "no session".
void showNoSession(Ui::orvantisClass *ui)
{
    ui->chatNameLabel->setText(QStringLiteral(
        "<span style='font-size:14px;font-weight:bold;color:#2f3441;'>选择一个会话</span>"));
    ui->chatStatusDot->setText(
        QStringLiteral("<span style='font-size:12px;color:#8b93a5;'>● 离线</span>"));
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
        if (QScrollBar *bar = area->verticalScrollBar()) {
            connect(bar, &QScrollBar::valueChanged, this, &orvantis::onSessionListScrolled);
            qDebug() << "[SessionList] 已连接滚动监听";
        } else {
            qDebug() << "[SessionList] 滚动区域没有垂直滚动条";
        }
    }

    sessionListView = new SessionListView(
        container, area, &sessionItems,
        [this](int id) -> const ChatSession * {
            auto it = sessionMap.constFind(id);
            if (it != sessionMap.constEnd())
                return &it.value();
            for (const ChatSession &s : std::as_const(sessions)) {
                if (s.id == id)
                    return &s;
            }
            return nullptr;
        },
        this);
    connect(sessionListView, &SessionListView::rowClicked, this, &orvantis::selectSession);
    connect(sessionListView, &SessionListView::rowRightClicked, this,
            &orvantis::onSessionItemRightClicked);
}

QList<int> orvantis::visibleSessionOrder() const
{
    return sessionListView ? sessionListView->order() : QList<int>();
}

void orvantis::loadSessionsPage(int page, bool append)
{
    if (page == 1 && !append) {
        currentPage = 1;
        hasMore = true;
        // Rows stay on screen until the reply's rebuild.
        sessions.clear();
        sessionMap.clear();
    }
    currentPage = page;
    apiClient->sendGetRequest(QStringLiteral("/chat/channel-sessions"),
                              {{QStringLiteral("page"), QString::number(page)},
                               {QStringLiteral("limit"), QString::number(pageSize)}});
}

void orvantis::onSessionListScrolled()
{
    QScrollArea *area = enclosingScrollArea(ui->sessionListWidget);
    if (!area || !area->verticalScrollBar())
        return;
    const QScrollBar *bar = area->verticalScrollBar();
    if (bar->value() < bar->maximum() - 50 || loadingSessions || !hasMore)
        return;
    loadingSessions = true;
    loadSessionsPage(currentPage + 1, true);
}

void orvantis::onApiErrorForPaging(const QString &error)
{
    Q_UNUSED(error);
    // A failed next page would otherwise block paging for the rest of the
    // sign-in; clearing the flag lets the next scroll ask again.
    if (loadingSessions) {
        loadingSessions = false;
        qDebug() << "[SessionList] 分页请求失败，允许重试: page=" << currentPage;
        // The failed page was not received: the retry asks for the same page.
        if (currentPage > 1)
            --currentPage;
    }
}

void orvantis::onSessionsReceived(const QList<ChatSession> &list, int total, bool more)
{
    hasMore = more;
    loadingSessions = false;
    if (list.isEmpty())
        return;

    for (const ChatSession &session : list) {
        // An entry without an id can be neither opened nor addressed by any
        // later notice; listing it would only show a dead row.
        if (session.id < 1 || sessionMap.contains(session.id))
            continue;
        sessions.append(session);
        sessionMap.insert(session.id, session);
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
    currentSessionId = sessionId;

    auto it = sessionMap.find(sessionId);
    if (it != sessionMap.end()) {
        ChatSession copy = it.value();
        qDebug() << "[UI] 清除未读数: sessionId=" << sessionId << "原未读=" << copy.unreadCount;
        copy.unreadCount = 0;
        it.value() = copy;
        if (ChatSession *entry = firstSessionWithId(sessions, sessionId))
            entry->unreadCount = 0;

        updateChatHeader(copy);
        ui->remarkEdit->setText(copy.remark);
        clearChatBubbles();
        apiClient->getMessages(sessionId, QString());
        apiClient->markRead(sessionId);
        rebuildSessionList();
        sendJoinSession(sessionId);
        updateSendButtonState();
        return;
    }

    qDebug() << "[UI] 会话数据未找到: sessionId=" << sessionId << "，尝试从 API 获取";
    apiClient->sendGetRequest(QStringLiteral("/chat/session-info"),
                              {{QStringLiteral("session_id"), QString::number(sessionId)}});
    updateChatHeader(ChatSession());
    clearChatBubbles();
    apiClient->getMessages(sessionId, QString());
    sendJoinSession(sessionId);
}

void orvantis::onSessionItemRightClicked(SessionListItem *item)
{
    if (!item)
        return;
    // Read now: the row may show another session once the menu's loop has run.
    const int id = item->sessionId();
    const auto it = sessionMap.constFind(id);
    if (it == sessionMap.constEnd() || it->online || !it->lastMessage.isEmpty())
        return;

    QMenu menu(this);
    menu.setStyleSheet(QStringLiteral(
        "QMenu { background-color: rgba(255, 255, 255, 250); border: 1px solid rgba(150, 160, "
        "190, 70); border-radius: 10px; padding: 6px; }QMenu::item { padding: 7px 22px; "
        "border-radius: 6px; font-size: 12px; color: #ef4757; }QMenu::item:selected { "
        "background-color: rgba(239, 71, 87, 0.12); }"));
    QAction *deleteAction = menu.addAction(QStringLiteral("删除会话"));
    const QPoint at = item->mapToGlobal(QPoint(item->width(), 0));
    if (menu.exec(at) != deleteAction)
        return;

    const auto answer = QMessageBox::question(this, QStringLiteral("确认删除"),
                                              QStringLiteral("确定要删除该空会话吗？"),
                                              QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    qDebug() << "[API] 删除会话: sessionId=" << id;
    apiClient->sendPostRequest(QStringLiteral("/chat/delete-session"),
                               QJsonObject {{QStringLiteral("session_id"), id}});
}

void orvantis::onNewSession(const QVariantMap &sessionData)
{
    const int id = sessionData.value(QStringLiteral("session_id")).toInt();
    if (id < 1)
        return;
    qDebug() << "[WSS] 新会话通知: sessionId=" << id
             << "hasVisitorName=" << sessionData.contains(QStringLiteral("visitor_name"));

    const bool known = sessionMap.contains(id);
    if (known) {
        qDebug() << "[WSS] 访客重连，更新为在线状态: sessionId=" << id;
        ChatSession &entry = sessionMap[id];
        entry.online = true;
        entry.status = QStringLiteral("online");
        if (ChatSession *listed = firstSessionWithId(sessions, id)) {
            listed->online = true;
            listed->status = QStringLiteral("online");
        }
        if (SessionListItem *row = sessionItems.value(id))
            row->setOnline(true);
        if (id == currentSessionId)
            updateChatHeader(sessionMap.value(id));
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
        // The notice's own id names the session in the table.
        const int key = session.id;
        if (!sessionMap.contains(key)) {
            const QString name = session.displayName();
            sessions.prepend(session);
            sessionMap.insert(key, session);
            qDebug() << "[WSS] 接管会话直接入列: sessionId=" << key << "name=" << name;
            rebuildSessionList();
            NotifySound::instance()->play();
            notifyMessage(QStringLiteral("新客户接入"), QStringLiteral("%1 正在等待接待").arg(name),
                          key);
            ui->statusLabel->setText(QStringLiteral("新客户接入: %1").arg(name));
        }
    }

    if (currentSessionId <= 0)
        sendJoinSession(id);
}

void orvantis::onSessionInfoReceived(const ChatSession &session)
{
    if (session.id < 1 || sessionMap.contains(session.id))
        return;
    sessions.prepend(session);
    sessionMap.insert(session.id, session);
    rebuildSessionList();

    const QString name = session.displayName();
    NotifySound::instance()->play();
    notifyMessage(QStringLiteral("新客户接入"), QStringLiteral("%1 正在等待接待").arg(name),
                  session.id);
    ui->statusLabel->setText(QStringLiteral("新客户接入: %1").arg(name));

    if (currentSessionId <= 0)
        sendJoinSession(session.id);
}

void orvantis::onSessionOffline(int sessionId)
{
    auto it = sessionMap.find(sessionId);
    if (it == sessionMap.end())
        return;
    it->online = false;
    it->status = QStringLiteral("offline");
    if (ChatSession *listed = firstSessionWithId(sessions, sessionId)) {
        listed->online = false;
        listed->status = QStringLiteral("offline");
    }
    // Only the dot changes: the list is not re-sorted until its next rebuild.
    if (SessionListItem *row = sessionItems.value(sessionId)) {
        row->setOnline(false);
        qDebug() << "[WSS] 更新列表项离线状态: sessionId=" << sessionId;
    }
    if (sessionId == currentSessionId)
        updateChatHeader(sessionMap.value(sessionId));
    else
        qDebug() << "[WSS] 非当前会话，保持当前对话焦点不变";
}

void orvantis::onSessionClosed(int sessionId)
{
    removeSessionEntries(sessions, sessionId);
    sessionMap.remove(sessionId);
    if (sessionId == currentSessionId) {
        currentSessionId = 0;
        clearChatBubbles();
        showNoSession(ui);
    }
    rebuildSessionList();
}

void orvantis::onSessionDeleted(int sessionId)
{
    qDebug() << "[UI] 会话已删除: sessionId=" << sessionId;
    removeSessionEntries(sessions, sessionId);
    sessionMap.remove(sessionId);
    messageCache.remove(sessionId);
    // The row leaves the screen now. It is recycled rather than destroyed, so
    // a row whose own signal is still on the stack is never deleted under it.
    if (sessionListView)
        sessionListView->discardRow(sessionId);
    else
        sessionItems.remove(sessionId);
    if (sessionId == currentSessionId) {
        currentSessionId = 0;
        clearChatBubbles();
        showNoSession(ui);
    }
    ui->statusLabel->setText(QStringLiteral("会话已删除"));
    rebuildSessionList();
}

void orvantis::showIpContextMenu(const QPoint &pos)
{
    // The address comes from the session record, never from the label's markup.
    QString ip;
    const auto it = sessionMap.constFind(currentSessionId);
    if (currentSessionId > 0 && it != sessionMap.constEnd())
        ip = it->ipAddress.trimmed();
    if (ip.isEmpty() || ip == QLatin1String("-"))
        return;

    QMenu menu(ui->ipValueLabel);
    QAction *copyAction = menu.addAction(QStringLiteral("复制IP地址"));
    if (menu.exec(ui->ipValueLabel->mapToGlobal(pos)) != copyAction)
        return;
    QGuiApplication::clipboard()->setText(ip);
    ui->statusLabel->setText(QStringLiteral("已复制IP: %1").arg(ip));
}
