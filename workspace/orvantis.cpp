#include "workspace/orvantis.h"

#include "net/apiclient.h"
#include "net/serviceconfig.h"
#include "net/wssclient.h"
#include "shell/glasswindow.h"
#include "shell/logindialog.h"
#include "ui_orvantis.h"
#include "widgets/desktopnotifier.h"
#include "widgets/displaytext.h"
#include "widgets/historydialog.h"
#include "widgets/notifysound.h"
#include "widgets/toast.h"
#include "workspace/catchup.h"
#include "workspace/messagestore.h"
#include "workspace/sessionlistview.h"
#include "workspace/sessionstore.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QIcon>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

namespace {

// The name shown in the top bar: the profile's name, or "坐席 <id>" when the
// service sent none (or something that is not a name at all).
QString agentDisplayName(const QVariantMap &profile)
{
    const QVariant name = profile.value(QStringLiteral("name"));
    QString text;
    if (name.typeId() == QMetaType::QString)
        text = name.toString();
    if (text.trimmed().isEmpty())
        text = QStringLiteral("坐席 %1").arg(profile.value(QStringLiteral("id")).toInt());
    return text;
}

} // namespace

orvantis::orvantis() : QMainWindow(nullptr), ui(new Ui::orvantisClass)
{
    apiClient = new ApiClient(this);
    wssClient = new WssClient(this);
    messageStore = new MessageStore(wssClient, apiClient, this);
    sessionStore = new SessionStore(apiClient, this);
    sessionStore->setForegroundProbe([this] { return isInForeground(); });
    catchUp = new CatchUp(apiClient, sessionStore, messageStore, this);
    connect(sessionStore, &SessionStore::pageApplied, this, &orvantis::onSessionPageApplied);
    connect(catchUp, &CatchUp::sessionsChanged, this, &orvantis::rebuildSessionList);
    connect(catchUp, &CatchUp::sessionCaughtUp, this, &orvantis::onSessionCaughtUp);
    connect(catchUp, &CatchUp::missedGrew, this, &orvantis::onMissedGrew);
    // Frames that arrive within a moment are shown as one change.
    conv.arrivalTimer = new QTimer(this);
    conv.arrivalTimer->setSingleShot(true);
    conv.arrivalTimer->setInterval(50);
    connect(conv.arrivalTimer, &QTimer::timeout, this, &orvantis::showArrivals);

    apiClient->setBaseUrl(ServiceConfig::restBaseUrl());
    wssClient->setUrl(ServiceConfig::wssUrl());
    wssClient->setHeartbeatIntervalSec(ServiceConfig::heartbeatIntervalSec);
    wssClient->setReconnectBaseDelayMs(ServiceConfig::reconnectBaseDelayMs);
    wssClient->setReconnectMaxDelayMs(ServiceConfig::reconnectMaxDelayMs);

    hide();
    setAttribute(Qt::WA_ShowWithoutActivating);

    if (apiClient->restoreToken().isEmpty()) {
        // The workspace is built once somebody has signed in, and the tray
        // once the dialog is up: asking the desktop for a tray takes a round
        // trip that would keep the dialog from the screen.
        QTimer::singleShot(0, this, &orvantis::setupTray);
        showLoginDialog();
        return;
    }
    setupTray();
    buildWorkspace();

    // Resuming the last sign-in. A token whose payload cannot be read still
    // goes to the service, which has the last word on it.
    signIn.profile = apiClient->userInfoFromToken();
    signIn.agentId = signIn.profile.value(QStringLiteral("id")).toInt();
    signIn.memberId = signIn.profile.value(QStringLiteral("member_id")).toInt();
    QObject *scope = beginSignIn();

    // The first channel record proves the token is still good: only then does
    // the window appear. Both watchers go with this start.
    connect(apiClient, &ApiClient::channelInfoReceived, scope, [this] {
        if (signIn.active || apiClient->token().isEmpty())
            return;
        signIn.active = true;
        showMainWindow();
        if (tray.icon)
            tray.icon->show();
    });
    connect(apiClient, &ApiClient::apiError, scope, [this](const QString &error) {
        if (signIn.active)
            return;
        qDebug() << "[Login] 自动登录阶段请求失败，回退到登录框:" << error;
        failStart(QString());
    });

    startAgentSession();
}

// Handled whichever way the agent signed in: an agent signed in through the
// dialog whose token expires would otherwise keep working in a workspace where
// every request silently fails.
void orvantis::onAuthExpired()
{
    if (signIn.active) {
        expireSignIn(expiredNotice());
        return;
    }
    // A 401 on the sign-in itself is the dialog's business.
    if (signIn.dialog || apiClient->token().isEmpty())
        return;
    // A stored token the service no longer accepts answers every request
    // with 401 alone; without this the program would wait invisibly.
    qDebug() << "[Login] 自动登录令牌已失效，回退到登录框";
    apiClient->clearToken();
    failStart(expiredNotice());
}

QString orvantis::expiredNotice()
{
    return QStringLiteral("登录已过期，请重新登录");
}

// The start from a stored token failed: nothing of it may go on behind the
// login dialog (a link still connecting, page 1 on its way), and a sign-in
// there starts afresh.
void orvantis::failStart(const QString &notice)
{
    endSignIn();
    signIn.notice = notice;
    showLoginDialog();
}

QObject *orvantis::beginSignIn()
{
    delete signIn.scope;
    signIn.scope = new QObject(this);
    // The agent's unsent messages of an earlier run leave once the link is up.
    messageStore->setAgent(signIn.agentId);
    return signIn.scope;
}

void orvantis::ownBySignIn(QWidget *widget)
{
    if (!signIn.scope) {
        widget->deleteLater();
        return;
    }
    // Closed without answering: no question, menu or dialog of a sign-in that
    // ended can act for the next one.
    connect(signIn.scope, &QObject::destroyed, widget, [widget] {
        widget->hide();
        widget->deleteLater();
    });
}

void orvantis::endSignIn()
{
    signIn.active = false;
    conv.joinedSessionId = -1;
    flushDraft(); // the agent's words stay with the account
    // Questions, menus and dialogs it opened, and whatever they would do.
    delete signIn.scope;
    dismissAllToasts();
    alerts.reminderDue.clear();
    if (alerts.notifier)
        alerts.notifier->withdrawAll();
    // Nothing asked for by this sign-in may land in the next one.
    apiClient->abortAllRequests();
    wssClient->disconnectFromServer();
    // The next sign-in may be another agent: nothing of this one may stay on
    // screen or in the caches.
    resetWorkspace();
    // Nobody is signed in: no badge, no icon, no hint about the tray.
    if (tray.icon)
        tray.icon->hide();
    hide();
}

// The service no longer accepts this sign-in: back to the login dialog,
// with `notice` in its error line.
void orvantis::expireSignIn(const QString &notice)
{
    apiClient->clearToken();
    endSignIn();
    signIn.notice = notice;
    showLoginDialog();
}

orvantis::~orvantis()
{
    // The list view filters events of widgets that die before it does.
    flushDraft();
    delete signIn.dialog; // parentless, and of no use without the window
    delete std::exchange(sessionListView, nullptr);
    dismissAllToasts();
    if (signIn.active)
        saveWindowGeometry();
    if (tray.icon) {
        tray.icon->setContextMenu(nullptr);
        tray.icon->hide();
    }
    wssClient->disconnectFromServer();
    delete ui;
}

void orvantis::buildWorkspace()
{
    if (workspaceBuilt)
        return;
    workspaceBuilt = true;
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/img/favicon.png")));
    setupConnections();
    setupAlerts();
    restoreWindowGeometry();
    // Where the keys go once the window first comes up.
    ui->messageEdit->setFocus(Qt::OtherFocusReason);
}

void orvantis::setupConnections()
{
    // The top bar serves as the title bar: drag handle, icon and window buttons.
    applyGlassFrameless(this, true);
    new DragController(this, ui->topBar);
    auto *icon = new QLabel(ui->topBar);
    icon->setFixedSize(22, 22);
    icon->setPixmap(windowIcon().pixmap(20, 20));
    icon->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui->topBarLayout->insertWidget(0, icon);
    ui->topBarLayout->addWidget(new WindowButtonGroup(this, true));

    setupComposer();

    connect(ui->sendBtn, &QPushButton::clicked, this, &orvantis::sendTextMessage);
    connect(ui->messageEdit, &QTextEdit::textChanged, this, &orvantis::updateSendButtonState);
    connect(ui->saveRemarkBtn, &QPushButton::clicked, this, &orvantis::saveRemark);
    connect(ui->closeSessionBtn, &QPushButton::clicked, this, &orvantis::openVendorWebsite);
    connect(ui->logoutBtn, &QPushButton::clicked, this, &orvantis::onLogoutClicked);
    connect(ui->transferBtn, &QPushButton::clicked, this, &orvantis::onTransferClicked);
    connect(ui->historyBtn, &QPushButton::clicked, this, &orvantis::openHistoryDialog);
    connect(ui->searchEdit, &QLineEdit::textChanged, this, &orvantis::rebuildSessionList);
    ui->ipValueLabel->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->ipValueLabel, &QWidget::customContextMenuRequested, this,
            &orvantis::showIpContextMenu);

    connect(apiClient, &ApiClient::channelInfoReceived, this, &orvantis::onChannelInfoReceived);
    connect(apiClient, &ApiClient::messagesReceived, this, &orvantis::onMessagesReceived);
    // Remark and upload replies are followed per request (saveRemark,
    // uploadImage): the reply alone says neither which text was saved nor
    // which visitor a picture was meant for.
    connect(apiClient, &ApiClient::sessionClosed, this, &orvantis::onSessionClosed);
    connect(apiClient, &ApiClient::sessionDeleted, this, &orvantis::onSessionDeleted);
    connect(apiClient, &ApiClient::sessionInfoReceived, this, &orvantis::onSessionInfoReceived);
    connect(apiClient, &ApiClient::apiError, this, &orvantis::onApiError);
    connect(apiClient, &ApiClient::authExpired, this, &orvantis::onAuthExpired);
    connect(apiClient, &ApiClient::logoutSuccess, this, &orvantis::performLogout);

    connect(wssClient, &WssClient::connected, this, &orvantis::onWssConnected);
    connect(wssClient, &WssClient::disconnected, this, &orvantis::onWssDisconnected);
    connect(wssClient, &WssClient::authOk, this, &orvantis::onAuthOk);
    connect(wssClient, &WssClient::authFailed, this, &orvantis::onAuthFailed);
    connect(wssClient, &WssClient::channelJoined, this, &orvantis::onChannelJoined);
    connect(wssClient, &WssClient::chatMessage, this, &orvantis::onChatMessage);
    connect(wssClient, &WssClient::chatSent, this, &orvantis::onChatSent);
    connect(messageStore, &MessageStore::messageChanged, this, &orvantis::onOwnMessageChanged);
    connect(messageStore, &MessageStore::messageDiscarded, this,
            [this](int sessionId, const QString &localId) {
                if (sessionId == currentSession())
                    removeChatBubble(bubbleOf(localId));
            });
    connect(wssClient, &WssClient::serviceError, messageStore, &MessageStore::onServiceError);
    // The conversation follows the newest while the agent is at the bottom,
    // however late the layout settles; at the top, older messages come in.
    QScrollBar *chatBar = ui->chatScrollArea->verticalScrollBar();
    connect(chatBar, &QScrollBar::valueChanged, this, [this, chatBar](int value) {
        conv.following = value >= chatBar->maximum() - 40;
        if (value == chatBar->minimum() && chatBar->maximum() > chatBar->minimum())
            showOlderMessages();
    });
    connect(chatBar, &QScrollBar::rangeChanged, this, [this, chatBar](int, int max) {
        if (conv.following)
            chatBar->setValue(max);
    });
    connect(messageStore, &MessageStore::joinWanted, this, &orvantis::sendJoinSession);
    connect(messageStore, &MessageStore::sendFailed, this, &orvantis::onSendFailed);
    connect(wssClient, &WssClient::recallReceived, this, &orvantis::onRecallReceived);
    connect(wssClient, &WssClient::connectionError, this, &orvantis::onConnectionError);
    connect(wssClient, &WssClient::newSession, this, &orvantis::onNewSession);
    connect(wssClient, &WssClient::sessionOffline, this, &orvantis::onSessionOffline);
    connect(wssClient, &WssClient::sessionTransferred, this, &orvantis::onSessionTransferred);

    setupSessionList();

    ui->messageEdit->installEventFilter(this);
    ui->sendBtn->setEnabled(false);
    // Bubbles are only ever added below, above a stretch that takes the
    // spare height: a new one moves none of the others, so only it is painted.
    ui->chatContentLayout->addStretch();
    ui->chatContentWidget->setAttribute(Qt::WA_StaticContents);
    // The column grows before it lays its bubbles out: otherwise a new bubble
    // first squeezes all the others into the old height, and the scroll area
    // then stretches them back, a resize of every bubble twice per change.
    ui->chatContentLayout->setSizeConstraint(QLayout::SetMinimumSize);
    // A click in the conversation (a link, a picture) leaves the keyboard
    // with the editor, where the agent's next keys belong.
    ui->chatScrollArea->setFocusPolicy(Qt::NoFocus);
    ui->chatContentWidget->setStyleSheet(
        QStringLiteral("QWidget#chatContentWidget { background-color: transparent; }"));
}

void orvantis::showLoginDialog()
{
    if (signIn.dialog)
        return;

    // Without a nested loop: whatever happens meanwhile (late replies, a
    // second start), no caller waits on the dialog.
    auto *dialog = new LoginDialog(apiClient);
    signIn.dialog = dialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::ApplicationModal);
    if (!signIn.lastAccount.isEmpty())
        dialog->setAccount(signIn.lastAccount);
    dialog->showNotice(std::exchange(signIn.notice, QString()));
    connect(dialog, &LoginDialog::loginSuccess, this,
            [this, dialog](const QString &token, const QVariantMap &info) {
                signIn.lastAccount = dialog->account();
                onLoginSuccess(token, info);
            });
    connect(dialog, &QDialog::finished, this, [this](int result) {
        // Queued: a dialog shown from the constructor may be closed before
        // the event loop has started, and a direct quit would be lost.
        if (result != QDialog::Accepted && !signIn.active)
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    dialog->show();
}

void orvantis::onLoginSuccess(const QString &token, const QVariantMap &info)
{
    Q_UNUSED(token); // the client already holds it
    signIn.profile = info;
    signIn.agentId = info.value(QStringLiteral("id")).toInt();
    signIn.memberId = info.value(QStringLiteral("member_id")).toInt();
    setupTray();
    buildWorkspace();
    beginSignIn();
    signIn.active = true;
    conv.joinedSessionId = -1;

    startAgentSession();

    showMainWindow();
    if (tray.icon)
        tray.icon->show();
}

void orvantis::startAgentSession()
{
    // Loaded now, ahead of the first message it announces.
    NotifySound::instance()->setEnabled(tray.notifyEnabled && !alerts.quiet);

    apiClient->sendPostRequest(QStringLiteral("/agent/online"), QJsonObject());

    ui->merchantNameLabel->setText(
        QStringLiteral("<span style='font-size:15px;font-weight:bold;color:#2f3441;'>%1</span>")
            .arg(agentDisplayName(signIn.profile).toHtmlEscaped()));
    loadReplyLibrary(agentDisplayName(signIn.profile));

    apiClient->sendGetRequest(QStringLiteral("/agent/channel"));
}

void orvantis::onChannelInfoReceived(const QVariantMap &info)
{
    // A late reply after a logout must not open a link for nobody.
    if (apiClient->token().isEmpty())
        return;

    signIn.channelCode = info.value(QStringLiteral("channel_code")).toString();
    if (signIn.channelCode.isEmpty())
        signIn.channelCode = info.value(QStringLiteral("code")).toString();

    if (signIn.channelCode.isEmpty()) {
        // Without a code there is no channel to subscribe to: say so and stay
        // offline rather than pretend the workspace is live.
        qDebug() << "[UI] 渠道信息缺少渠道编码:" << info;
        ui->onlineStatusLabel->setText(DisplayText::linkStateHtml(false));
        ui->statusLabel->setText(QStringLiteral("渠道信息缺少渠道编码"));
        return;
    }

    wssClient->connectToServer(apiClient->token(), QStringLiteral("agent"));
    sessionStore->loadFirstPage();
}

void orvantis::onLogoutClicked()
{
    if (!signIn.active)
        return;
    // Asked without a nested loop, and answered only for the sign-in that
    // asked: an expiry meanwhile closes the box unanswered.
    auto *box = new QMessageBox(QMessageBox::Question, QStringLiteral("退出登录"),
                                QStringLiteral("确定要退出当前登录吗？"),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    ownBySignIn(box);
    connect(box, &QMessageBox::finished, signIn.scope, [this, box] {
        if (box->result() == QMessageBox::Yes)
            signOut(true);
    });
    box->open();
}

void orvantis::performLogout()
{
    signOut(false);
}

void orvantis::signOut(bool tellService)
{
    if (!signIn.active)
        return;

    // Replies still on their way belong to this sign-in: a page, a session
    // record or a remark must not refill the workspace of the next agent.
    endSignIn();
    if (tellService) {
        // The service still hears of the sign-out, but its answer is not
        // awaited: arriving after the next sign-in it would clear that
        // agent's token.
        apiClient->sendPostRequest(QStringLiteral("/auth/logout"), QJsonObject())->abandon();
    }
    apiClient->clearToken();
    ui->statusLabel->setText(QStringLiteral("已退出登录"));

    showLoginDialog();
}

void orvantis::resetWorkspace()
{
    // The reception records, and a conversation opened from them.
    if (historyDialog)
        historyDialog->close();
    conv.arrivalTimer->stop();
    if (conv.sliceTimer)
        conv.sliceTimer->stop();
    conv.arrived = Arrivals();
    catchUp->cancel(); // retries of a catch-up end with the sign-in
    sessionStore->clear();
    messageStore->clear(); // what is unsent stays stored for the agent's next sign-in

    showNoSession();
    // The next agent starts with an unfiltered list.
    {
        const QSignalBlocker blocker(ui->searchEdit);
        ui->searchEdit->clear();
    }
    rebuildSessionList();

    showSessionCount(0, false);
    updateSendButtonState();
}

// The conversation panel without a session: nothing of the session shown
// before stays, least of all its remark, which "保存" would write elsewhere.
void orvantis::showNoSession()
{
    showDraft(0);
    sessionStore->setOpenSession(0);
    clearChatBubbles();
    ui->chatAvatarLabel->setText(QStringLiteral("?"));
    ui->chatNameLabel->setText(QStringLiteral(
        "<span style='font-size:14px;font-weight:bold;color:#2f3441;'>选择一个会话</span>"));
    ui->chatStatusDot->setText(
        QStringLiteral("<span style='font-size:12px;color:#8b93a5;'>● 离线</span>"));
    ui->ipValueLabel->setText(QStringLiteral("-"));
    ui->remarkEdit->clear();
    updateSendButtonState();
}

void orvantis::closeEvent(QCloseEvent *event)
{
    if (!quitting && signIn.active && tray.icon && !QCoreApplication::closingDown()) {
        event->ignore();
        hideToTray();
        return;
    }
    wssClient->disconnectFromServer();
    event->accept();
    QCoreApplication::quit();
}

void orvantis::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        clearCurrentUnread();
}

void orvantis::openVendorWebsite()
{
    QDesktopServices::openUrl(QUrl(ServiceConfig::vendorWebsiteUrl(), QUrl::TolerantMode));
}

void orvantis::openHistoryDialog()
{
    if (historyDialog) {
        historyDialog->activateWindow();
        return;
    }
    // Window-modal without a nested loop: a sign-out or an expired sign-in
    // closes it from resetWorkspace, and no caller is left waiting on it.
    historyDialog = new HistoryDialog(this, apiClient, signIn.memberId);
    historyDialog->setAttribute(Qt::WA_DeleteOnClose);
    historyDialog->open();
}
