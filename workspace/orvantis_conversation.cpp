// The conversation view: header and info bar of the open session, its
// bubbles and message cache, remarks, recalls and the image viewer.

#include "orvantis.h"
#include "ui_orvantis.h"
#include "workspace/sessionlistview.h"

#include <QDebug>
#include <QDialog>
#include <QJsonObject>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "widgets/chatbubble.h"
#include "widgets/displaytext.h"
#include "widgets/imageloader.h"
#include "workspace/messagerules.h"
#include "workspace/messagestore.h"
#include "workspace/sessionstore.h"

namespace {

const char kLightboxCloseProperty[] = "lightboxClose";

// The conversation shows at most this many bubbles, the newest; older ones
// come back a page at a time as the agent scrolls up. Its cost does not grow
// with the length of the conversation.
constexpr int kOlderPage = 100;
// Scrolled up, the agent reads: bubbles are trimmed only beyond this many.
constexpr int kMostBubbles = 1000;

// Keeps the image viewer's picture fitted and its close button at the top
// right: the viewer's full-screen size is known only once the window manager
// has answered, which comes after the picture and the first placement.
class LightboxFitter : public QObject
{
public:
    LightboxFitter(QDialog *dialog, QLabel *label, QPushButton *closeButton)
        : QObject(dialog), dialog(dialog), label(label), closeButton(closeButton)
    {
        dialog->installEventFilter(this);
        label->installEventFilter(this);
    }

    void setPicture(const QPixmap &pixmap)
    {
        picture = pixmap;
        fit();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Resize)
            return false;
        if (watched == dialog) {
            closeButton->move(dialog->width() - 64, 24);
            closeButton->raise();
        } else if (watched == label) {
            fit();
        }
        return false;
    }

private:
    // Never beyond the picture's own pixels, so a small picture stays sharp.
    void fit()
    {
        if (picture.isNull())
            return;
        const qreal ratio = label->devicePixelRatioF();
        const QSize room = (QSizeF(label->size()) * ratio).toSize();
        QPixmap shown = picture;
        if (shown.width() > room.width() || shown.height() > room.height())
            shown = picture.scaled(room.expandedTo(QSize(1, 1)), Qt::KeepAspectRatio,
                                   Qt::SmoothTransformation);
        shown.setDevicePixelRatio(ratio);
        label->setPixmap(shown);
    }

    QDialog *dialog;
    QLabel *label;
    QPushButton *closeButton;
    QPixmap picture;
};

} // namespace

ChatBubble *orvantis::makeChatBubble(const ChatMessage &msg)
{
    const bool fromSelf = isFromSelf(msg);
    qDebug().noquote() << "[DEBUG] appendChatBubble: senderType='" + msg.senderType + "'"
                       << "isFromSelf=" << fromSelf << "content=" << msg.content.left(30);
    ChatMessage shown = msg;
    if (!fromSelf && (shown.senderName.isEmpty() || shown.senderName == QStringLiteral("访客"))) {
        if (const ChatSession *session = findSession(shown.sessionId))
            shown.senderName = session->displayName();
    }
    auto *bubble = new ChatBubble(shown, fromSelf, ui->chatContentWidget);
    bubble->setMemberId(signIn.memberId);
    bubble->setTranslateBaseUrl(apiClient->baseUrl());
    connect(bubble, &ChatBubble::imageClicked, this, &orvantis::showImageLightbox);
    connect(bubble, &ChatBubble::recallClicked, this, &orvantis::onRecallClicked);
    connect(bubble, &ChatBubble::retryClicked, messageStore, &MessageStore::retry);
    connect(bubble, &ChatBubble::discardClicked, messageStore, &MessageStore::discard);
    return bubble;
}

void orvantis::appendChatBubble(const ChatMessage &msg)
{
    ChatBubble *bubble = makeChatBubble(msg);
    conv.bubbles.append(bubble);
    // Above the closing stretch: the bubbles already shown stay where they are.
    ui->chatContentLayout->insertWidget(ui->chatContentLayout->count() - 1, bubble);
    // Shown now rather than by the layout's queued call, so that the cost of
    // laying the bubble out falls in the turn that made it.
    bubble->show();
    // The oldest go once the agent follows the newest, or there are far too many.
    if (conv.bubbles.size() > (conv.following ? kShownBubbles + kOlderPage / 2 : kMostBubbles)) {
        const qsizetype excess = conv.bubbles.size() - kShownBubbles;
        for (qsizetype i = 0; i < excess; ++i)
            removeChatBubble(conv.bubbles.constFirst());
        conv.hiddenOlder += int(excess);
    }
}

// The session's messages as the store holds them: the newest on screen.
void orvantis::showMessages(const QList<ChatMessage> &messages)
{
    clearChatBubbles();
    conv.arrived.bubbles.clear(); // in `messages` already
    conv.hiddenOlder = int(qMax<qsizetype>(0, messages.size() - kShownBubbles));
    for (qsizetype i = conv.hiddenOlder; i < messages.size(); ++i)
        appendChatBubble(messages.at(i));
    scrollChatToBottom();
}

void orvantis::showStoredMessages(int sessionId)
{
    messageStore->setOpenSession(sessionId);
    messageStore->expectPage(sessionId);
    showMessages(messageStore->messages(sessionId));
}

// Scrolled to the top: the page of older messages above comes in, and what
// the agent looked at stays where it was.
void orvantis::showOlderMessages()
{
    if (conv.hiddenOlder <= 0 || currentSession() < 1)
        return;
    const QList<ChatMessage> messages = messageStore->messages(currentSession());
    const int from = qMax(0, conv.hiddenOlder - kOlderPage);
    const int to = int(qMin<qsizetype>(conv.hiddenOlder, messages.size()));
    QScrollBar *bar = ui->chatScrollArea->verticalScrollBar();
    const int fromBottom = bar->maximum() - bar->value();
    for (int i = to - 1; i >= from; --i) {
        ChatBubble *bubble = makeChatBubble(messages.at(i));
        conv.bubbles.prepend(bubble);
        ui->chatContentLayout->insertWidget(0, bubble);
    }
    conv.hiddenOlder = from;
    ui->chatContentWidget->adjustSize();
    QTimer::singleShot(0, this, [this, fromBottom] {
        QScrollBar *bar = ui->chatScrollArea->verticalScrollBar();
        bar->setValue(bar->maximum() - fromBottom);
    });
}

void orvantis::clearChatBubbles()
{
    qDebug() << "[UI] 清空聊天区";
    for (ChatBubble *bubble : std::as_const(conv.bubbles)) {
        if (bubble) {
            // Out of the layout now so that the column is empty at once; the
            // widget itself may still be inside one of its own signals.
            ui->chatContentLayout->removeWidget(bubble);
            bubble->hide();
            bubble->deleteLater();
        }
    }
    conv.bubbles.clear();
    conv.hiddenOlder = 0;
}

void orvantis::removeChatBubble(ChatBubble *bubble)
{
    if (!bubble || !conv.bubbles.removeOne(bubble))
        return;
    ui->chatContentLayout->removeWidget(bubble);
    bubble->hide();
    bubble->deleteLater();
}

ChatBubble *orvantis::bubbleOf(const QString &localId) const
{
    for (auto it = conv.bubbles.crbegin(); it != conv.bubbles.crend(); ++it) {
        if (!localId.isEmpty() && (*it)->localId() == localId)
            return *it;
    }
    return nullptr;
}

void orvantis::removeChatBubble(const QString &msgUuid)
{
    for (auto it = conv.bubbles.crbegin(); it != conv.bubbles.crend(); ++it) {
        if (!msgUuid.isEmpty() && (*it)->msgUuid() == msgUuid) {
            removeChatBubble(*it);
            return;
        }
    }
}

void orvantis::scrollChatToBottom()
{
    conv.following = true;
    if (!conv.scrollTimer) {
        conv.scrollTimer = new QTimer(this);
        conv.scrollTimer->setSingleShot(true);
        conv.scrollTimer->setInterval(50);
        connect(conv.scrollTimer, &QTimer::timeout, this, [this] {
            if (QScrollBar *bar = ui->chatScrollArea->verticalScrollBar())
                bar->setValue(bar->maximum());
        });
    }
    conv.scrollTimer->start();
}

void orvantis::sendJoinSession(int sessionId)
{
    if (sessionId <= 0 || !wssClient->isConnected() || !wssClient->isAuthenticated()
        || conv.joinedSessionId == sessionId)
        return;
    wssClient->sendFrame(QJsonObject {{QStringLiteral("type"), QStringLiteral("join_session")},
                                      {QStringLiteral("session_id"), sessionId}});
    conv.joinedSessionId = sessionId;
}

void orvantis::updateChatHeader(const ChatSession &s)
{
    // Names, statuses and addresses come from visitors and the service:
    // escaped wherever they go into a rich-text span.
    const QString name = s.displayName();
    ui->chatAvatarLabel->setTextFormat(Qt::PlainText);
    ui->chatAvatarLabel->setText(DisplayText::firstLetterUpper(name));
    ui->chatNameLabel->setText(
        QStringLiteral("<span style='font-size:14px;font-weight:bold;color:#2f3441;'>%1</span>")
            .arg(name.toHtmlEscaped()));
    ui->chatStatusDot->setText(
        QStringLiteral("<span style='font-size:12px;color:%1;'>● %2</span>")
            .arg(s.online ? QStringLiteral("#22a06b") : QStringLiteral("#8b93a5"),
                 s.statusText().toHtmlEscaped()));
    const QString ip = s.ipAddress.isEmpty() ? QStringLiteral("-") : s.ipAddress.toHtmlEscaped();
    ui->ipValueLabel->setText(QStringLiteral("<html><head/><body><p><span "
                                             "style=\"font-size:12px;color:#4b5264;\">%1</span></"
                                             "p></body></html>")
                                  .arg(ip));
}

void orvantis::onMessagesReceived(int sessionId, const QList<ChatMessage> &list, int total,
                                  bool more)
{
    Q_UNUSED(total);
    Q_UNUSED(more);
    // A late page of a session the agent has already left.
    if (sessionId != currentSession())
        return;
    showHistoryPage(sessionId, list);
}

void orvantis::showHistoryPage(int sessionId, const QList<ChatMessage> &list)
{
    const QList<ChatMessage> kept = messageStore->applyPage(sessionId, list);
    // The whole recent history says exactly since when the visitor waits.
    const QDateTime waiting = visitorWaitingSince(kept, QDateTime::currentDateTime());
    if (sessionStore->patch(sessionId, [&waiting](ChatSession &s) { s.waitingSince = waiting; }))
        sessionListView->refresh(sessionId);
    showMessages(kept);
}

void orvantis::saveRemark()
{
    if (currentSession() < 1)
        return;
    const int sessionId = currentSession();
    const QString sent = ui->remarkEdit->text().trimmed();
    ApiRequest *request = apiClient->updateSessionRemark(sessionId, sent);
    connect(request, &ApiRequest::succeeded, this,
            [this, sessionId, sent] { onRemarkUpdated(sessionId, sent); });
}

void orvantis::onRemarkUpdated(int sessionId, const QString &sentText)
{
    // While the session is open the field as it reads now wins (it may be
    // newer than the text sent); once the agent has moved on, the field holds
    // another session's remark and only the text sent is this one's.
    const QString remark
        = sessionId == currentSession() ? ui->remarkEdit->text().trimmed() : sentText;
    sessionStore->patch(sessionId, [&remark](ChatSession &s) { s.remark = remark; });
    rebuildSessionList();
    if (sessionId == currentSession()) {
        if (const ChatSession *session = findSession(sessionId))
            updateChatHeader(*session);
    }
    ui->statusLabel->setText(QStringLiteral("备注已保存"));
}

void orvantis::onRecallClicked(const QString &msgUuid)
{
    if (msgUuid.isEmpty() || currentSession() < 1)
        return;
    // Without the link the recall never reaches the service, which keeps the
    // message: the bubble stays, and the agent is told so.
    if (!wssClient->isConnected() || !wssClient->isAuthenticated()) {
        ui->statusLabel->setText(QStringLiteral("WSS 未连接，撤回失败，请稍后重试"));
        return;
    }
    wssClient->sendRecall(msgUuid, currentSession());
    removeChatBubble(msgUuid);
    messageStore->remove(currentSession(), msgUuid);
    ui->statusLabel->setText(QStringLiteral("消息已撤回"));
}

void orvantis::onRecallReceived(const QString &msgUuid, int sessionId)
{
    if (msgUuid.isEmpty())
        return;
    if (sessionId == currentSession())
        removeChatBubble(msgUuid);
    messageStore->remove(sessionId, msgUuid);
}

void orvantis::clearCurrentUnread()
{
    if (currentSession() < 1)
        return;
    if (sessionStore->markRead(currentSession()) <= 0)
        return;
    markSessionRead(currentSession());
    stopReminders(currentSession());
    rebuildSessionList();
}

void orvantis::markSessionRead(int sessionId, int attempt)
{
    ApiRequest *request = apiClient->markRead(sessionId);
    connect(request, &ApiRequest::failed, signIn.scope, [this, sessionId, attempt] {
        // Only while it is open: marked later, it would also clear what came
        // after the agent left.
        if (attempt < 3)
            QTimer::singleShot(1000 << attempt, signIn.scope, [this, sessionId, attempt] {
                if (sessionId == currentSession())
                    markSessionRead(sessionId, attempt + 1);
            });
    });
}

void orvantis::showImageLightbox(const QString &url)
{
    auto *dialog = new QDialog(this, Qt::Dialog | Qt::FramelessWindowHint);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);
    ownBySignIn(dialog); // a visitor's picture is not for the next sign-in
    dialog->setStyleSheet(QStringLiteral("QDialog { background-color: rgba(0, 0, 0, 217); }"));
    dialog->setProperty(kLightboxCloseProperty, true);

    auto *layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(60, 60, 60, 60);
    auto *imageLabel = new QLabel(QStringLiteral("加载中..."), dialog);
    imageLabel->setTextFormat(Qt::PlainText);
    imageLabel->setAlignment(Qt::AlignCenter);
    imageLabel->setStyleSheet(QStringLiteral(
        "QLabel { background: transparent; color: #9ca3af; font-size: 14px; border: none; }"));
    imageLabel->setProperty(kLightboxCloseProperty, true);
    // The label takes the room it is given, whatever picture it shows.
    imageLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    layout->addWidget(imageLabel);

    auto *closeButton = new QPushButton(QString(QChar(0x00D7)), dialog);
    closeButton->setFixedSize(40, 40);
    closeButton->setCursor(Qt::PointingHandCursor);
    closeButton->setStyleSheet(QStringLiteral(
        "QPushButton { background-color: rgba(255, 255, 255, 51); color: white; border-radius: "
        "20px; font-size: 22px; font-weight: bold; border: none; }QPushButton:hover { "
        "background-color: rgba(255, 255, 255, 102); }"));
    connect(closeButton, &QPushButton::clicked, dialog, &QDialog::close);
    auto *fitter = new LightboxFitter(dialog, imageLabel, closeButton);

    dialog->installEventFilter(this);
    imageLabel->installEventFilter(this);

    // Decoded at most to the screen's size: the viewer never shows more.
    const qreal ratio = dialog->devicePixelRatioF();
    const QSize screen = dialog->screen() ? dialog->screen()->size() : QSize(1920, 1080);
    ImageLoader::instance()->load(
        QUrl(url), (QSizeF(screen) * ratio).toSize(), imageLabel,
        [imageLabel, fitter](const QImage &image, ImageLoader::Failure failure) {
            if (failure != ImageLoader::Failure::None)
                imageLabel->setText(ImageLoader::failureText(failure));
            else
                fitter->setPicture(QPixmap::fromImage(image));
        });

    dialog->showFullScreen();
}

// The image viewer closes on a click anywhere on its backdrop or image.
bool orvantis::lightboxEventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::MouseButtonPress)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || !widget->property(kLightboxCloseProperty).toBool())
        return false;
    widget->window()->close();
    return true;
}
