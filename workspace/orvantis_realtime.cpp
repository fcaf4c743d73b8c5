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
#include "workspace/messagestore.h"
#include "workspace/sessionlistview.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>

// Texts that carry what the service sent go into statusLabel, which shows
// plain text only.

namespace {

const QString offlineHtml
    = QStringLiteral("<span style='font-size:13px;color:#8b93a5;'>● 离线</span>");

// Bubbles of arrivals are built for at most this long per turn of the event loop.
constexpr int kBubbleSliceMs = 8;

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
    messageStore->onLinkLost();
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
    // Without a channel to join there is no confirmation to wait for.
    if (channelCode.isEmpty()) {
        messageStore->setLinkReady(true);
        if (std::exchange(linkLost, false))
            catchUpAfterReconnect();
    }
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
    expireSignIn(reason.trimmed().isEmpty() ? expiredNotice() : reason);
}

void orvantis::onChannelJoined(const QString &channel)
{
    Q_UNUSED(channel);
    if (sessions.isEmpty())
        ui->statusLabel->setText(QStringLiteral("已订阅频道，等待客户接入..."));
    else
        ui->statusLabel->setText(QStringLiteral("已订阅频道，共 %1 个会话").arg(sessions.size()));
    // What the agent wrote while the link was down leaves now, in order.
    messageStore->setLinkReady(true);
    if (std::exchange(linkLost, false))
        catchUpAfterReconnect();
}

void orvantis::onChatMessage(const QVariantMap &messageData)
{
    const ChatMessage msg = ChatMessage::fromMap(messageData);
    qDebug() << "[WSS] 收到消息: sessionId=" << msg.sessionId << "senderType=" << msg.senderType
             << "content=" << msg.content.left(50) << "rawTime=" << msg.createTime;
    // No session can ever show or address a message without one.
    if (msg.sessionId < 1)
        return;
    if (!messageStore->addPushed(msg)) {
        qDebug() << "[WSS] 忽略重复消息";
        return;
    }

    const bool fromSelf = isFromSelf(msg);
    const bool watched = isInForeground() && msg.sessionId == currentSessionId;
    const QDateTime now = QDateTime::currentDateTime();
    const QString time = messageTimeText(msg, now);
    patchSession(msg.sessionId, [&](ChatSession &s) {
        s.lastMessage = msg.content;
        s.lastTime = time;
        // The visitor waits from the first message the agent side has not
        // answered; any answer of the agent side (a colleague's too) ends it.
        if (fromSelf)
            s.waitingSince = QDateTime();
        else if (!s.waitingSince.isValid())
            s.waitingSince = visitorWaitingSince({msg}, now);
        if (!fromSelf && !watched)
            ++s.unreadCount;
    });

    // Messages that arrive together are shown together: one list update,
    // one sound and one announcement per session, however many came.
    if (msg.sessionId == currentSessionId)
        arrived.bubbles.append(msg);
    if (fromSelf) {
        arrived.announce.remove(msg.sessionId);
        arrived.answered.insert(msg.sessionId);
    } else {
        arrived.chime = true;
        if (!watched) {
            arrived.announce.insert(msg.sessionId, msg);
            arrived.answered.remove(msg.sessionId);
        } else {
            arrived.watchedNews = true;
        }
    }
    if (!arrivalTimer->isActive())
        arrivalTimer->start();
}

void orvantis::showArrivals()
{
    Arrivals batch = std::exchange(arrived, Arrivals());
    if (batch.chime)
        NotifySound::instance()->play();
    // Only the newest of a flood become bubbles: the rest are in the store.
    const QList<ChatMessage> &bubbles = batch.bubbles;
    const qsizetype skipped = qMax<qsizetype>(0, bubbles.size() - kShownBubbles);
    if (skipped > 0) {
        // The newest alone fill the view; scrolling up brings the rest.
        clearChatBubbles();
        hiddenOlder
            = int(messageStore->messages(currentSessionId).size() - (bubbles.size() - skipped));
    }
    // A bubble costs about a millisecond: many are built a few per turn of
    // the event loop, the rest wait at the head of the next arrivals so that
    // their order holds and the loop stays responsive in between.
    QElapsedTimer slice;
    slice.start();
    qsizetype next = skipped;
    for (; next < bubbles.size() && (next == skipped || slice.elapsed() < kBubbleSliceMs); ++next) {
        if (bubbles.at(next).sessionId == currentSessionId)
            appendChatBubble(bubbles.at(next));
    }
    if (next < bubbles.size()) {
        arrived.bubbles = bubbles.mid(next) + arrived.bubbles;
        // After a pause on a timer of its own: what this slice set off
        // (polish, layout, paint, pictures) and the other timers come first.
        if (!bubbleSliceTimer) {
            bubbleSliceTimer = new QTimer(this);
            bubbleSliceTimer->setSingleShot(true);
            bubbleSliceTimer->setInterval(kBubbleSliceMs);
            connect(bubbleSliceTimer, &QTimer::timeout, this, &orvantis::showArrivals);
        }
        bubbleSliceTimer->start();
    }
    if (next > skipped)
        scrollChatToBottom();
    // Watched as they came: read, for the service too.
    if (batch.watchedNews && currentSessionId > 0)
        markSessionRead(currentSessionId);
    for (int sessionId : std::as_const(batch.answered))
        stopReminders(sessionId);
    for (auto it = batch.announce.cbegin(); it != batch.announce.cend(); ++it) {
        // After the count, which a desktop notification shows.
        const ChatSession *session = findSession(it.key());
        const QString name = session ? session->displayName() : QStringLiteral("客户");
        notifyMessage(QStringLiteral("%1 发来新消息").arg(name), messagePreview(it.value()),
                      it.key());
        if (it.key() != currentSessionId)
            noteVisitorWaiting(it.key());
    }

    // Every new message changed the list (a chime or an answer); bubbles left
    // over from the last turn did not.
    if (batch.chime || !batch.answered.isEmpty())
        rebuildSessionList();
}

void orvantis::onChatSent(const QString &msgUuid, int sessionId)
{
    messageStore->onChatSent(msgUuid, sessionId);
}

void orvantis::onOwnMessageChanged(int sessionId, const QString &localId)
{
    if (sessionId != currentSessionId)
        return;
    ChatBubble *bubble = bubbleOf(localId);
    const QList<ChatMessage> messages = messageStore->messages(sessionId);
    for (auto it = messages.crbegin(); bubble && it != messages.crend(); ++it) {
        if (it->localId == localId) {
            bubble->showDelivery(*it);
            return;
        }
    }
}

void orvantis::onSendFailed(int sessionId, const QString &reason)
{
    const ChatSession *session = findSession(sessionId);
    const QString name = session ? session->displayName() : QStringLiteral("客户");
    ui->statusLabel->setText(QStringLiteral("发给 %1 的消息未发送: %2").arg(name, reason));
}

void orvantis::onConnectionError(const QString &error)
{
    ui->statusLabel->setText(QStringLiteral("WSS 错误: %1").arg(error));
}

void orvantis::onApiError(const QString &error)
{
    ui->statusLabel->setText(QStringLiteral("错误: %1").arg(error));
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
// for the agent to reopen every session: the listed sessions in one snapshot
// (online states, new sessions), then the newest messages of every session
// whose entry moved. It starts once the channel is joined again, so that
// whatever the snapshot misses is pushed on the new link. Every step is
// repeatable: messages are merged by identity and only new ones count as
// unread, so a late, repeated or retried reply changes nothing twice.
void orvantis::catchUpAfterReconnect()
{
    qDebug() << "[WSS] 重连后补取离线期间的消息";
    ++catchUpRound;
    catchUpMissed = 0;
    catchUpFirstWithNews = 0;
    // The service hands out at most 200 a page.
    const int limit = int(qBound(qsizetype(pageSize), sessions.size(), qsizetype(200)));
    for (int page = 1; page == 1 || (page - 1) * limit < sessions.size(); ++page)
        requestCatchUpPage(page, limit, 0);
}

void orvantis::requestCatchUpPage(int page, int limit, int attempt)
{
    ApiRequest *request
        = apiClient->sendGetRequest(QStringLiteral("/chat/channel-sessions"),
                                    {{QStringLiteral("page"), QString::number(page)},
                                     {QStringLiteral("limit"), QString::number(limit)}});
    // The page reply also reaches onSessionsReceived, which must leave the
    // paging state alone for it.
    connect(request, &ApiRequest::succeeded, this, [this] { catchUpReplyNext = true; });
    const int round = catchUpRound;
    connect(request, &ApiRequest::failed, this, [this, page, limit, attempt, round] {
        if (attempt < 5)
            QTimer::singleShot(2000, this, [this, page, limit, attempt, round] {
                if (loggedIn && round == catchUpRound)
                    requestCatchUpPage(page, limit, attempt + 1);
            });
    });
}

void orvantis::applyCatchUpPage(const QList<ChatSession> &list)
{
    bool changed = false;
    for (const ChatSession &fresh : list) {
        const ChatSession *known = findSession(fresh.id);
        if (!known) {
            changed |= addSession(fresh, true);
            continue;
        }
        // Counts and previews come from the messages themselves: this
        // snapshot may be older than what the new link has pushed since.
        const bool moved = known->lastMessage != fresh.lastMessage
            || known->lastTime != fresh.lastTime || known->unreadCount != fresh.unreadCount;
        patchSession(fresh.id, [&fresh](ChatSession &s) {
            s.online = fresh.online;
            s.status = fresh.status;
        });
        changed = true;
        if (moved)
            requestCatchUpMessages(fresh.id, 0);
    }
    if (changed)
        rebuildSessionList();
}

void orvantis::requestCatchUpMessages(int sessionId, int attempt)
{
    if (sessionId == currentSessionId)
        messageStore->expectPage(sessionId);
    ApiRequest *request = apiClient->getMessages(sessionId, QString());
    const int round = catchUpRound;
    connect(request, &ApiRequest::succeeded, this, [this, request, sessionId, round] {
        const int news = applyCaughtUpMessages(sessionId, request->messages());
        if (news <= 0 || round != catchUpRound)
            return;
        if (catchUpMissed == 0) {
            // One summary per lost link, not a burst of chimes and toasts.
            NotifySound::instance()->play();
            catchUpFirstWithNews = sessionId;
        }
        catchUpMissed += news;
        notifyMessage(QStringLiteral("重新连接"),
                      QStringLiteral("断线期间收到 %1 条新消息").arg(catchUpMissed),
                      catchUpFirstWithNews);
        ui->statusLabel->setText(
            QStringLiteral("已重新连接，断线期间收到 %1 条新消息").arg(catchUpMissed));
    });
    connect(request, &ApiRequest::failed, this, [this, sessionId, attempt, round] {
        if (attempt < 5)
            QTimer::singleShot(2000, this, [this, sessionId, attempt, round] {
                if (loggedIn && round == catchUpRound)
                    requestCatchUpMessages(sessionId, attempt + 1);
            });
    });
}

int orvantis::applyCaughtUpMessages(int sessionId, const QList<ChatMessage> &page)
{
    const ChatSession *session = findSession(sessionId);
    const QList<ChatMessage> cached = messageStore->messages(sessionId);
    // Visitor messages from this time on are news: with a cache, anything it
    // lacks from its oldest message on; without one, what is newer than the
    // listing the unread count came with.
    QDateTime since;
    if (!cached.isEmpty())
        since = cached.constFirst().createdAt;
    else if (session)
        since = QDateTime::fromString(session->lastTime, Qt::ISODate).addSecs(1);
    // The open session shows the history as the service stored it: the same
    // reply reaches onMessagesReceived next, which replaces its cache.
    QList<ChatMessage> merged = cached;
    const QList<ChatMessage> added = sessionId == currentSessionId
        ? mergeMessages(merged, page)
        : messageStore->merge(sessionId, page);
    if (sessionId != currentSessionId)
        merged = messageStore->messages(sessionId);
    if (added.isEmpty() || merged.isEmpty())
        return 0;

    const bool watched = isInForeground() && sessionId == currentSessionId;
    int news = 0;
    for (const ChatMessage &msg : added) {
        if (!isFromSelf(msg) && !watched
            && (!since.isValid() || !msg.createdAt.isValid() || msg.createdAt >= since))
            ++news;
    }
    const ChatMessage newest = merged.constLast();
    const QString time = messageTimeText(newest, QDateTime::currentDateTime());
    const QDateTime waiting = visitorWaitingSince(merged, QDateTime::currentDateTime());
    patchSession(sessionId, [&](ChatSession &s) {
        s.unreadCount += news;
        if (time >= s.lastTime) {
            s.lastMessage = newest.content;
            s.lastTime = time;
        }
        s.waitingSince = waiting;
    });
    if (news > 0 && sessionId != currentSessionId)
        noteVisitorWaiting(sessionId);
    rebuildSessionList();
    return news;
}
