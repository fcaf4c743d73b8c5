#include "testsupport.h"

#include "workspace/sessionordering.h"

#include <QRandomGenerator>
#include <algorithm>

namespace {

ChatSession make(int id, bool online, int unread, const QString &lastTime,
                 const QString &name = QString(), const QString &remark = QString())
{
    ChatSession s;
    s.id = id;
    s.online = online;
    s.status = online ? QStringLiteral("online") : QStringLiteral("offline");
    s.unreadCount = unread;
    s.lastTime = lastTime;
    s.visitorName = name;
    s.remark = remark;
    return s;
}

QList<int> ids(const QList<ChatSession> &list)
{
    QList<int> out;
    for (const ChatSession &s : list)
        out.append(s.id);
    return out;
}

} // namespace

class TestSessionOrdering : public QObject
{
    Q_OBJECT

private slots:
    void lessThan_data();
    void lessThan();
    void fullOrder();
    void orderIsAStrictWeakOrdering();
    void mixedTimeFormatsFollowTheComparator();
    void filter_data();
    void filter();
};

void TestSessionOrdering::lessThan_data()
{
    QTest::addColumn<ChatSession>("a");
    QTest::addColumn<ChatSession>("b");
    QTest::addColumn<bool>("aFirst");
    QTest::addColumn<bool>("bFirst");

    const QString t1 = QStringLiteral("2026-01-01T10:00:00");
    const QString t2 = QStringLiteral("2026-01-01T11:00:00");
    QTest::newRow("online without unread beats offline with unread")
            << make(1, true, 0, t1) << make(2, false, 5, t2) << true << false;
    QTest::newRow("among online, unread first")
            << make(1, true, 0, t2) << make(2, true, 1, t1) << false << true;
    QTest::newRow("among offline, unread first")
            << make(1, false, 3, t1) << make(2, false, 0, t2) << true << false;
    QTest::newRow("same group, newer first")
            << make(1, true, 2, t1) << make(2, true, 7, t2) << false << true;
    QTest::newRow("empty time after any time in the group")
            << make(1, false, 0, QString()) << make(2, false, 0, t1) << false << true;
    QTest::newRow("empty time still beats a lower group")
            << make(1, true, 0, QString()) << make(2, false, 9, t2) << true << false;
    QTest::newRow("equal sessions are equivalent")
            << make(1, true, 1, t1) << make(2, true, 4, t1) << false << false;
    QTest::newRow("negative unread counts as none")
            << make(1, true, -3, t2) << make(2, true, 1, t1) << false << true;
    QTest::newRow("case-sensitive text comparison")
            << make(1, false, 0, QStringLiteral("a")) << make(2, false, 0, QStringLiteral("B"))
            << true << false;
}

void TestSessionOrdering::lessThan()
{
    QFETCH(ChatSession, a);
    QFETCH(ChatSession, b);
    QFETCH(bool, aFirst);
    QFETCH(bool, bFirst);
    QCOMPARE(sessionLessThan(a, b), aFirst);
    QCOMPARE(sessionLessThan(b, a), bFirst);
}

void TestSessionOrdering::fullOrder()
{
    const QList<ChatSession> list{
            make(1, false, 0, QStringLiteral("2026-03-01T09:00:00")),
            make(2, true, 0, QStringLiteral("2026-03-01T08:00:00")),
            make(3, false, 2, QStringLiteral("2026-03-01T07:00:00")),
            make(4, true, 1, QString()),
            make(5, true, 1, QStringLiteral("2026-03-01T06:00:00")),
            make(6, false, 0, QString()),
            make(7, true, 0, QStringLiteral("2026-03-02T00:00:00")),
    };
    QCOMPARE(ids(visibleSessions(list, QString())), QList<int>({5, 4, 7, 2, 3, 1, 6}));
    // Indexes refer to the input list.
    QCOMPARE(sortedVisibleIndexes(list, QString()), QList<int>({4, 3, 6, 1, 2, 0, 5}));
}

void TestSessionOrdering::orderIsAStrictWeakOrdering()
{
    // Every combination of the three criteria, checked pairwise against the
    // sorted result: no session may belong before one placed ahead of it.
    QList<ChatSession> list;
    const QStringList times{QString(), QStringLiteral("2026-01-01T00:00:00"),
                            QStringLiteral("2026-01-02T00:00:00")};
    int id = 1;
    for (bool online : {false, true})
        for (int unread : {0, 1})
            for (const QString &t : times)
                list.append(make(id++, online, unread, t));
    const QList<ChatSession> sorted = visibleSessions(list, QString());
    QCOMPARE(sorted.size(), list.size());
    for (int i = 0; i < sorted.size(); ++i) {
        QVERIFY(!sessionLessThan(sorted[i], sorted[i]));
        for (int j = i + 1; j < sorted.size(); ++j)
            QVERIFY2(!sessionLessThan(sorted[j], sorted[i]),
                     qPrintable(QStringLiteral("%1 before %2").arg(sorted[i].id).arg(sorted[j].id)));
    }
}

void TestSessionOrdering::mixedTimeFormatsFollowTheComparator()
{
    // The list sorts canonical times numerically; any mix with other texts
    // must still come out exactly as the plain comparator orders it.
    const QStringList times{QStringLiteral("2026-01-01T10:00:00"),
                            QStringLiteral("2026-01-01T10:00:00Z"),
                            QStringLiteral("2026-01-01T09:59:59"),
                            QStringLiteral("2026-01-01T10:00:00.500"),
                            QStringLiteral("2026-01-01"),
                            QStringLiteral("2025-12-31T23:59:59"),
                            QStringLiteral("2026-1-01T10:00:00"),
                            QStringLiteral("2026-01-01 10:00:00"),
                            QStringLiteral("2026-01-01T1a:00:00"),
                            QStringLiteral("10:00"),
                            QStringLiteral("yesterday"),
                            QStringLiteral("９９９９-01-01T10:00:00"),
                            QString()};
    QRandomGenerator random(17);
    QList<ChatSession> list;
    for (int i = 0; i < 400; ++i) {
        list.append(make(i + 1, random.bounded(2) == 1, random.bounded(3) - 1,
                         times.at(random.bounded(int(times.size())))));
    }
    QList<ChatSession> expected = list;
    std::stable_sort(expected.begin(), expected.end(), sessionLessThan);
    QCOMPARE(ids(visibleSessions(list, QString())), ids(expected));
}

void TestSessionOrdering::filter_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QList<int>>("expected");

    QTest::newRow("empty shows all") << QString() << QList<int>({1, 2, 3, 4, 5});
    QTest::newRow("blank shows all") << QStringLiteral("   ") << QList<int>({1, 2, 3, 4, 5});
    QTest::newRow("lower case finds upper case") << QStringLiteral("alice") << QList<int>({1});
    QTest::newRow("trimmed") << QStringLiteral("  ALICE ") << QList<int>({1});
    QTest::newRow("remark is the name") << QStringLiteral("vip") << QList<int>({3});
    QTest::newRow("name hidden by remark is not searched") << QStringLiteral("carol") << QList<int>();
    QTest::newRow("visitor id tail") << QStringLiteral("4567890") << QList<int>({4});
    QTest::newRow("id head beyond the last seven is not shown")
            << QStringLiteral("abc1234") << QList<int>();
    QTest::newRow("default name") << QStringLiteral("访客") << QList<int>({5});
    QTest::newRow("markup is plain text") << QStringLiteral("<b>") << QList<int>({2});
    QTest::newRow("no match") << QStringLiteral("zzz") << QList<int>();
}

void TestSessionOrdering::filter()
{
    QFETCH(QString, filter);
    QFETCH(QList<int>, expected);

    QList<ChatSession> list;
    list.append(make(1, true, 0, QStringLiteral("2026-01-05T00:00:00"), QStringLiteral("AliceSmith")));
    list.append(make(2, true, 0, QStringLiteral("2026-01-04T00:00:00"), QStringLiteral("<b>Bob</b>")));
    list.append(make(3, true, 0, QStringLiteral("2026-01-03T00:00:00"), QStringLiteral("Carol"),
                     QStringLiteral("VIP 客户")));
    ChatSession withId = make(4, true, 0, QStringLiteral("2026-01-02T00:00:00"), QStringLiteral("Dan"));
    withId.visitorId = QStringLiteral("abc1234567890");
    list.append(withId);
    list.append(make(5, true, 0, QStringLiteral("2026-01-01T00:00:00")));
    list[0].ipAddress = QStringLiteral("10.9.9.9");
    list[0].lastMessage = QStringLiteral("zzz");

    QCOMPARE(ids(visibleSessions(list, filter)), expected);
}

ORVANTIS_TEST_MAIN(TestSessionOrdering)
#include "tst_sessionordering.moc"
