// The message store without a window: what a history page keeps, and how
// far the cache grows.

#include "testsupport.h"

#include "net/apiclient.h"
#include "net/wssclient.h"
#include "workspace/messagestore.h"

namespace {

ChatMessage message(int sessionId, const QString &uuid, int minute, const QString &from = "visitor")
{
    ChatMessage m;
    m.sessionId = sessionId;
    m.msgUuid = uuid;
    m.senderType = from;
    m.content = uuid;
    m.createdAt = QDateTime(QDate(2026, 5, 1), QTime(8, minute));
    return m;
}

QStringList contents(const QList<ChatMessage> &messages)
{
    QStringList out;
    for (const ChatMessage &m : messages)
        out << m.content;
    return out;
}

} // namespace

class TestMessageStore : public QObject
{
    Q_OBJECT

private slots:
    // A page replaces the session's messages; what was pushed while it was
    // on its way stays, in time order. The agent's own not sent yet go last:
    // the service stores them after all of it, even what it stored after
    // they were typed.
    void pagesKeepWhatTheyLack()
    {
        WssClient link;
        ApiClient api;
        MessageStore store(&link, &api);
        store.addPushed(message(1, "old", 1));
        store.expectPage(1);
        store.addPushed(message(1, "late", 9));
        store.send(1, "mine", "text");
        ChatMessage newer = message(1, "p2", 3);
        newer.createdAt = QDateTime::currentDateTime().addSecs(60);
        const QList<ChatMessage> shown = store.applyPage(1, {message(1, "p1", 2), newer});
        QCOMPARE(contents(shown), (QStringList {"p1", "late", "p2", "mine"}));
        QCOMPARE(shown.last().delivery, ChatMessage::Delivery::Sending);
        // Without a page on its way, a push is no late arrival of the next one.
        store.addPushed(message(1, "pushed", 10));
        QCOMPARE(contents(store.applyPage(1, {message(1, "p1", 2)})), (QStringList {"p1", "mine"}));
        QCOMPARE(store.sendingCount(), 1);
    }

    // Repeats change nothing; the cache keeps the newest per session and the
    // most recently used sessions, never the open one's or an unsent message.
    void cacheIsBounded()
    {
        WssClient link;
        ApiClient api;
        MessageStore store(&link, &api);
        store.setLimits(2, 3);
        store.setOpenSession(1);
        QVERIFY(store.addPushed(message(1, "a", 1)));
        QVERIFY(!store.addPushed(message(1, "a", 1)));
        store.send(1, "unsent", "text");
        for (int i = 2; i <= 5; ++i)
            store.addPushed(message(1, QString("m%1").arg(i), i));
        QCOMPARE(contents(store.messages(1)), (QStringList {"unsent", "m4", "m5"}));
        store.addPushed(message(2, "b", 1));
        store.addPushed(message(3, "c", 1));
        QVERIFY(store.isCached(1) && !store.isCached(2) && store.isCached(3));
        store.addPushed(message(4, "d", 1));
        QVERIFY(store.isCached(1) && !store.isCached(3) && store.isCached(4));
        QCOMPARE(store.cachedMessageCount(), 4);
        store.dropSession(1, "gone");
        QVERIFY(!store.isCached(1));
        QCOMPARE(store.unsentCount(), 0);
    }
};

ORVANTIS_TEST_MAIN(TestMessageStore)
#include "tst_messagestore.moc"
