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
    bool isLoggedIn() const { return loggedIn; }
    int currentSession() const { return currentSessionId; }
    const QList<ChatSession> &sessionList() const { return sessions; }
    MessageStore *store() const { return messageStore; }
    const QList<ChatBubble *> &bubbles() const { return chatBubbles; }
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
    void loadSessionsPage(int page, bool append, int attempt = 0);
    void onSessionsReceived(const QList<ChatSession> &list, int total, bool more);
    void onSessionListScrolled();
    void rebuildSessionList();
    void selectSession(int sessionId);
    // Opens the session `step` rows away from the open one in list order.
    void openAdjacentSession(int step);
    void onSessionItemRightClicked(SessionListItem *item);
    void onNewSession(const QVariantMap &sessionData);
    void onSessionOffline(int sessionId);
    void onSessionInfoReceived(const ChatSession &session);
    void onSessionClosed(int sessionId);
    void onSessionDeleted(int sessionId);
    void showIpContextMenu(const QPoint &pos);

    // ---- the session table: `sessions` and `sessionMap` are written only here
    const ChatSession *findSession(int sessionId) const;
    // Applies `change` to the session in both containers; false when unknown.
    bool patchSession(int sessionId, const std::function<void(ChatSession &)> &change);
    // Adds a session not listed yet (at the front or the back); false when known.
    bool addSession(const ChatSession &session, bool atFront);
    void dropSession(int sessionId);
    void clearSessions();

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
    void catchUpAfterReconnect();
    void requestCatchUpPage(int page, int limit, int attempt);
    void applyCatchUpPage(const QList<ChatSession> &list);
    void requestCatchUpMessages(int sessionId, int attempt);
    // Merges a session's newest messages into its cache; returns how many of
    // them are unread news.
    int applyCaughtUpMessages(int sessionId, const QList<ChatMessage> &page);

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
    void onAgentListReceived(const QVariantList &agents);
    void showTransferDialog(const QVariantList &agents, int sessionId);
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

    // ---- tray and window state (shell/orvantis_tray.cpp)
    void setupTray();
    void setupIpcServer();
    void handleIpcConnection(QLocalSocket *socket);
    void showMainWindow();
    void hideToTray();
    void updateTrayBadge();
    void restoreWindowGeometry();
    void saveWindowGeometry();

    // ---- members, in the order the window declares its state
    Ui::orvantisClass *ui = nullptr;
    ApiClient *apiClient = nullptr;
    WssClient *wssClient = nullptr;
    QVariantMap userInfo;
    QVariantMap channelInfo;
    QList<ChatSession> sessions;
    QMap<int, ChatSession> sessionMap;
    MessageStore *messageStore = nullptr; // every session's messages and the outbox
    QList<ChatBubble *> chatBubbles;
    int hiddenOlder = 0; // messages of the open session older than the first bubble
    bool chatFollowing = true; // the conversation is scrolled to its newest
    // The conversation shows at most this many bubbles, the newest; older ones
    // come back a page at a time as the agent scrolls up.
    static constexpr int kShownBubbles = 200;
    // Pushed messages not shown yet; shown together a moment later.
    struct Arrivals
    {
        QList<ChatMessage> bubbles; // of the open session
        QMap<int, ChatMessage> announce; // per session, its newest unwatched visitor message
        QSet<int> answered; // sessions the agent side answered
        bool chime = false;
        bool watchedNews = false; // the agent watched visitor messages arrive
    };
    Arrivals arrived;
    QTimer *arrivalTimer = nullptr;
    QTimer *bubbleSliceTimer = nullptr; // builds the bubbles left over from the last turn
    QuickReplyBar *quickReplyBar = nullptr;
    int currentSessionId = 0;
    int joinedSessionId = -1;
    int agentId = 0;
    int memberId = 0;
    QString channelCode;
    bool loggedIn = false;
    int currentPage = 1;
    int pageSize = 50;
    bool hasMore = true;
    bool loadingSessions = false;
    QLocalServer *ipcServer = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QAction *showAction = nullptr;
    QAction *quitAction = nullptr;
    bool quitting = false;
    bool trayHintShown = false;
    bool traySetUp = false;
    QPointer<LoginDialog> loginDialog;
    QPointer<QObject> signInScope; // parent of what the current sign-in opened
    QAction *notifyAction = nullptr;
    QAction *autoStartAction = nullptr;
    bool notifyEnabled = true;
    int lastBadgeCount = -1;

    // ---- private helpers of the facets (each facet adds its own below)
    QScrollArea *sessionScrollArea = nullptr; // found once by setupSessionList
    SessionListView *sessionListView = nullptr; // owns the rows on screen
    QPointer<ApiRequest> pageRequest; // the session page in flight
    int pageLoads = 0; // counts page loads: a retry of page 1 yields to any later load
    bool linkLost = false; // the realtime link dropped since the last authentication
    bool catchUpReplyNext = false; // the next session page is a catch-up refresh
    int catchUpRound = 0; // counts links caught up; a retry belongs to its own round
    int catchUpMissed = 0; // unread news found by the current round
    int catchUpFirstWithNews = 0;
    bool transferListPending = false; // an agent list was asked for by "转接"
    int transferSessionId = 0; // the session "转接" was pressed on
    QPointer<HistoryDialog> historyDialog; // the reception records, while open
    QString lastAccount; // the account of the last sign-in through the dialog
    QString loginNotice; // why the login dialog opens, shown in its error line
    QTimer *chatScrollTimer = nullptr;
    QTimer *draftTimer = nullptr; // runs while the open session's draft is unsaved
    bool workspaceBuilt = false; // the form and its wiring, made at the first sign-in
    DesktopNotifier *desktopNotifier = nullptr;
    QTimer *alertTicker = nullptr; // waiting times and reminders, every second
    QHash<int, QDateTime> reminderDue; // waiting visitors not opened since, by next reminder
    int remindSecs = 60; // 0: no reminders
    bool quietMode = false;
    QAction *quietAction = nullptr;
    QAction *desktopNotifyAction = nullptr;

    // ---- reply library (orvantis_composer.cpp)
    void setupReplyLibrary();
    void loadReplyLibrary(const QString &agentName);
    void showReplyLibrary(const QList<Reply> &library);
    QString fillReply(const QString &text) const; // a reply's text with its variables filled
    void openReplyLibrary();
    QList<Reply> replies; // the signed-in agent's library
    QString replyAgentName; // the agent's name in {客服}
    ReplyCompleter *replyCompleter = nullptr;
    QPointer<ReplyLibraryDialog> replyLibraryDialog;
    QRect hiddenGeometry; // the normal geometry when last hidden to the tray
    Qt::WindowStates hiddenState; // and whether it was maximised
};
