#pragma once

#include <QObject>
#include <functional>

class ApiClient;
class MessageStore;
class SessionStore;

// After a lost link, what happened meanwhile is fetched instead of waiting for
// the agent to reopen every session: the listed sessions in one snapshot
// (online states, new sessions), then the newest messages of every session
// whose entry moved. It starts once the channel is joined again, so that
// whatever the snapshot misses is pushed on the new link. Every step is
// repeatable: messages are merged by identity and only new ones count as
// unread, so a late, repeated or retried reply changes nothing twice.
//
// Each lost link is one round; a request that fails is asked again a few
// times, and whatever belongs to an older round or an ended sign-in is dropped.
class CatchUp : public QObject
{
    Q_OBJECT

public:
    CatchUp(ApiClient *api, SessionStore *sessions, MessageStore *messages,
            QObject *parent = nullptr);

    // The link dropped while signed in.
    void onLinkLost() { m_linkLost = true; }
    // The channel is joined on a new link: a round starts if the link was
    // lost since. Returns whether one did.
    bool onLinkReady();
    // The sign-in ended: no lost link is remembered, and nothing of a round
    // still on its way acts.
    void cancel();
    // Retries per request, and the time between them.
    void setRetries(int retries, int delayMs);

signals:
    // Sessions were added to the table or their online states changed.
    void sessionsChanged();
    // A session's messages were merged; `news` of them are unread news.
    void sessionCaughtUp(int sessionId, int news);
    // The round's unread news grew to `missed` (`first`: from none); the
    // first session that had any is `firstWithNews`.
    void missedGrew(int missed, int firstWithNews, bool first);

private:
    void requestPage(int page, int limit, int attempt);
    void requestMessages(int sessionId, int attempt);
    void retry(int attempt, const std::function<void()> &again);

    ApiClient *m_api = nullptr;
    SessionStore *m_sessions = nullptr;
    MessageStore *m_messages = nullptr;
    bool m_linkLost = false;
    int m_round = 0; // counts rounds: a retry or reply belongs to its own
    int m_missed = 0; // unread news found by the current round
    int m_firstWithNews = 0;
    int m_retries = 5;
    int m_retryDelayMs = 2000;
};
