// Realtime events: the link's state in the status texts, the channel
// subscription, visitor and agent messages as they arrive, confirmations of
// sent messages, and the catch-up after a lost link.

#include "workspace/orvantis.h"

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "ui_orvantis.h"
#include "widgets/notifysound.h"
#include "widgets/toast.h"
#include "workspace/messagerules.h"
#include "workspace/sessionlistview.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>

// Texts that carry what the service sent go into statusLabel, which shows
// plain text only.

namespace {

const QString offlineHtml
    = QStringLiteral("<span style='font-size:13px;color:#8b93a5;'>● 离线</span>");

} // namespace

void orvantis::onWssConnected()
{
    ui->statusLabel->setText(QStringLiteral("WSS 已连接"));
    updateSendButtonState();
}

void orvantis::onWssDisconnected(ushort code, const QString &reason)
{
    Q_UNUSED(code);
    ui->onlineStatusLabel->setText(offlineHtml);
    ui->statusLabel->setText(reason.isEmpty() ? QStringLiteral("WSS 断开")
                                              : QStringLiteral("WSS 断开: %1").arg(reason));
    // Confirmations come per link: those of the lost link never will.
    pendingEchoes.clear();
    if (loggedIn)
        linkLost = true;
    updateSendButtonState();
}

void orvantis::onAuthOk()
{
    ui->onlineStatusLabel->setText(
        QStringLiteral("<span style='font-size:13px;color:#22c55e;'>● 在线</span>"));
    // Every authentication is a fresh link: subscribe to the channel and
    // re-join the open conversation on it.
    if (!channelCode.isEmpty()) {
        QJsonObject frame;
        frame.insert(QStringLiteral("type"), QStringLiteral("join"));
        frame.insert(QStringLiteral("channel"), channelCode);
        wssClient->sendFrame(frame);
    }
    joinedSessionId = -1;
    sendJoinSession(currentSessionId);
    updateSendButtonState();
    if (std::exchange(linkLost, false))
        catchUpAfterReconnect();
}

void orvantis::onAuthFailed(const QString &reason)
{
    ui->onlineStatusLabel->setText(offlineHtml);
    ui->statusLabel->setText(QStringLiteral("认证失败: %1").arg(reason));
    updateSendButtonState();
    if (!loggedIn)
        return;
    // The auth frame carries nothing but the token: a refusal means the
    // sign-in is over. Back to the dialog, saying why, instead of a
    // workspace that looks alive and receives nothing.
    expireSignIn(reason.trimmed().isEmpty() ? QStringLiteral("登录已过期，请重新登录") : reason);
}

void orvantis::onChannelJoined(const QString &channel)
{
    Q_UNUSED(channel);
    if (sessions.isEmpty())
        ui->statusLabel->setText(QStringLiteral("已订阅频道，等待客户接入..."));
    else
        ui->statusLabel->setText(QStringLiteral("已订阅频道，共 %1 个会话").arg(sessions.size()));
}

void orvantis::onChatMessage(const QVariantMap &messageData)
{
    const ChatMessage msg = ChatMessage::fromMap(messageData);
    qDebug() << "[WSS] 收到消息: sessionId=" << msg.sessionId << "senderType=" << msg.senderType
             << "content=" << msg.content.left(50) << "rawTime=" << msg.createTime;
    // No session can ever show or address a message without one.
    if (msg.sessionId < 1)
        return;

    QList<ChatMessage> &cached = messageCache[msg.sessionId];
    if (isDuplicateMessage(cached, msg)) {
        qDebug() << "[WSS] 忽略重复消息";
        return;
    }
    cached.append(msg);

    const bool fromSelf = isFromSelf(msg);
    const bool watched = isInForeground() && msg.sessionId == currentSessionId;
    if (!fromSelf) {
        NotifySound::instance()->play();
        if (!watched) {
            const ChatSession *session = findSession(msg.sessionId);
            const QString name = session ? session->displayName() : QStringLiteral("客户");
            notifyMessage(QStringLiteral("%1 发来新消息").arg(name), messagePreview(msg),
                          msg.sessionId);
        }
    }

    if (msg.sessionId == currentSessionId) {
        appendChatBubble(msg);
        scrollChatToBottom();
    }

    const QString time = messageTimeText(msg, QDateTime::currentDateTime());
    patchSession(msg.sessionId, [&](ChatSession &s) {
        s.lastMessage = msg.content;
        s.lastTime = time;
        if (!fromSelf && !watched) {
            ++s.unreadCount;
            qDebug() << "[WSS] 未读+1 sessionId=" << s.id << "unread=" << s.unreadCount
                     << "foreground=" << isInForeground();
        }
    });
    rebuildSessionList();
}

void orvantis::onChatSent(const QString &msgUuid, int sessionId)
{
    if (msgUuid.isEmpty())
        return;
    // The oldest echo of the named session; a frame that names none (0) takes
    // the oldest echo of all.
    for (qsizetype i = 0; i < pendingEchoes.size(); ++i) {
        if (sessionId != 0 && pendingEchoes.at(i).sessionId != sessionId)
            continue;
        const PendingEcho echo = pendingEchoes.takeAt(i);
        // The bubble is gone when the agent has left the session meanwhile;
        // coming back shows the stored message with its uuid.
        if (echo.bubble)
            echo.bubble->setMsgUuid(msgUuid);
        return;
    }
}

void orvantis::onConnectionError(const QString &error)
{
    ui->statusLabel->setText(QStringLiteral("WSS 错误: %1").arg(error));
}

void orvantis::onApiError(const QString &error)
{
    ui->statusLabel->setText(QStringLiteral("错误: %1").arg(error));
}

void orvantis::notifyMessage(const QString &title, const QString &body, int sessionId)
{
    if (!notifyEnabled || !trayIcon)
        return;
    showToast(this, title, body, [this, sessionId] { onToastClicked(sessionId); });
    updateTrayBadge();
}

void orvantis::onToastClicked(int sessionId)
{
    showMainWindow(); // only while signed in
    if (sessionId >= 1 && findSession(sessionId))
        selectSession(sessionId);
}

bool orvantis::isInForeground() const
{
    return isVisible() && !isMinimized() && isActiveWindow();
}

// After a lost link, what happened meanwhile is fetched instead of waiting
// for the agent to reopen every session: page 1 of the sessions (unread
// counts, last messages, online states, new sessions) and the newest
// messages of the open one.
void orvantis::catchUpAfterReconnect()
{
    qDebug() << "[WSS] 重连后补取离线期间的消息";
    ApiRequest *page
        = apiClient->sendGetRequest(QStringLiteral("/chat/channel-sessions"),
                                    {{QStringLiteral("page"), QStringLiteral("1")},
                                     {QStringLiteral("limit"), QString::number(pageSize)}});
    // The page reply also reaches onSessionsReceived, which must leave the
    // paging state alone for it.
    connect(page, &ApiRequest::succeeded, this, [this] { catchUpReplyNext = true; });
    if (currentSessionId > 0)
        apiClient->getMessages(currentSessionId, QString());
}

void orvantis::applyCatchUpPage(const QList<ChatSession> &list)
{
    int missed = 0;
    int firstWithNews = 0;
    for (const ChatSession &fresh : list) {
        const ChatSession *known = findSession(fresh.id);
        const int before = known ? known->unreadCount : 0;
        if (known) {
            patchSession(fresh.id, [&fresh](ChatSession &s) {
                s.unreadCount = fresh.unreadCount;
                s.lastMessage = fresh.lastMessage;
                s.lastTime = fresh.lastTime;
                s.online = fresh.online;
                s.status = fresh.status;
            });
        } else {
            addSession(fresh, true);
        }
        const bool watched = fresh.id == currentSessionId && isInForeground();
        if (fresh.unreadCount > before && !watched) {
            missed += fresh.unreadCount - before;
            if (!firstWithNews)
                firstWithNews = fresh.id;
        }
    }
    if (isInForeground())
        clearCurrentUnread();
    rebuildSessionList();
    if (missed > 0) {
        // One summary, not a burst of chimes and toasts.
        NotifySound::instance()->play();
        notifyMessage(QStringLiteral("重新连接"),
                      QStringLiteral("断线期间收到 %1 条新消息").arg(missed), firstWithNews);
        ui->statusLabel->setText(
            QStringLiteral("已重新连接，断线期间收到 %1 条新消息").arg(missed));
    }
}
