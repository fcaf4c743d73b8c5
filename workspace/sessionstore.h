#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <functional>

#include "net/chatrecords.h"

class ApiClient;
class ApiRequest;

// The one owner of the agent's sessions: the table in list order with its
// lookup, the listing's pages, which session is open, and the one place that
// decides what is unread and whether the agent watches a session. The window
// tells it what happened and shows what it holds.
class SessionStore : public QObject
{
    Q_OBJECT

public:
    explicit SessionStore(ApiClient *api, QObject *parent = nullptr);

    // ---- the table
    const QList<ChatSession> &sessions() const { return m_sessions; }
    const ChatSession *find(int sessionId) const;
    // Applies `change` to the listed session; false when unknown.
    bool patch(int sessionId, const std::function<void(ChatSession &)> &change);
    // Adds a session not listed yet (at the front or the back); false when
    // known or without an id, which nothing could ever address.
    bool add(const ChatSession &session, bool atFront);
    void remove(int sessionId);
    // Empties the table and stops the listing: nothing on its way acts.
    void clear();
    int totalUnread() const;

    // ---- the open session, and whether the agent watches it
    int openSession() const { return m_open; }
    void setOpenSession(int sessionId) { m_open = sessionId; }
    // Whether the agent's window is in front; without a probe it never is.
    void setForegroundProbe(std::function<bool()> probe) { m_foreground = std::move(probe); }
    // Open and in front: what arrives there is read as it comes.
    bool isWatched(int sessionId) const;

    // ---- what is unread and since when a visitor waits: written only here
    // A pushed message moves the session's preview and time, its waiting
    // and, unless watched or the agent side's own, its unread count. Returns
    // whether the agent watched it arrive.
    bool notePushed(const ChatMessage &msg, const QDateTime &now);
    // A catch-up merged `added` into the session's messages (`before` it,
    // `after` it). Visitor messages count as unread news from the oldest
    // message held before on, or, with none held, from after the listed
    // time. Returns the news.
    int noteCaughtUp(int sessionId, const QList<ChatMessage> &before,
                     const QList<ChatMessage> &added, const QList<ChatMessage> &after,
                     const QDateTime &now);
    // The whole recent history says exactly since when the visitor waits.
    bool noteHistory(int sessionId, const QList<ChatMessage> &messages, const QDateTime &now);
    // The agent has read the session; returns how many were unread.
    int markRead(int sessionId);

    // ---- the listing, a page at a time
    // Asks for page 1, which replaces the table when it comes. Until then
    // what is listed stays and no later page is asked for; a failed page 1
    // is asked for again after 2, 4, 8, 16, then 30 s, until a later load.
    void loadFirstPage();
    // Asks for the next page unless one is on its way or none is left.
    bool loadNextPage();
    int pageSize() const { return m_pageSize; }
    bool hasMore() const { return m_hasMore; }

signals:
    // A listing page was applied: page 1 replaced the table, a later one
    // appended to it. `total` is the size of the whole listing.
    void pageApplied(int page, int total, int count);

private:
    void loadPage(int page, int attempt);
    void applyPage(int page, const QList<ChatSession> &list, const QDateTime &now);

    ApiClient *m_api = nullptr;
    QList<ChatSession> m_sessions; // list order of the service, new ones in front
    QMap<int, qsizetype> m_index; // id to position in m_sessions
    int m_open = 0;
    std::function<bool()> m_foreground;
    int m_page = 1; // the newest page asked for
    int m_pageSize = 50;
    bool m_hasMore = true;
    bool m_loading = false;
    int m_loads = 0; // counts loads: a retry of page 1 yields to any later one
    QPointer<ApiRequest> m_request;
};
