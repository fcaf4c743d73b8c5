#include "testsupport.h"

#include "workspace/sessionordering.h"

#include <QRandomGenerator>
#include <algorithm>

namespace {

ChatSession make(int id, bool online, int unread, const QString &lastTime, const QString &name = QString())
{
    ChatSession s;
    s.id = id;
    s.online = online;
    s.status = online ? QStringLiteral("online") : QStringLiteral("offline");
    s.unreadCount = unread;
    s.lastTime = lastTime;
    s.visitorName = name;
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
    void fastKeyAgreesWithComparator();
    void filter_data();
    void filter();
};

void TestSessionOrdering::lessThan_data()
{
    QTest::addColumn<ChatSession>("a");
    QTest::addColumn<ChatSession>("b");
    QTest::addColumn<int>("order"); // -1: a first, 1: b first, 0: equivalent

    const QString t1 = QStringLiteral("2026-01-01T10:00:00");
    const QString t2 = QStringLiteral("2026-01-01T11:00:00");
    QTest::newRow("online without unread beats offline with unread")
            << make(1, true, 0, t1) << make(2, false, 5, t2) << -1;
    QTest::newRow("among online, unread first") << make(1, true, 0, t2) << make(2, true, 1, t1) << 1;
    QTest::newRow("same group, newer first") << make(1, true, 2, t1) << make(2, true, 7, t2) << 1;
    QTest::newRow("empty time after any time in the group")
            << make(1, false, 0, QString()) << make(2, false, 0, t1) << 1;
    QTest::newRow("empty time still beats a lower group")
            << make(1, true, 0, QString()) << make(2, false, 9, t2) << -1;
    QTest::newRow("equal sessions are equivalent") << make(1, true, 1, t1) << make(2, true, 4, t1) << 0;
    QTest::newRow("negative unread counts as none") << make(1, true, -3, t2) << make(2, true, 1, t1) << 1;
}

void TestSessionOrdering::lessThan()
{
    QFETCH(ChatSession, a);
    QFETCH(ChatSession, b);
    QFETCH(int, order);
    QCOMPARE(sessionLessThan(a, b), order < 0);
    QCOMPARE(sessionLessThan(b, a), order > 0);
}

void TestSessionOrdering::fastKeyAgreesWithComparator()
{
    // The list sorts canonical times numerically; any mix with other texts
    // must still come out exactly as the plain comparator orders it.
    const QStringList times{QStringLiteral("2026-01-01T10:00:00"), QStringLiteral("2026-01-01T10:00:00Z"),
                            QStringLiteral("2026-01-01T09:59:59"), QStringLiteral("2026-01-01T10:00:00.500"),
                            QStringLiteral("2026-01-01"), QStringLiteral("2025-12-31T23:59:59"),
                            QStringLiteral("2026-1-01T10:00:00"), QStringLiteral("2026-01-01 10:00:00"),
                            QStringLiteral("2026-01-01T1a:00:00"), QStringLiteral("yesterday"),
                            QStringLiteral("９９９９-01-01T10:00:00"), QString()};
    QRandomGenerator random(17);
    QList<ChatSession> list;
    for (int i = 0; i < 400; ++i)
        list.append(make(i + 1, random.bounded(2) == 1, random.bounded(3) - 1,
                         times.at(random.bounded(int(times.size())))));
    QList<ChatSession> expected = list;
    std::stable_sort(expected.begin(), expected.end(), sessionLessThan);
    QCOMPARE(ids(visibleSessions(list, QString())), ids(expected));
    // Indexes refer to the input list.
    QList<int> viaIndexes;
    for (int i : sortedVisibleIndexes(list, QString()))
        viaIndexes.append(list.at(i).id);
    QCOMPARE(viaIndexes, ids(expected));
}

void TestSessionOrdering::filter_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("blank shows all") << QStringLiteral("   ") << QList<int>({1, 2, 3, 4, 5});
    QTest::newRow("other case, trimmed") << QStringLiteral("  ALICE ") << QList<int>({1});
    QTest::newRow("remark is the name") << QStringLiteral("vip") << QList<int>({3});
    QTest::newRow("remark hides the name") << QStringLiteral("carol") << QList<int>();
    QTest::newRow("visitor id tail") << QStringLiteral("4567890") << QList<int>({4});
    QTest::newRow("id head beyond the last seven") << QStringLiteral("abc1234") << QList<int>();
    QTest::newRow("default name") << QStringLiteral("访客") << QList<int>({5});
    QTest::newRow("markup is plain text") << QStringLiteral("<b>") << QList<int>({2});
}

void TestSessionOrdering::filter()
{
    QFETCH(QString, filter);
    QFETCH(QList<int>, expected);
    QList<ChatSession> list{make(1, true, 0, QStringLiteral("2026-01-05"), QStringLiteral("AliceSmith")),
                            make(2, true, 0, QStringLiteral("2026-01-04"), QStringLiteral("<b>Bob</b>")),
                            make(3, true, 0, QStringLiteral("2026-01-03"), QStringLiteral("Carol")),
                            make(4, true, 0, QStringLiteral("2026-01-02"), QStringLiteral("Dan")),
                            make(5, true, 0, QStringLiteral("2026-01-01"))};
    list[2].remark = QStringLiteral("VIP 客户");
    list[3].visitorId = QStringLiteral("abc1234567890");
    QCOMPARE(ids(visibleSessions(list, filter)), expected);
}

ORVANTIS_TEST_MAIN(TestSessionOrdering)
#include "tst_sessionordering.moc"
