#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "net/chatrecords.h"

class ApiClient;
class ApiRequest;
class QTimer;
class WssClient;

// The one owner of messages: the cache of every session's recent messages,
// the agent's outbox, the confirmations still awaited, what arrives while a
// history page is on its way, the duplicate test and merging.
//
// The outbox sends one chat at a time. The service answers a chat with
// "chat_sent" (only a uuid and a session) or refuses it with an "error"
// that names nothing; with a single chat on the link the answer cannot go to
// the wrong message. A ping sent just before the chat marks where its answer
// begins: an "error" that comes before that ping's pong answers an earlier
// frame (a recall, a join). A chat whose answer never came (the link
// dropped, or 30 s passed) is looked for among its session's newest stored
// messages before it is sent again, so that a visitor never gets it twice.
class MessageStore : public QObject
{
    Q_OBJECT

public:
    MessageStore(WssClient *link, ApiClient *api, QObject *parent = nullptr);
    ~MessageStore() override;

    // ---- the cache
    // The session's messages in time order, the agent's unsent ones included.
    QList<ChatMessage> messages(int sessionId) const { return m_cache.value(sessionId); }
    bool isCached(int sessionId) const { return m_cache.contains(sessionId); }
    // A pushed message; false for a repeat, which changes nothing.
    bool addPushed(const ChatMessage &msg);
    // The session's newest page is on its way: what is pushed meanwhile stays.
    void expectPage(int sessionId);
    // The newest page replaces what the session holds; the agent's own
    // messages the page does not hold yet and late arrivals stay, in time order.
    QList<ChatMessage> applyPage(int sessionId, const QList<ChatMessage> &page);
    // Merges a page into the cache; returns the messages that were new.
    QList<ChatMessage> merge(int sessionId, const QList<ChatMessage> &page);
    // The newest message with `uuid` goes; false when there was none.
    bool remove(int sessionId, const QString &uuid);
    // The session went (closed, transferred, deleted): its messages go, and
    // what the agent wrote for it and has not sent fails with `reason`.
    void dropSession(int sessionId, const QString &reason);
    // The session is open or was just used: it keeps its messages longest.
    void touch(int sessionId);
    void setOpenSession(int sessionId);
    // Sessions and messages kept at most; older ones are fetched again when opened.
    void setLimits(int sessions, int messagesPerSession);
    int cachedMessageCount() const;

    // ---- the outbox
    // The agent signed in: their unsent messages of an earlier run come back.
    void setAgent(int agentId);
    // Sign-out: the cache goes, the outbox stays stored for the next sign-in.
    void clear();
    // A message of the agent's: shown at once as sending, sent in order once
    // the link is ready. Returns it.
    ChatMessage send(int sessionId, const QString &content, const QString &msgType);
    void retry(const QString &localId); // a failed message is sent again
    void discard(const QString &localId); // a failed message is given up
    // The link is authenticated and the channel joined (or it is not).
    void setLinkReady(bool ready);
    void onChatSent(const QString &uuid, int sessionId);
    void onServiceError(const QString &message);
    void onLinkLost();
    int unsentCount() const { return int(m_outbox.size()); }
    int sendingCount() const; // not failed: still on their way
    void setConfirmTimeoutMs(int ms);

signals:
    // An own message changed its delivery, uuid or failure (or was discarded).
    void messageChanged(int sessionId, const QString &localId);
    void messageDiscarded(int sessionId, const QString &localId);
    // Its session must be joined before a chat for it leaves.
    void joinWanted(int sessionId);
    // The agent is told what became of a message that was not sent.
    void sendFailed(int sessionId, const QString &reason);

private:
    enum class Stage { Queued, InFlight, Unconfirmed, Checking, Failed };
    struct Outgoing
    {
        ChatMessage msg; // as shown, with its local id
        Stage stage = Stage::Queued;
        QDateTime leftAt; // when it last went out; invalid until then
        bool onThisLink = false; // left on the link that is up now
        quint64 barrier = 0; // pongs to wait for before an "error" is this chat's
    };

    Outgoing *head();
    qsizetype indexOf(const QString &localId) const;
    // The cached copy follows the outbox's; `out` leaves the outbox when stored.
    void publish(const Outgoing &out);
    void pump();
    void confirmHead(const QString &uuid);
    void failHead(const QString &reason);
    void checkHead();
    void onChecked(const QString &localId, const QList<ChatMessage> &newest);
    bool claimFrom(int sessionId, const QList<ChatMessage> &stored);
    void scheduleSave();
    void save();
    void load();
    void used(int sessionId);
    void trim(QList<ChatMessage> &messages) const;

    WssClient *m_link;
    ApiClient *m_api;
    QHash<int, QList<ChatMessage>> m_cache;
    QHash<int, QList<ChatMessage>> m_lateArrivals;
    QList<int> m_recent; // most recently used first
    QList<Outgoing> m_outbox; // in sending order; only the head is ever out
    QTimer *m_confirmTimer;
    QTimer *m_checkRetry;
    QTimer *m_saveTimer;
    QPointer<ApiRequest> m_check;
    // Uuids confirmed lately: a confirmation that comes twice is not the next one's.
    QList<QString> m_confirmed;
    int m_agentId = 0;
    int m_openSession = 0;
    int m_maxSessions = 60;
    int m_maxPerSession = 500;
    bool m_ready = false;
};
