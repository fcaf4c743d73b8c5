#include "widgets/chatdetaildialog.h"
#include "ui_chatdetaildialog.h"

#include "shell/glasswindow.h"

#include "net/apiclient.h"
#include "widgets/chatbubble.h"

#include <QKeyEvent>
#include <QMessageBox>
#include <QScrollBar>
#include <QShortcut>

void showErrorBox(QDialog *dialog, QPointer<QMessageBox> &box, const QString &error)
{
    // Queued: an expired sign-in closes the dialog right after its request
    // fails, and a box on a dialog that is gone would only flash.
    QMetaObject::invokeMethod(
        dialog,
        [dialog, &box, error] {
            if (!dialog->isVisible())
                return;
            if (!box) {
                box = new QMessageBox(QMessageBox::Warning, QStringLiteral("错误"), QString(),
                                      QMessageBox::Ok, dialog);
                box->setAttribute(Qt::WA_DeleteOnClose);
                box->setTextFormat(Qt::PlainText);
            }
            box->setText(error);
            box->open();
        },
        Qt::QueuedConnection);
}

ChatDetailDialog::ChatDetailDialog(ApiClient *api, int sessionId, int memberId, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::ChatDetailDialog)
    , api(api)
    , sessionId(sessionId)
    , memberId(memberId)
{
    ui->setupUi(this);
    applyGlassDialog(this, tr("聊天详情"), ui->mainLayout);

    // Older messages by keyboard: Alt+Up at any time, PageUp once at the top.
    ui->chatScrollArea->installEventFilter(this);
    connect(new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Up), this), &QShortcut::activated, this,
            &ChatDetailDialog::onLoadMore);

    connect(ui->loadMoreBtn, &QPushButton::clicked, this, &ChatDetailDialog::onLoadMore);
    connect(api, &ApiClient::historyReceived, this, &ChatDetailDialog::onHistoryReceived);
    loadHistory();
}

ChatDetailDialog::~ChatDetailDialog()
{
    delete ui;
}

void ChatDetailDialog::loadHistory()
{
    if (!loading)
        requestPage();
}

void ChatDetailDialog::onLoadMore()
{
    if (!hasMore || loading)
        return;
    ++currentPage;
    requestPage();
}

void ChatDetailDialog::requestPage()
{
    loading = true;
    ui->loadMoreBtn->setEnabled(false);
    ApiRequest *request = api->getHistory(sessionId, currentPage);
    // The client announces every history page it receives; only the one
    // that answers this request belongs here.
    connect(request, &ApiRequest::succeeded, this, [this] { ownAnswerNext = true; });
    connect(request, &ApiRequest::failed, this, [this](const QString &error) {
        // The next "加载更多" asks for the failed page again instead of
        // skipping it.
        --currentPage;
        onApiError(error);
    });
}

void ChatDetailDialog::onHistoryReceived(int sessionId, const QList<ChatMessage> &messages,
                                         int total, bool hasMore)
{
    if (!std::exchange(ownAnswerNext, false) || sessionId != this->sessionId)
        return;
    loading = false;
    this->total = total;
    this->hasMore = hasMore;
    // Each page is oldest first and older than everything shown.
    for (auto it = messages.crbegin(); it != messages.crend(); ++it)
        addMessage(*it);
    ui->pageInfoLabel->setText(
        QStringLiteral("<span style='font-size:11px;color:#98a0b2;'>%1</span>")
            .arg(tr("共 %1 条消息").arg(total)));
    ui->loadMoreBtn->setEnabled(hasMore);
    ui->loadMoreBtn->setText(hasMore ? tr("加载更多") : tr("没有更多了"));
}

void ChatDetailDialog::addMessage(const ChatMessage &message)
{
    const bool fromSelf = message.senderType == QLatin1String("agent")
        || message.senderType == QLatin1String("admin");
    auto *bubble = new ChatBubble(message, fromSelf, ui->chatContentWidget);
    bubble->setMemberId(memberId);
    bubble->setTranslateBaseUrl(api->baseUrl());
    // A past conversation: nothing in it can be recalled any more.
    bubble->recallButton()->hide();
    ui->chatContentLayout->insertWidget(0, bubble);
}

void ChatDetailDialog::onApiError(const QString &error)
{
    loading = false;
    ui->loadMoreBtn->setEnabled(true);
    showErrorBox(this, errorBox, error);
}

bool ChatDetailDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->chatScrollArea && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->key() == Qt::Key_PageUp
        && ui->chatScrollArea->verticalScrollBar()->value() == 0 && hasMore && !loading) {
        onLoadMore();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
