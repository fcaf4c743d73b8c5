#include "workspace/sessionstore.h"

#include <QDebug>
#include <QTimer>

#include "net/apiclient.h"
#include "workspace/messagerules.h"

SessionStore::SessionStore(ApiClient *api, QObject *parent) : QObject(parent), m_api(api) { }

const ChatSession *SessionStore::find(int sessionId) const
{
    const auto it = m_index.constFind(sessionId);
    return it == m_index.constEnd() ? nullptr : &m_sessions.at(it.value());
}

bool SessionStore::patch(int sessionId, const std::function<void(ChatSession &)> &change)
{
    const auto it = m_index.constFind(sessionId);
    if (it == m_index.constEnd())
        return false;
    ChatSession &session = m_sessions[it.value()];
    change(session);
    session.id = sessionId; // the key stays what it was
    return true;
}

bool SessionStore::add(const ChatSession &session, bool atFront)
{
    if (session.id < 1 || m_index.contains(session.id))
        return false;
    if (atFront) {
        m_sessions.prepend(session);
        for (auto it = m_index.begin(); it != m_index.end(); ++it)
            ++it.value();
        m_index.insert(session.id, 0);
    } else {
        m_sessions.append(session);
        m_index.insert(session.id, m_sessions.size() - 1);
    }
    return true;
}

void SessionStore::remove(int sessionId)
{
    const auto it = m_index.constFind(sessionId);
    if (it == m_index.constEnd())
        return;
    const qsizetype at = it.value();
    m_sessions.removeAt(at);
    m_index.remove(sessionId);
    for (auto i = m_index.begin(); i != m_index.end(); ++i) {
        if (i.value() > at)
            --i.value();
    }
}

void SessionStore::clear()
{
    m_sessions.clear();
    m_index.clear();
    m_open = 0;
    ++m_loads;
    if (m_request)
        m_request->abandon();
    m_page = 1;
    m_hasMore = true;
    m_loading = false;
}

int SessionStore::totalUnread() const
{
    int total = 0;
    for (const ChatSession &session : m_sessions)
        total += qMax(0, session.unreadCount);
    return total;
}

bool SessionStore::isWatched(int sessionId) const
{
    return sessionId > 0 && sessionId == m_open && m_foreground && m_foreground();
}

bool SessionStore::notePushed(const ChatMessage &msg, const QDateTime &now)
{
    const bool fromSelf = isFromSelf(msg);
    const bool watched = isWatched(msg.sessionId);
    patch(msg.sessionId, [&](ChatSession &s) {
        s.lastMessage = msg.content;
        s.lastTime = messageTimeText(msg, now);
        // The visitor waits from the first message the agent side has not
        // answered; any answer of the agent side (a colleague's too) ends it.
        if (fromSelf)
            s.waitingSince = QDateTime();
        else if (!s.waitingSince.isValid())
            s.waitingSince = visitorWaitingSince({msg}, now);
        if (!fromSelf && !watched)
            ++s.unreadCount;
    });
    return watched;
}

int SessionStore::noteCaughtUp(int sessionId, const QList<ChatMessage> &before,
                               const QList<ChatMessage> &added, const QList<ChatMessage> &after,
                               const QDateTime &now)
{
    const ChatSession *session = find(sessionId);
    if (!session || added.isEmpty() || after.isEmpty())
        return 0;
    QDateTime since;
    if (!before.isEmpty())
        since = before.constFirst().createdAt;
    else
        since = QDateTime::fromString(session->lastTime, Qt::ISODate).addSecs(1);

    const bool watched = isWatched(sessionId);
    int news = 0;
    for (const ChatMessage &msg : added) {
        if (!isFromSelf(msg) && !watched
            && (!since.isValid() || !msg.createdAt.isValid() || msg.createdAt >= since))
            ++news;
    }
    const ChatMessage &newest = after.constLast();
    const QString time = messageTimeText(newest, now);
    const QDateTime waiting = visitorWaitingSince(after, now);
    patch(sessionId, [&](ChatSession &s) {
        s.unreadCount += news;
        if (time >= s.lastTime) {
            s.lastMessage = newest.content;
            s.lastTime = time;
        }
        s.waitingSince = waiting;
    });
    return news;
}

bool SessionStore::noteHistory(int sessionId, const QList<ChatMessage> &messages,
                               const QDateTime &now)
{
    const QDateTime waiting = visitorWaitingSince(messages, now);
    return patch(sessionId, [&waiting](ChatSession &s) { s.waitingSince = waiting; });
}

int SessionStore::markRead(int sessionId)
{
    int was = 0;
    patch(sessionId, [&was](ChatSession &s) { was = std::exchange(s.unreadCount, 0); });
    return was;
}

void SessionStore::loadFirstPage()
{
    // A fresh load supersedes whatever page was still on its way.
    if (m_request)
        m_request->abandon();
    m_hasMore = true;
    loadPage(1, 0);
}

bool SessionStore::loadNextPage()
{
    if (m_loading || !m_hasMore)
        return false;
    loadPage(m_page + 1, 0);
    return true;
}

void SessionStore::loadPage(int page, int attempt)
{
    const int load = ++m_loads;
    m_loading = true;
    m_page = page;
    m_request = m_api->sendGetRequest(QStringLiteral("/chat/channel-sessions"),
                                      {{QStringLiteral("page"), QString::number(page)},
                                       {QStringLiteral("limit"), QString::number(m_pageSize)}});
    ApiRequest *request = m_request;
    connect(request, &ApiRequest::succeeded, this, [this, request, page] {
        m_loading = false;
        m_hasMore = request->hasMore();
        applyPage(page, request->sessions(), QDateTime::currentDateTime());
        emit pageApplied(page, request->total(), int(request->sessions().size()));
    });
    connect(request, &ApiRequest::failed, this, [this, page, attempt, load] {
        if (page == 1) {
            // Page 1 again, later, unless another load came first: the
            // newest sessions are on it.
            const int delay = qMin(2000 << qMin(attempt, 4), 30000);
            qDebug() << "[SessionList] 第一页刷新失败，" << delay << "ms 后重试";
            QTimer::singleShot(delay, this, [this, attempt, load] {
                if (load == m_loads)
                    loadPage(1, attempt + 1);
            });
            return;
        }
        // Only this page's own failure unblocks paging: the next scroll asks
        // for the same page again.
        qDebug() << "[SessionList] 分页请求失败，允许重试: page=" << page;
        m_loading = false;
        m_page = qMax(1, page - 1);
    });
}

void SessionStore::applyPage(int page, const QList<ChatSession> &list, const QDateTime &now)
{
    if (page == 1) {
        m_sessions.clear();
        m_index.clear();
    }
    // A listed visitor with unread messages waits since the newest of them,
    // as far as the listing tells; the history, once loaded, tells exactly.
    for (ChatSession session : list) {
        if (session.online && session.unreadCount > 0) {
            const QDateTime last = QDateTime::fromString(session.lastTime, Qt::ISODate);
            session.waitingSince = last.isValid() ? qMin(last, now) : now;
        }
        add(session, false);
    }
}
