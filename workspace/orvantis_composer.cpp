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
#include "workspace/messagestore.h"
#include "workspace/sessionlistview.h"
#include "workspace/sessionstore.h"

#include <QBuffer>
#include <QClipboard>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QMimeData>
#include <QPromise>
#include <QSettings>
#include <QThreadPool>
#include <QTimer>

#include <memory>
#include <type_traits>

namespace {

constexpr qint64 maxImageBytes = 5 * 1024 * 1024;
constexpr qint64 maxPastedPixels = 50 * 1000 * 1000;

const QStringList &imageSuffixes()
{
    static const QStringList suffixes {QStringLiteral("png"),  QStringLiteral("jpg"),
                                       QStringLiteral("jpeg"), QStringLiteral("gif"),
                                       QStringLiteral("webp"), QStringLiteral("bmp")};
    return suffixes;
}

// Runs `work` on a worker and hands its result to `done` on the GUI thread,
// unless `owner` is gone by then: the watcher is its child and goes with it.
template<typename Work, typename Done> void runOnWorker(QObject *owner, Work work, Done done)
{
    using Result = std::invoke_result_t<Work>;
    auto promise = std::make_shared<QPromise<Result>>();
    promise->start();
    auto *watcher = new QFutureWatcher<Result>(owner);
    QObject::connect(watcher, &QFutureWatcherBase::finished, owner, [watcher, done] {
        watcher->deleteLater();
        done(watcher->result());
    });
    watcher->setFuture(promise->future());
    QThreadPool::globalInstance()->start([promise, work] {
        promise->addResult(work());
        promise->finish();
    });
}

// What was pasted: a picture, its encoded bytes, or a regular file.
struct PastedImage
{
    QImage image;
    QByteArray encoded;
    QString path;
    QString fileName;
};

// Runs on a worker thread: the bytes to upload, at most one beyond the limit
// (so that too much is still told apart), or nothing when unreadable.
QByteArray preparedImage(const PastedImage &pasted)
{
    if (!pasted.path.isEmpty()) {
        QFile file(pasted.path);
        return file.open(QIODevice::ReadOnly) ? file.read(maxImageBytes + 1) : QByteArray();
    }
    QImage image = pasted.image;
    if (!pasted.encoded.isEmpty()) {
        QBuffer source;
        source.setData(pasted.encoded);
        source.open(QIODevice::ReadOnly);
        QImageReader reader(&source);
        const QSize declared = reader.size();
        if (declared.isEmpty() || qint64(declared.width()) * declared.height() > maxPastedPixels)
            return QByteArray();
        image = reader.read();
    }
    if (image.isNull())
        return QByteArray();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
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
        if (currentSession() > 0)
            storeDraft(currentSession(), ui->messageEdit->toPlainText());
    });
    connect(ui->messageEdit, &QTextEdit::textChanged, this, [this] {
        if (currentSession() > 0)
            draftTimer->start();
    });
}

void orvantis::flushDraft()
{
    if (!draftTimer || !draftTimer->isActive())
        return;
    draftTimer->stop();
    if (currentSession() > 0)
        storeDraft(currentSession(), ui->messageEdit->toPlainText());
}

void orvantis::dropDraft(int sessionId)
{
    if (sessionId == currentSession() && draftTimer)
        draftTimer->stop();
    QSettings().remove(draftKey(signIn.agentId, sessionId));
}

// Sending needs a session and a text, not the link: the outbox waits for it.
void orvantis::updateSendButtonState()
{
    ui->sendBtn->setEnabled(currentSession() > 0
                            && !ui->messageEdit->toPlainText().trimmed().isEmpty());
}

void orvantis::storeDraft(int sessionId, const QString &text)
{
    QSettings settings;
    if (text.trimmed().isEmpty())
        settings.remove(draftKey(signIn.agentId, sessionId));
    else
        settings.setValue(draftKey(signIn.agentId, sessionId), text);
}

// The editor shows the draft of the session entered (none for 0); the one
// left keeps its own, stored on every change already.
void orvantis::showDraft(int sessionId)
{
    flushDraft(); // what was typed for the session being left
    QString draft = sessionId > 0
        ? QSettings().value(draftKey(signIn.agentId, sessionId)).toString()
        : QString();
    // Typed before any session was open: it goes with the first one opened.
    const QString typed
        = currentSession() <= 0 && sessionId > 0 ? ui->messageEdit->toPlainText() : QString();
    if (!typed.trimmed().isEmpty())
        draft = draft.trimmed().isEmpty() ? typed : draft + QLatin1Char('\n') + typed;
    {
        const QSignalBlocker blocker(ui->messageEdit);
        ui->messageEdit->setPlainText(draft);
        ui->messageEdit->moveCursor(QTextCursor::End);
    }
    if (!typed.trimmed().isEmpty())
        draftTimer->start(); // stored as the session's draft once it is current
    updateSendButtonState();
}

bool orvantis::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->messageEdit && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (replyState.completer && replyState.completer->handleKey(key))
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

// The agent's message goes to the outbox, which shows it as sending and sends
// it once the link is up; its bubble follows what becomes of it.
void orvantis::sendOwnMessage(int sessionId, const QString &content, const QString &msgType)
{
    const ChatMessage msg = messageStore->send(sessionId, content, msgType);
    if (sessionId == currentSession()) {
        appendChatBubble(msg);
        scrollChatToBottom();
    }
    updateSessionPreview(sessionId,
                         msgType == QLatin1String("image") ? QStringLiteral("[图片]") : content);
}

void orvantis::sendTextMessage()
{
    if (currentSession() <= 0)
        return;
    const QString text = ui->messageEdit->toPlainText().trimmed();
    if (text.isEmpty())
        return;
    // Written while the link is down, it waits in the outbox and leaves
    // when the link is back.
    sendOwnMessage(currentSession(), text, QStringLiteral("text"));
    ui->messageEdit->clear(); // also forgets the stored draft
    updateSendButtonState();
}

bool orvantis::pasteImage()
{
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    if (!mime)
        return false;
    PastedImage pasted;
    if (mime->hasFormat(QStringLiteral("image/png"))) {
        pasted.encoded = mime->data(QStringLiteral("image/png"));
    } else if (mime->hasImage()) {
        pasted.image = qvariant_cast<QImage>(mime->imageData());
    } else {
        for (const QUrl &url : mime->urls()) {
            if (!url.isLocalFile())
                continue;
            const QFileInfo info(url.toLocalFile());
            if (!imageSuffixes().contains(info.suffix().toLower()))
                continue;
            // Only a regular file, wherever its links lead: a device reads
            // for ever and a named pipe blocks whoever opens it.
            const QFileInfo target(info.canonicalFilePath());
            if (!target.isFile()) {
                qDebug() << "[UI] 粘贴的不是普通文件，忽略:" << info.filePath();
                continue;
            }
            pasted.path = target.filePath();
            pasted.fileName = info.fileName();
            break;
        }
    }
    if (pasted.path.isEmpty() && pasted.image.isNull() && pasted.encoded.isEmpty())
        return false;
    if (pasted.fileName.isEmpty())
        pasted.fileName = QStringLiteral("paste_%1.png").arg(QDateTime::currentMSecsSinceEpoch());
    if (currentSession() <= 0) {
        ui->statusLabel->setText(QStringLiteral("请先选择会话再发送图片"));
        return true;
    }
    ui->statusLabel->setText(QStringLiteral("图片处理中..."));
    // Reading, decoding and encoding take long for a big picture: a worker
    // does them, and the result goes to the visitor it was pasted for.
    const int sessionId = currentSession();
    const QString token = apiClient->token();
    runOnWorker(
        this, [pasted] { return preparedImage(pasted); },
        [this, sessionId, token, name = pasted.fileName](const QByteArray &data) {
            // Signed out, or the session gone, while it was prepared.
            if (!signIn.active || apiClient->token() != token || !findSession(sessionId))
                return;
            if (data.isEmpty())
                ui->statusLabel->setText(QStringLiteral("图片无法读取"));
            else
                uploadImage(data, name, sessionId);
        });
    return true;
}

void orvantis::uploadImage(const QByteArray &data, const QString &fileName, int sessionId)
{
    if (data.size() > maxImageBytes) {
        ui->statusLabel->setText(QStringLiteral("图片超过 5MB，无法发送"));
        return;
    }
    ui->statusLabel->setText(QStringLiteral("图片上传中..."));
    // The picture belongs to the visitor it was pasted for, whichever session
    // is open when the upload ends, and only while that session is there.
    ApiRequest *upload = apiClient->uploadChatImage(data, fileName);
    connect(upload, &ApiRequest::succeeded, this,
            [this, upload, sessionId] { onImageUploaded(sessionId, upload->url()); });
}

void orvantis::onImageUploaded(int sessionId, const QString &url)
{
    if (url.trimmed().isEmpty()) {
        ui->statusLabel->setText(QStringLiteral("图片上传失败：服务未返回图片地址"));
        return;
    }
    if (!findSession(sessionId)) {
        ui->statusLabel->setText(QStringLiteral("图片未发送：该会话已不在列表中"));
        return;
    }
    ui->statusLabel->setText(QStringLiteral("图片上传成功"));
    sendImageMessage(sessionId, url);
}

void orvantis::sendImageMessage(int sessionId, const QString &url)
{
    if (sessionId <= 0 || url.isEmpty())
        return;
    sendOwnMessage(sessionId, url, QStringLiteral("image"));
}

void orvantis::updateSessionPreview(int sessionId, const QString &text)
{
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    // The agent answered: the visitor no longer waits.
    sessionStore->patch(sessionId, [&](ChatSession &s) {
        s.lastMessage = text;
        s.lastTime = now;
        s.waitingSince = QDateTime();
    });
    stopReminders(sessionId);
    // In place: the list is not re-sorted under the agent's hands.
    sessionListView->refresh(sessionId);
}

// ---- the reply library: the strip, "/" search in the editor, the dialog

void orvantis::setupReplyLibrary()
{
    connect(quickReplyBar, &QuickReplyBar::manageRequested, this, &orvantis::openReplyLibrary);
    replyState.completer = new ReplyCompleter(ui->messageEdit);
    replyState.completer->setFiller([this](const QString &text) { return fillReply(text); });
}

// Each sign-in shows its own agent's library, named `agentName` in {客服}.
// A full library takes longer than a frame to read: it is read on a worker,
// and lands only while the sign-in that asked for it lasts.
void orvantis::loadReplyLibrary(const QString &agentName)
{
    replyState.agentName = agentName;
    showReplyLibrary({}); // nothing of the agent signed in before
    // The sign-in owns the read: after a sign-out its result reaches no one.
    runOnWorker(
        signIn.scope.data(), [agent = signIn.agentId] { return ReplyLibrary::load(agent); },
        [this](const QList<Reply> &loaded) { showReplyLibrary(loaded); });
}

void orvantis::showReplyLibrary(const QList<Reply> &library)
{
    replyState.library = library;
    quickReplyBar->setReplies(replyState.library);
    replyState.completer->setReplies(replyState.library);
}

QString orvantis::fillReply(const QString &text) const
{
    const ChatSession *session = findSession(currentSession());
    return fillReplyVariables(text,
                              replyVariables(session ? session->displayName() : QString(),
                                             replyState.agentName, QDateTime::currentDateTime()));
}

void orvantis::openReplyLibrary()
{
    if (replyState.dialog && replyState.dialog->isVisible()) {
        replyState.dialog->activateWindow();
        return;
    }
    // Edits a copy; the library changes only on "保存", and only for the
    // sign-in that opened it (a sign-out closes it unanswered).
    auto *dialog = new ReplyLibraryDialog(replyState.library, this);
    replyState.dialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    ownBySignIn(dialog);
    const int owner = signIn.agentId;
    connect(dialog, &ReplyLibraryDialog::repliesAccepted, this,
            [this, owner](const QList<Reply> &edited) {
                if (owner != signIn.agentId || !signIn.active)
                    return;
                if (!ReplyLibrary::save(signIn.agentId, edited))
                    ui->statusLabel->setText(QStringLiteral("快捷回复保存失败"));
                showReplyLibrary(edited);
            });
    dialog->open();
}
