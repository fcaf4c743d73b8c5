#include "workspace/catchup.h"

#include <QDateTime>
#include <QDebug>
#include <QTimer>

#include "net/apiclient.h"
#include "workspace/messagerules.h"
#include "workspace/messagestore.h"
#include "workspace/sessionstore.h"

CatchUp::CatchUp(ApiClient *api, SessionStore *sessions, MessageStore *messages, QObject *parent)
    : QObject(parent), m_api(api), m_sessions(sessions), m_messages(messages)
{ }

bool CatchUp::onLinkReady()
{
    if (!std::exchange(m_linkLost, false))
        return false;
    qDebug() << "[WSS] 重连后补取离线期间的消息";
    ++m_round;
    m_missed = 0;
    m_firstWithNews = 0;
    // The service hands out at most 200 a page.
    const qsizetype listed = m_sessions->sessions().size();
    const int limit = int(qBound(qsizetype(m_sessions->pageSize()), listed, qsizetype(200)));
    for (int page = 1; page == 1 || (page - 1) * limit < listed; ++page)
        requestPage(page, limit, 0);
    return true;
}

void CatchUp::cancel()
{
    m_linkLost = false;
    ++m_round;
}

void CatchUp::setRetries(int retries, int delayMs)
{
    m_retries = retries;
    m_retryDelayMs = delayMs;
}

void CatchUp::retry(int attempt, const std::function<void()> &again)
{
    if (attempt >= m_retries)
        return;
    const int round = m_round;
    QTimer::singleShot(m_retryDelayMs, this, [this, round, again] {
        if (round == m_round)
            again();
    });
}

void CatchUp::requestPage(int page, int limit, int attempt)
{
    ApiRequest *request
        = m_api->sendGetRequest(QStringLiteral("/chat/channel-sessions"),
                                {{QStringLiteral("page"), QString::number(page)},
                                 {QStringLiteral("limit"), QString::number(limit)}});
    const int round = m_round;
    connect(request, &ApiRequest::succeeded, this, [this, request, round] {
        if (round != m_round)
            return;
        bool changed = false;
        for (const ChatSession &fresh : request->sessions()) {
            const ChatSession *known = m_sessions->find(fresh.id);
            if (!known) {
                changed |= m_sessions->add(fresh, true);
                continue;
            }
            // Counts and previews come from the messages themselves: this
            // snapshot may be older than what the new link has pushed since.
            const bool moved = known->lastMessage != fresh.lastMessage
                || known->lastTime != fresh.lastTime || known->unreadCount != fresh.unreadCount;
            m_sessions->patch(fresh.id, [&fresh](ChatSession &s) {
                s.online = fresh.online;
                s.status = fresh.status;
            });
            changed = true;
            if (moved)
                requestMessages(fresh.id, 0);
        }
        if (changed)
            emit sessionsChanged();
    });
    connect(request, &ApiRequest::failed, this, [this, page, limit, attempt] {
        retry(attempt, [this, page, limit, attempt] { requestPage(page, limit, attempt + 1); });
    });
}

void CatchUp::requestMessages(int sessionId, int attempt)
{
    const bool open = sessionId == m_sessions->openSession();
    if (open)
        m_messages->expectPage(sessionId);
    ApiRequest *request = m_api->getMessages(sessionId, QString());
    const int round = m_round;
    connect(request, &ApiRequest::succeeded, this, [this, request, sessionId, round] {
        const QList<ChatMessage> before = m_messages->messages(sessionId);
        QList<ChatMessage> after = before;
        // The open session shows the history as the service stored it: the
        // same reply replaces its cache once the client's route signal for
        // it reaches the window, which follows this one.
        const QList<ChatMessage> added = sessionId == m_sessions->openSession()
            ? mergeMessages(after, request->messages())
            : m_messages->merge(sessionId, request->messages());
        if (sessionId != m_sessions->openSession())
            after = m_messages->messages(sessionId);
        const int news = m_sessions->noteCaughtUp(sessionId, before, added, after,
                                                  QDateTime::currentDateTime());
        if (added.isEmpty())
            return;
        emit sessionCaughtUp(sessionId, news);
        if (news <= 0 || round != m_round)
            return;
        const bool first = m_missed == 0;
        if (first)
            m_firstWithNews = sessionId;
        m_missed += news;
        emit missedGrew(m_missed, m_firstWithNews, first);
    });
    connect(request, &ApiRequest::failed, this, [this, sessionId, attempt] {
        retry(attempt, [this, sessionId, attempt] { requestMessages(sessionId, attempt + 1); });
    });
}
