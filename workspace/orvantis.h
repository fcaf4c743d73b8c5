#pragma once

#include <QHash>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QVariantMap>
#include <functional>

#include "net/chatrecords.h"
#include "widgets/chatbubble.h"
#include "widgets/replylibrary.h"

class ApiClient;
class ApiRequest;
class WssClient;
class SessionListItem;
class QuickReplyBar;
class QLocalServer;
class QLocalSocket;
class QSystemTrayIcon;
class QMenu;
class QAction;
class QTimer;
class QScrollArea;
class QDialog;
class SessionListView;
class HistoryDialog;
class DesktopNotifier;
class LoginDialog;
class ReplyCompleter;
class ReplyLibraryDialog;
class MessageStore;
class SessionStore;
class CatchUp;

namespace Ui {
class orvantisClass;
}

// The one main window and the owner of the agent's working state. Its
// facets live in one source file each: bootstrap (orvantis.cpp), session list,
// realtime events, conversation view, composer, transfer (workspace/) and the
// tray and window state (shell/).
class orvantis : public QMainWindow
{
    Q_OBJECT
    // Tests and benchmarks drive private handlers through this class.
    friend class OrvantisTestAccess;

public:
    orvantis();
    ~orvantis() override;

    // Read-only views for tests and benchmarks.
    ApiClient *api() const { return apiClient; }
    WssClient *wss() const { return wssClient; }
    bool isLoggedIn() const { return signIn.active; }
    int currentSession() const;
    const QList<ChatSession> &sessionList() const;
    MessageStore *store() const { return messageStore; }
    const QList<ChatBubble *> &bubbles() const { return conv.bubbles; }
    QList<int> visibleSessionOrder() const; // ids in list order, after filter and sort

public slots:
    void showLoginDialog();
    void onLoginSuccess(const QString &token, const QVariantMap &userInfo);
    void onLogoutClicked();
    void performLogout();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // ---- bootstrap (orvantis.cpp)
    void buildWorkspace();
    void setupConnections();
    void startAgentSession();
    void onChannelInfoReceived(const QVariantMap &channelInfo);
    void resetWorkspace();
    void signOut(bool tellService);
    void expireSignIn(const QString &notice);
    // Why the login dialog opens when the service no longer takes the token.
    static QString expiredNotice();
    void failStart(const QString &notice);
    // A sign-in owns what it opens: beginSignIn makes the scope, ownBySignIn
    // ties a question, menu or dialog to it, endSignIn closes all of it,
    // abandons its requests and link and resets the workspace.
    QObject *beginSignIn();
    void ownBySignIn(QWidget *widget);
    void endSignIn();
    void showNoSession();
    void onAuthExpired();
    void openVendorWebsite();
    void openHistoryDialog();

    // ---- session list (orvantis_sessionlist.cpp)
    void setupSessionList();
    void onSessionPageApplied(int page, int total, int count);
    void showSessionCount(int total, bool inStatus);
    // A session new to the list: a sound, a notification and the status line.
    void announceNewVisitor(const ChatSession &session);
    void rebuildSessionList();
    void selectSession(int sessionId);
    // Opens the session `step` rows away from the open one in list order.
    void openAdjacentSession(int step);
    void onSessionItemRightClicked(int sessionId, const QPoint &globalPos);
    void onNewSession(const QVariantMap &sessionData);
    void onSessionOffline(int sessionId);
    void onSessionInfoReceived(const ChatSession &session);
    void onSessionClosed(int sessionId);
    void onSessionDeleted(int sessionId);
    void showIpContextMenu(const QPoint &pos);

    const ChatSession *findSession(int sessionId) const;

    // ---- realtime events (orvantis_realtime.cpp)
    void onWssConnected();
    void onWssDisconnected(ushort code, const QString &reason);
    void onAuthOk();
    void onAuthFailed(const QString &reason);
    void onChannelJoined(const QString &channel);
    void onChatMessage(const QVariantMap &messageData);
    void showArrivals(); // what arrived since the last time, in one go
    void onChatSent(const QString &msgUuid, int sessionId);
    // An own message changed its delivery: its bubble follows.
    void onOwnMessageChanged(int sessionId, const QString &localId);
    void onSendFailed(int sessionId, const QString &reason);
    void onConnectionError(const QString &error);
    void onApiError(const QString &error);
    void notifyMessage(const QString &title, const QString &body, int sessionId);
    void onToastClicked(int sessionId);
    bool isInForeground() const;
    // What a lost link missed, as catch-up finds it.
    void onSessionCaughtUp(int sessionId, int news);
    void onMissedGrew(int missed, int firstWithNews, bool first);

    // ---- conversation view (orvantis_conversation.cpp)
    ChatBubble *makeChatBubble(const ChatMessage &msg);
    void appendChatBubble(const ChatMessage &msg);
    void showMessages(const QList<ChatMessage> &messages);
    void showStoredMessages(int sessionId); // opened: what the store holds, until the page comes
    void showOlderMessages();
    void clearChatBubbles();
    void removeChatBubble(ChatBubble *bubble);
    void removeChatBubble(const QString &msgUuid);
    void scrollChatToBottom();
    void sendJoinSession(int sessionId);
    void updateChatHeader(const ChatSession &s);
    void onMessagesReceived(int sessionId, const QList<ChatMessage> &list, int total, bool more);
    // The session's newest page replaces its cache and bubbles.
    void showHistoryPage(int sessionId, const QList<ChatMessage> &list);
    ChatBubble *bubbleOf(const QString &localId) const;
    // A session went away: its cache, unsent messages and draft with it.
    void forgetSession(int sessionId, const QString &reason);
    void saveRemark();
    void onRemarkUpdated(int sessionId, const QString &sentText);
    void onRecallClicked(const QString &msgUuid);
    void onRecallReceived(const QString &msgUuid, int sessionId);
    void showImageLightbox(const QString &url);
    bool lightboxEventFilter(QObject *watched, QEvent *event);
    void clearCurrentUnread();
    // Tells the service the agent has read the session, retried a few times:
    // its unread count is what the list shows after a restart.
    void markSessionRead(int sessionId, int attempt = 0);

    // ---- composer (orvantis_composer.cpp)
    void setupComposer();
    void updateSendButtonState();
    void sendTextMessage();
    bool pasteImage();
    void uploadImage(const QByteArray &data, const QString &fileName, int sessionId);
    void onImageUploaded(int sessionId, const QString &url);
    void sendImageMessage(int sessionId, const QString &url);
    void updateSessionPreview(int sessionId, const QString &text);
    void sendOwnMessage(int sessionId, const QString &content, const QString &msgType);
    void showDraft(int sessionId);
    void storeDraft(int sessionId, const QString &text);
    void flushDraft(); // stores the open session's draft if it changed since
    void dropDraft(int sessionId); // its session went: so does its draft

    // ---- transfer (orvantis_transfer.cpp)
    void onTransferClicked();
    void showTransferDialog(const QList<Colleague> &agents, int sessionId);
    void onSessionTransferred(const QVariantMap &data);

    // ---- alerts (orvantis_alerts.cpp)
    void setupAlerts();
    void setQuietMode(bool quiet);
    void showQuietMode(); // the switch in the tray and the window, and the sound
    void onAlertTick();
    // A visitor waits: reminded every remindSecs until answered or opened.
    void noteVisitorWaiting(int sessionId);
    // Answered or opened: no more reminders, and its notification goes.
    void stopReminders(int sessionId);

    // ---- tray and window state (orvantis_tray.cpp)
    void setupTray();
    void setupIpcServer();
    void handleIpcConnection(QLocalSocket *socket);
    void showMainWindow();
    void hideToTray();
    void updateTrayBadge();
    void restoreWindowGeometry();
    void saveWindowGeometry();

    // ---- reply library (orvantis_composer.cpp)
    void setupReplyLibrary();
    void loadReplyLibrary(const QString &agentName);
    void showReplyLibrary(const QList<Reply> &library);
    QString fillReply(const QString &text) const; // a reply's text with its variables filled
    void openReplyLibrary();

    // ---- state: the owners, then each facet's own
    Ui::orvantisClass *ui = nullptr;
    ApiClient *apiClient = nullptr;
    WssClient *wssClient = nullptr;
    SessionStore *sessionStore = nullptr; // the sessions, the open one, what is unread
    MessageStore *messageStore = nullptr; // every session's messages and the outbox
    CatchUp *catchUp = nullptr; // what a lost link missed
    SessionListView *sessionListView = nullptr; // owns the rows on screen
    QuickReplyBar *quickReplyBar = nullptr;
    QPointer<HistoryDialog> historyDialog; // the reception records, while open
    QTimer *draftTimer = nullptr; // runs while the open session's draft is unsaved
    bool workspaceBuilt = false; // the form and its wiring, made at the first sign-in
    bool quitting = false;

    // Who is signed in, and what the sign-in opened.
    struct SignIn
    {
        bool active = false; // signed in, with a live workspace
        QPointer<QObject> scope; // parent of what the current sign-in opened
        QPointer<LoginDialog> dialog;
        QVariantMap profile; // from the token or the sign-in reply
        int agentId = 0;
        int memberId = 0;
        QString channelCode;
        QString lastAccount; // the account of the last sign-in through the dialog
        QString notice; // why the login dialog opens, shown in its error line
    };
    SignIn signIn;

    // Pushed messages not shown yet; shown together a moment later.
    struct Arrivals
    {
        QList<ChatMessage> bubbles; // of the open session
        QMap<int, ChatMessage> announce; // per session, its newest unwatched visitor message
        QSet<int> answered; // sessions the agent side answered
        bool chime = false;
        bool watchedNews = false; // the agent watched visitor messages arrive
    };
    // The conversation view (orvantis_conversation.cpp, orvantis_realtime.cpp).
    struct Conversation
    {
        QList<ChatBubble *> bubbles;
        int hiddenOlder = 0; // messages of the open session older than the first bubble
        bool following = true; // scrolled to its newest
        QTimer *scrollTimer = nullptr;
        Arrivals arrived;
        QTimer *arrivalTimer = nullptr;
        QTimer *sliceTimer = nullptr; // builds the bubbles left over from the last turn
        int joinedSessionId = -1; // the session joined on the current link
    };
    Conversation conv;
    // The conversation shows at most this many bubbles, the newest; older ones
    // come back a page at a time as the agent scrolls up.
    static constexpr int kShownBubbles = 200;

    // The tray, the single-instance socket and the window's hidden state.
    struct Tray
    {
        QLocalServer *ipcServer = nullptr;
        QSystemTrayIcon *icon = nullptr;
        QMenu *menu = nullptr;
        QAction *showAction = nullptr;
        QAction *quitAction = nullptr;
        QAction *notifyAction = nullptr;
        QAction *autoStartAction = nullptr;
        QAction *quietAction = nullptr;
        QAction *desktopNotifyAction = nullptr;
        bool setUp = false;
        bool hintShown = false;
        bool notifyEnabled = true;
        int lastBadgeCount = -1;
        QRect hiddenGeometry; // the normal geometry when last hidden to the tray
        Qt::WindowStates hiddenState; // and whether it was maximised
    };
    Tray tray;

    // Sound, toasts, desktop notifications and reminders.
    struct Alerts
    {
        DesktopNotifier *notifier = nullptr;
        QTimer *ticker = nullptr; // waiting times and reminders, every second
        QHash<int, QDateTime> reminderDue; // waiting visitors not opened since, by next reminder
        int remindSecs = 60; // 0: no reminders
        bool quiet = false;
    };
    Alerts alerts;

    // The signed-in agent's reply library.
    struct Replies
    {
        QList<Reply> library;
        QString agentName; // the agent's name in {客服}
        ReplyCompleter *completer = nullptr;
        QPointer<ReplyLibraryDialog> dialog;
    };
    Replies replyState;
};
