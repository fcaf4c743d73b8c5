// The composer: the editor and its keys, the send button, quick replies,
// pasted images, local echoes of sent messages, and one draft per session.

#include "workspace/orvantis.h"

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "ui_orvantis.h"
#include "widgets/quickreplybar.h"
#include "widgets/replycompleter.h"
#include "widgets/replylibrarydialog.h"
#include "widgets/sessionlistitem.h"
#include "workspace/sessionlistview.h"

#include <QBuffer>
#include <QClipboard>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMimeData>
#include <QPromise>
#include <QSettings>
#include <QThreadPool>
#include <QTimer>

namespace {

constexpr qint64 maxImageBytes = 5 * 1024 * 1024;

const QStringList &imageSuffixes()
{
    static const QStringList suffixes {QStringLiteral("png"),  QStringLiteral("jpg"),
                                       QStringLiteral("jpeg"), QStringLiteral("gif"),
                                       QStringLiteral("webp"), QStringLiteral("bmp")};
    return suffixes;
}

// Drafts are kept per agent and session in the user's settings, so that
// they survive a restart and never show for another agent.
QString draftKey(int agentId, int sessionId)
{
    return QStringLiteral("drafts/%1/%2").arg(agentId).arg(sessionId);
}

} // namespace

void orvantis::setupComposer()
{
    quickReplyBar = new QuickReplyBar(this);
    ui->quickReplyLayout->addWidget(quickReplyBar);
    connect(quickReplyBar, &QuickReplyBar::quickReplyClicked, this, [this](const QString &text) {
        ui->messageEdit->setPlainText(fillReply(text));
        ui->messageEdit->moveCursor(QTextCursor::End);
        ui->messageEdit->setFocus(Qt::OtherFocusReason);
    });
    setupReplyLibrary();
    // Drafts are written a few seconds after the typing, not per keystroke
    // (each write rewrites the whole settings file), and at once on a switch,
    // a sign-out and quitting.
    draftTimer = new QTimer(this);
    draftTimer->setSingleShot(true);
    draftTimer->setInterval(3000);
    connect(draftTimer, &QTimer::timeout, this, [this] {
        if (currentSessionId > 0)
            storeDraft(currentSessionId, ui->messageEdit->toPlainText());
    });
    connect(ui->messageEdit, &QTextEdit::textChanged, this, [this] {
        if (currentSessionId > 0)
            draftTimer->start();
    });
}

void orvantis::flushDraft()
{
    if (!draftTimer || !draftTimer->isActive())
        return;
    draftTimer->stop();
    if (currentSessionId > 0)
        storeDraft(currentSessionId, ui->messageEdit->toPlainText());
}

void orvantis::dropDraft(int sessionId)
{
    if (sessionId == currentSessionId && draftTimer)
        draftTimer->stop();
    QSettings().remove(draftKey(agentId, sessionId));
}

void orvantis::updateSendButtonState()
{
    ui->sendBtn->setEnabled(currentSessionId > 0
                            && !ui->messageEdit->toPlainText().trimmed().isEmpty()
                            && wssClient->isConnected() && wssClient->isAuthenticated());
}

void orvantis::storeDraft(int sessionId, const QString &text)
{
    QSettings settings;
    if (text.trimmed().isEmpty())
        settings.remove(draftKey(agentId, sessionId));
    else
        settings.setValue(draftKey(agentId, sessionId), text);
}

// The editor shows the draft of the session entered (none for 0); the one
// left keeps its own, stored on every change already.
void orvantis::showDraft(int sessionId)
{
    flushDraft(); // what was typed for the session being left
    const QString draft
        = sessionId > 0 ? QSettings().value(draftKey(agentId, sessionId)).toString() : QString();
    {
        const QSignalBlocker blocker(ui->messageEdit);
        ui->messageEdit->setPlainText(draft);
        ui->messageEdit->moveCursor(QTextCursor::End);
    }
    updateSendButtonState();
}

bool orvantis::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->messageEdit && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (replyCompleter && replyCompleter->handleKey(key))
            return true; // the reply search takes Enter, Tab, Up, Down and Escape
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ControlModifier) {
                ui->messageEdit->textCursor().insertText(QStringLiteral("\n"));
                return true;
            }
            if (ui->messageEdit->toPlainText().trimmed().isEmpty())
                return false;
            sendTextMessage();
            return true;
        }
        if (key->matches(QKeySequence::Paste) && pasteImage())
            return true;
    }
    return lightboxEventFilter(watched, event) || QMainWindow::eventFilter(watched, event);
}

void orvantis::echoOwnMessage(int sessionId, const QString &content, const QString &msgType)
{
    if (sessionId != currentSessionId)
        return;
    ChatMessage echo;
    echo.sessionId = sessionId;
    echo.senderType = QStringLiteral("agent");
    echo.content = content;
    echo.msgType = msgType;
    echo.createdAt = QDateTime::currentDateTime();
    appendChatBubble(echo);
    pendingEchoes.append({sessionId, chatBubbles.last()});
    scrollChatToBottom();
}

void orvantis::sendTextMessage()
{
    if (currentSessionId <= 0)
        return;
    const QString text = ui->messageEdit->toPlainText().trimmed();
    if (text.isEmpty())
        return;
    if (!wssClient->isConnected() || !wssClient->isAuthenticated()) {
        ui->statusLabel->setText(QStringLiteral("WSS 未连接，消息发送失败，请稍后重试"));
        return;
    }
    const int sessionId = currentSessionId;
    echoOwnMessage(sessionId, text, QStringLiteral("text"));
    sendJoinSession(sessionId);
    wssClient->sendChat(sessionId, text, QStringLiteral("text"));
    ui->messageEdit->clear(); // also forgets the stored draft
    updateSendButtonState();
    updateSessionPreview(sessionId, text);
}

bool orvantis::pasteImage()
{
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    if (!mime)
        return false;
    if (mime->hasImage()) {
        const QImage image = qvariant_cast<QImage>(mime->imageData());
        if (!image.isNull()) {
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "PNG");
            const QString name
                = QStringLiteral("paste_%1.png").arg(QDateTime::currentMSecsSinceEpoch());
            if (uploadImage(bytes, name))
                return true;
        }
    }
    for (const QUrl &url : mime->urls()) {
        if (!url.isLocalFile())
            continue;
        const QFileInfo info(url.toLocalFile());
        if (!imageSuffixes().contains(info.suffix().toLower()))
            continue;
        QFile file(info.filePath());
        // Nothing over the limit is read whole only to be refused.
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray data
            = file.size() > maxImageBytes ? file.read(maxImageBytes + 1) : file.readAll();
        if (uploadImage(data, info.fileName()))
            return true;
    }
    return false;
}

bool orvantis::uploadImage(const QByteArray &data, const QString &fileName)
{
    if (data.isEmpty())
        return false;
    if (data.size() > maxImageBytes) {
        ui->statusLabel->setText(QStringLiteral("图片超过 5MB，无法发送"));
        return true;
    }
    if (currentSessionId <= 0) {
        ui->statusLabel->setText(QStringLiteral("请先选择会话再发送图片"));
        return true;
    }
    ui->statusLabel->setText(QStringLiteral("图片上传中..."));
    // The picture belongs to the visitor it was pasted for, whichever session
    // is open when the upload ends.
    const int sessionId = currentSessionId;
    ApiRequest *upload = apiClient->uploadChatImage(data, fileName);
    connect(upload, &ApiRequest::succeeded, this, [this, upload, sessionId] {
        onImageUploaded(sessionId,
                        upload->data().toObject().value(QStringLiteral("url")).toString());
    });
    return true;
}

void orvantis::onImageUploaded(int sessionId, const QString &url)
{
    ui->statusLabel->setText(QStringLiteral("图片上传成功"));
    sendImageMessage(sessionId, url);
}

void orvantis::sendImageMessage(int sessionId, const QString &url)
{
    if (sessionId <= 0 || url.isEmpty())
        return;
    if (!wssClient->isConnected() || !wssClient->isAuthenticated()) {
        ui->statusLabel->setText(QStringLiteral("WSS 未连接，图片发送失败"));
        return;
    }
    echoOwnMessage(sessionId, url, QStringLiteral("image"));
    wssClient->sendChat(sessionId, url, QStringLiteral("image"));
    updateSessionPreview(sessionId, QStringLiteral("[图片]"));
}

void orvantis::updateSessionPreview(int sessionId, const QString &text)
{
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    patchSession(sessionId, [&](ChatSession &s) {
        s.lastMessage = text;
        s.lastTime = now;
    });
    // In place: the list is not re-sorted under the agent's hands.
    if (SessionListItem *row = sessionListView->row(sessionId))
        row->updateLastMessage(text, now);
}

// ---- the reply library: the strip, "/" search in the editor, the dialog

void orvantis::setupReplyLibrary()
{
    connect(quickReplyBar, &QuickReplyBar::manageRequested, this, &orvantis::openReplyLibrary);
    replyCompleter = new ReplyCompleter(ui->messageEdit);
    replyCompleter->setFiller([this](const QString &text) { return fillReply(text); });
}

// Each sign-in shows its own agent's library, named `agentName` in {客服}.
// A full library takes longer than a frame to read: it is read on a worker,
// and lands only while the sign-in that asked for it lasts.
void orvantis::loadReplyLibrary(const QString &agentName)
{
    replyAgentName = agentName;
    showReplyLibrary({}); // nothing of the agent signed in before
    auto promise = std::make_shared<QPromise<QList<Reply>>>();
    promise->start();
    promise->future().then(signInScope.data(),
                           [this](const QList<Reply> &loaded) { showReplyLibrary(loaded); });
    QThreadPool::globalInstance()->start([promise, agent = agentId] {
        promise->addResult(ReplyLibrary::load(agent));
        promise->finish();
    });
}

void orvantis::showReplyLibrary(const QList<Reply> &library)
{
    replies = library;
    quickReplyBar->setReplies(replies);
    replyCompleter->setReplies(replies);
}

QString orvantis::fillReply(const QString &text) const
{
    const ChatSession *session = findSession(currentSessionId);
    return fillReplyVariables(text,
                              replyVariables(session ? session->displayName() : QString(),
                                             replyAgentName, QDateTime::currentDateTime()));
}

void orvantis::openReplyLibrary()
{
    if (replyLibraryDialog && replyLibraryDialog->isVisible()) {
        replyLibraryDialog->activateWindow();
        return;
    }
    // Edits a copy; the library changes only on "保存", and only for the
    // sign-in that opened it (a sign-out closes it unanswered).
    auto *dialog = new ReplyLibraryDialog(replies, this);
    replyLibraryDialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    ownBySignIn(dialog);
    const int owner = agentId;
    connect(dialog, &ReplyLibraryDialog::repliesAccepted, this,
            [this, owner](const QList<Reply> &edited) {
                if (owner != agentId || !loggedIn)
                    return;
                if (!ReplyLibrary::save(agentId, edited))
                    ui->statusLabel->setText(QStringLiteral("快捷回复保存失败"));
                showReplyLibrary(edited);
            });
    dialog->open();
}
