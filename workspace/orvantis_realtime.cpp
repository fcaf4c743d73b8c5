// Realtime events: the link's state in the status texts, the channel
// subscription, visitor and agent messages as they arrive, confirmations of
// sent messages, and the catch-up after a lost link.

#include "workspace/orvantis.h"

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "ui_orvantis.h"
#include "widgets/displaytext.h"
#include "widgets/notifysound.h"
#include "widgets/toast.h"
#include "workspace/catchup.h"
#include "workspace/messagerules.h"
#include "workspace/messagestore.h"
#include "workspace/sessionlistview.h"
#include "workspace/sessionstore.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>

// Texts that carry what the service sent go into statusLabel, which shows
// plain text only.

namespace {

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
    ui->onlineStatusLabel->setText(DisplayText::linkStateHtml(false));
    ui->statusLabel->setText(reason.isEmpty() ? QStringLiteral("WSS 断开")
                                              : QStringLiteral("WSS 断开: %1").arg(reason));
    // Confirmations come per link: those of the lost link never will.
    messageStore->onLinkLost();
    if (signIn.active)
        catchUp->onLinkLost();
    updateSendButtonState();
}

void orvantis::onAuthOk()
{
    ui->onlineStatusLabel->setText(DisplayText::linkStateHtml(true));
    // Every authentication is a fresh link: subscribe to the channel and
    // re-join the open conversation on it.
    if (!signIn.channelCode.isEmpty()) {
        QJsonObject frame;
        frame.insert(QStringLiteral("type"), QStringLiteral("join"));
        frame.insert(QStringLiteral("channel"), signIn.channelCode);
        wssClient->sendFrame(frame);
    }
    conv.joinedSessionId = -1;
    sendJoinSession(currentSession());
    updateSendButtonState();
    // Without a channel to join there is no confirmation to wait for.
    if (signIn.channelCode.isEmpty()) {
        messageStore->setLinkReady(true);
        catchUp->onLinkReady();
    }
}

void orvantis::onAuthFailed(const QString &reason)
{
    ui->onlineStatusLabel->setText(DisplayText::linkStateHtml(false));
    ui->statusLabel->setText(QStringLiteral("认证失败: %1").arg(reason));
    updateSendButtonState();
    if (!signIn.active)
        return;
    // The auth frame carries nothing but the token: a refusal means the
    // sign-in is over. Back to the dialog, saying why, instead of a
    // workspace that looks alive and receives nothing.
    expireSignIn(reason.trimmed().isEmpty() ? expiredNotice() : reason);
}

void orvantis::onChannelJoined(const QString &channel)
{
    Q_UNUSED(channel);
    const qsizetype listed = sessionStore->sessions().size();
    if (listed == 0)
        ui->statusLabel->setText(QStringLiteral("已订阅频道，等待客户接入..."));
    else
        ui->statusLabel->setText(QStringLiteral("已订阅频道，共 %1 个会话").arg(listed));
    // What the agent wrote while the link was down leaves now, in order.
    messageStore->setLinkReady(true);
    catchUp->onLinkReady();
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
    const bool watched = sessionStore->notePushed(msg, QDateTime::currentDateTime());

    // Messages that arrive together are shown together: one list update,
    // one sound and one announcement per session, however many came.
    if (msg.sessionId == currentSession())
        conv.arrived.bubbles.append(msg);
    if (fromSelf) {
        conv.arrived.announce.remove(msg.sessionId);
        conv.arrived.answered.insert(msg.sessionId);
    } else {
        conv.arrived.chime = true;
        if (!watched) {
            conv.arrived.announce.insert(msg.sessionId, msg);
            conv.arrived.answered.remove(msg.sessionId);
        } else {
            conv.arrived.watchedNews = true;
        }
    }
    if (!conv.arrivalTimer->isActive())
        conv.arrivalTimer->start();
}

void orvantis::showArrivals()
{
    Arrivals batch = std::exchange(conv.arrived, Arrivals());
    if (batch.chime)
        NotifySound::instance()->play();
    // Only the newest of a flood become bubbles: the rest are in the store.
    const QList<ChatMessage> &bubbles = batch.bubbles;
    const qsizetype skipped = qMax<qsizetype>(0, bubbles.size() - kShownBubbles);
    if (skipped > 0) {
        // The newest alone fill the view; scrolling up brings the rest.
        clearChatBubbles();
        conv.hiddenOlder
            = int(messageStore->messages(currentSession()).size() - (bubbles.size() - skipped));
    }
    // A bubble costs about a millisecond: many are built a few per turn of
    // the event loop, the rest wait at the head of the next arrivals so that
    // their order holds and the loop stays responsive in between.
    QElapsedTimer slice;
    slice.start();
    qsizetype next = skipped;
    for (; next < bubbles.size() && (next == skipped || slice.elapsed() < kBubbleSliceMs); ++next) {
        if (bubbles.at(next).sessionId == currentSession())
            appendChatBubble(bubbles.at(next));
    }
    if (next < bubbles.size()) {
        conv.arrived.bubbles = bubbles.mid(next) + conv.arrived.bubbles;
        // After a pause on a timer of its own: what this slice set off
        // (polish, layout, paint, pictures) and the other timers come first.
        if (!conv.sliceTimer) {
            conv.sliceTimer = new QTimer(this);
            conv.sliceTimer->setSingleShot(true);
            conv.sliceTimer->setInterval(kBubbleSliceMs);
            connect(conv.sliceTimer, &QTimer::timeout, this, &orvantis::showArrivals);
        }
        conv.sliceTimer->start();
    }
    if (next > skipped)
        scrollChatToBottom();
    // Watched as they came: read, for the service too.
    if (batch.watchedNews && currentSession() > 0)
        markSessionRead(currentSession());
    for (int sessionId : std::as_const(batch.answered))
        stopReminders(sessionId);
    for (auto it = batch.announce.cbegin(); it != batch.announce.cend(); ++it) {
        // After the count, which a desktop notification shows.
        const ChatSession *session = findSession(it.key());
        const QString name = session ? session->displayName() : QStringLiteral("客户");
        notifyMessage(QStringLiteral("%1 发来新消息").arg(name), messagePreview(it.value()),
                      it.key());
        if (it.key() != currentSession())
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
    if (sessionId != currentSession())
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

void orvantis::onSessionCaughtUp(int sessionId, int news)
{
    if (news > 0 && sessionId != currentSession())
        noteVisitorWaiting(sessionId);
    rebuildSessionList();
}

void orvantis::onMissedGrew(int missed, int firstWithNews, bool first)
{
    // One summary per lost link, not a burst of chimes and toasts.
    if (first)
        NotifySound::instance()->play();
    notifyMessage(QStringLiteral("重新连接"),
                  QStringLiteral("断线期间收到 %1 条新消息").arg(missed), firstWithNews);
    ui->statusLabel->setText(QStringLiteral("已重新连接，断线期间收到 %1 条新消息").arg(missed));
}
