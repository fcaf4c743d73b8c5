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
#include "widgets/displaytext.h"
#include "widgets/notifysound.h"
#include "widgets/sessionlistitem.h"
#include "workspace/messagestore.h"
#include "workspace/sessionlistview.h"
#include "workspace/sessionordering.h"
#include "workspace/sessionstore.h"

namespace {

QScrollArea *enclosingScrollArea(QWidget *widget)
{
    for (QWidget *w = widget; w; w = w->parentWidget()) {
        if (auto *area = qobject_cast<QScrollArea *>(w))
            return area;
    }
    return nullptr;
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
    connect(sessionListView, &SessionListView::nearEnd, sessionStore, &SessionStore::loadNextPage);

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
    const int at = order.indexOf(currentSession());
    // With nothing open, Down starts at the top and Up at the bottom.
    const int next = at < 0 ? (step > 0 ? 0 : order.size() - 1) : at + step;
    if (next < 0 || next >= order.size())
        return;
    selectSession(order.at(next));
    sessionListView->ensureVisible(order.at(next));
    // Opened from the keyboard, the agent's next keys are the answer.
    ui->messageEdit->setFocus(Qt::ShortcutFocusReason);
}

int orvantis::currentSession() const
{
    return sessionStore->openSession();
}

const QList<ChatSession> &orvantis::sessionList() const
{
    return sessionStore->sessions();
}

const ChatSession *orvantis::findSession(int sessionId) const
{
    return sessionStore->find(sessionId);
}

QList<int> orvantis::visibleSessionOrder() const
{
    return sessionListView ? sessionListView->order() : QList<int>();
}

void orvantis::onSessionPageApplied(int page, int total, int count)
{
    // Page 1 replaces the table; an empty one still means an empty channel.
    if (page != 1 && count == 0)
        return;
    showSessionCount(total, count > 0);
    rebuildSessionList();
}

void orvantis::showSessionCount(int total, bool inStatus)
{
    ui->sessionCountLabel->setText(DisplayText::sessionCountHtml(total));
    if (inStatus)
        ui->statusLabel->setText(QStringLiteral("已连接渠道，共 %1 个会话").arg(total));
}

void orvantis::announceNewVisitor(const ChatSession &session)
{
    const QString name = session.displayName();
    NotifySound::instance()->play(NotifySound::Event::NewVisitor);
    notifyMessage(QStringLiteral("新客户接入"), QStringLiteral("%1 正在等待接待").arg(name),
                  session.id);
    ui->statusLabel->setText(QStringLiteral("新客户接入: %1").arg(name));
}

void orvantis::rebuildSessionList()
{
    const QList<ChatSession> &sessions = sessionStore->sessions();
    const QList<int> indexes = sortedVisibleIndexes(sessions, ui->searchEdit->text());
    QList<int> ids;
    ids.reserve(indexes.size());
    for (int index : indexes)
        ids.append(sessions.at(index).id);
    if (sessionListView)
        sessionListView->setOrder(ids, currentSession());
    updateTrayBadge();
}

void orvantis::selectSession(int sessionId)
{
    if (sessionId < 1)
        return;
    if (sessionId == currentSession()) {
        qDebug() << "[UI] 重复选择同一会话: sessionId=" << sessionId;
        clearCurrentUnread();
        return;
    }

    qDebug() << "[UI] 切换会话: old=" << currentSession() << "new=" << sessionId;
    showDraft(sessionId);
    sessionStore->setOpenSession(sessionId);
    stopReminders(sessionId); // opened: the agent has seen who waits
    // Nor does a message that came just before it and waits to be shown.
    conv.arrived.announce.remove(sessionId);

    if (const ChatSession *known = findSession(sessionId)) {
        qDebug() << "[UI] 清除未读数: sessionId=" << sessionId << "原未读=" << known->unreadCount;
        sessionStore->markRead(sessionId);
        const ChatSession copy = *known;

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

void orvantis::onSessionItemRightClicked(int id, const QPoint &globalPos)
{
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
    connect(deleteAction, &QAction::triggered, signIn.scope, [this, id] {
        auto *box = new QMessageBox(QMessageBox::Question, QStringLiteral("确认删除"),
                                    QStringLiteral("确定要删除该空会话吗？"),
                                    QMessageBox::Yes | QMessageBox::No, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        ownBySignIn(box);
        connect(box, &QMessageBox::finished, signIn.scope, [this, box, id] {
            if (box->result() != QMessageBox::Yes || !signIn.active)
                return;
            qDebug() << "[API] 删除会话: sessionId=" << id;
            apiClient->sendPostRequest(QStringLiteral("/chat/delete-session"),
                                       QJsonObject {{QStringLiteral("session_id"), id}});
        });
        box->open();
    });
    menu->popup(globalPos);
}

void orvantis::onNewSession(const QVariantMap &sessionData)
{
    const int id = sessionData.value(QStringLiteral("session_id")).toInt();
    if (id < 1)
        return;
    qDebug() << "[WSS] 新会话通知: sessionId=" << id
             << "hasVisitorName=" << sessionData.contains(QStringLiteral("visitor_name"));

    const bool known = sessionStore->patch(id, [](ChatSession &s) {
        s.online = true;
        s.status = QStringLiteral("online");
    });
    if (known) {
        qDebug() << "[WSS] 访客重连，更新为在线状态: sessionId=" << id;
        sessionListView->refresh(id);
        if (id == currentSession())
            updateChatHeader(*findSession(id));
        rebuildSessionList();
    }

    if (!sessionData.contains(QStringLiteral("visitor_name"))
        && !sessionData.contains(QStringLiteral("visitor_id"))) {
        apiClient->sendGetRequest(QStringLiteral("/chat/session-info"),
                                  {{QStringLiteral("session_id"), QString::number(id)}});
        if (currentSession() <= 0)
            sendJoinSession(id);
        return;
    }

    if (!known) {
        ChatSession session = ChatSession::fromMap(sessionData);
        if (session.id < 1)
            session.id = id;
        if (sessionStore->add(session, true)) {
            qDebug() << "[WSS] 接管会话直接入列: sessionId=" << session.id;
            rebuildSessionList();
            announceNewVisitor(session);
        }
    }

    if (currentSession() <= 0)
        sendJoinSession(id);
}

void orvantis::onSessionInfoReceived(const ChatSession &session)
{
    if (!sessionStore->add(session, true))
        return;
    rebuildSessionList();
    // The record of a session the agent opened is no news of a visitor.
    if (session.id == currentSession()) {
        updateChatHeader(session);
        if (ui->remarkEdit->text().isEmpty())
            ui->remarkEdit->setText(session.remark);
        return;
    }

    announceNewVisitor(session);

    if (currentSession() <= 0)
        sendJoinSession(session.id);
}

void orvantis::onSessionOffline(int sessionId)
{
    const bool known = sessionStore->patch(sessionId, [](ChatSession &s) {
        s.online = false;
        s.status = QStringLiteral("offline");
    });
    if (!known)
        return;
    // Only the dot changes: the list is not re-sorted until its next rebuild.
    sessionListView->refresh(sessionId);
    if (sessionId == currentSession())
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
    sessionStore->remove(sessionId);
    if (sessionId == currentSession())
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
    const ChatSession *session = currentSession() > 0 ? findSession(currentSession()) : nullptr;
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
