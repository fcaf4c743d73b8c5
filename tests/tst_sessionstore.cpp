// The session store and catch-up without a window: what counts as unread,
// the listing's pages, and the rounds after a lost link.

#include "devserver/server.h"
#include "net/apiclient.h"
#include "net/wssclient.h"
#include "testsupport.h"
#include "workspace/catchup.h"
#include "workspace/messagestore.h"
#include "workspace/sessionstore.h"

namespace {

ChatSession session(int id, const QString &lastTime = QString())
{
    ChatSession s;
    s.id = id;
    s.lastTime = lastTime;
    return s;
}

ChatMessage message(int sessionId, const QString &from, int minute)
{
    ChatMessage m;
    m.sessionId = sessionId;
    m.senderType = from;
    m.msgUuid = QStringLiteral("%1-%2-%3").arg(sessionId).arg(from).arg(minute);
    m.content = m.msgUuid;
    m.createdAt = QDateTime(QDate(2026, 5, 1), QTime(8, minute));
    m.createTime = m.createdAt.toString(Qt::ISODate);
    return m;
}

} // namespace

class TestSessionStore : public QObject
{
    Q_OBJECT

    DevServer::Server m_server;
    QSettings m_settings {"orvantis", "config"};
    std::unique_ptr<ApiClient> m_api;

private slots:
    void initTestCase() { QVERIFY(m_server.listen()); }
    void init()
    {
        m_server.clearChannel();
        m_server.clearFaults();
        m_settings.setValue("token", m_server.issueToken(12));
        m_api = std::make_unique<ApiClient>();
        m_api->setBaseUrl(m_server.restBaseUrl());
        m_api->restoreToken();
    }

    // A pushed message counts as unread unless the agent side wrote it or
    // the agent watches its session: open, with the window in front.
    void pushedUnread_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("open");
        QTest::addColumn<bool>("inFront");
        QTest::addColumn<int>("unread");
        QTest::addColumn<bool>("waiting");
        QTest::newRow("visitor, another session open") << "visitor" << 2 << true << 2 << true;
        QTest::newRow("visitor, open, window behind") << "visitor" << 1 << false << 2 << true;
        QTest::newRow("visitor, open, window in front") << "visitor" << 1 << true << 1 << true;
        QTest::newRow("the agent's answer") << "agent" << 2 << false << 1 << false;
        QTest::newRow("a colleague's answer") << "admin" << 0 << false << 1 << false;
    }
    void pushedUnread()
    {
        QFETCH(QString, from);
        QFETCH(int, open);
        QFETCH(bool, inFront);
        SessionStore store(m_api.get());
        store.setForegroundProbe([inFront] { return inFront; });
        ChatSession listed = session(1, "2026-05-01T08:00:00");
        listed.unreadCount = 1;
        listed.waitingSince = QDateTime(QDate(2026, 5, 1), QTime(8, 0));
        QVERIFY(store.add(listed, true) && !store.add(listed, false)
                && !store.add(session(0), true));
        store.setOpenSession(open);

        const bool watched = store.notePushed(message(1, from, 5), QDateTime::currentDateTime());
        QCOMPARE(watched, open == 1 && inFront);
        const ChatSession *s = store.find(1);
        QTEST(s->unreadCount, "unread");
        QTEST(s->waitingSince.isValid(), "waiting");
        QCOMPARE(s->lastMessage, message(1, from, 5).content);
        QCOMPARE(s->lastTime, "2026-05-01T08:05:00");
        QCOMPARE(store.totalUnread(), s->unreadCount);
        QCOMPARE(store.markRead(1), s->unreadCount);
        QCOMPARE(store.totalUnread(), 0);
    }

    // Page 1 replaces the table when it comes; no later page is asked for
    // before it is in, nor after the last.
    void listing()
    {
        for (int i = 0; i < 3; ++i)
            m_server.addSession({{"visitor_name", QString("s%1").arg(i)}});
        SessionStore store(m_api.get());
        QSignalSpy applied(&store, &SessionStore::pageApplied);
        store.loadFirstPage();
        QVERIFY(!store.loadNextPage()); // not before page 1 is in
        QTRY_COMPARE(applied.value(0), (QVariantList {1, 3, 3}));
        QVERIFY(store.sessions().size() == 3 && !store.loadNextPage());
        // A reload replaces the table only when it comes.
        const int added = m_server.addSession({{"visitor_name", "new"}});
        store.loadFirstPage();
        QCOMPARE(store.sessions().size(), 3);
        QTRY_VERIFY(store.sessions().size() == 4 && store.find(added));
    }

    // After a lost link one round finds what was missed, retrying a failed
    // request; a round cancelled by a sign-out changes nothing.
    void catchUpRounds()
    {
        const int quiet = m_server.addSession({{"visitor_name", "quiet"}});
        const int busy
            = m_server.addSession({{"visitor_name", "busy"}, {"last_time", "2026-01-01T08:00:00"}});
        WssClient link;
        SessionStore sessions(m_api.get());
        MessageStore messages(&link, m_api.get());
        CatchUp catchUp(m_api.get(), &sessions, &messages);
        catchUp.setRetries(2, 50);
        sessions.loadFirstPage();
        QTRY_COMPARE(sessions.sessions().size(), 2);
        QVERIFY(!catchUp.onLinkReady()); // no link was lost

        m_server.visitorSays(busy, "one");
        m_server.visitorSays(busy, "two");
        const int fresh = m_server.addSession({{"visitor_name", "fresh"}});
        QSignalSpy caught(&catchUp, &CatchUp::sessionCaughtUp);
        QSignalSpy missed(&catchUp, &CatchUp::missedGrew);
        m_server.injectFault("/chat/messages", DevServer::Fault::Http500);
        catchUp.onLinkLost();
        QVERIFY(catchUp.onLinkReady());
        QTRY_COMPARE(caught.size(), 1);
        QCOMPARE(caught.at(0), (QVariantList {busy, 2}));
        QCOMPARE(missed.at(0), (QVariantList {2, busy, true}));
        QVERIFY(sessions.find(busy)->unreadCount == 2 && messages.messages(busy).size() == 2);
        QVERIFY(sessions.find(fresh) && sessions.find(quiet)->unreadCount == 0);

        // Cancelled while its page is on its way: the reply changes nothing.
        m_server.visitorSays(quiet, "late");
        m_server.delayReplies("/chat/channel-sessions", 300);
        catchUp.onLinkLost();
        QVERIFY(catchUp.onLinkReady());
        catchUp.cancel();
        QVERIFY(!catchUp.onLinkReady());
        QTRY_COMPARE(m_api->pendingRequestCount(), 0);
        QCOMPARE(caught.size(), 1);
        QCOMPARE(sessions.find(quiet)->unreadCount, 0);
    }
};

ORVANTIS_TEST_MAIN(TestSessionStore)
#include "tst_sessionstore.moc"
