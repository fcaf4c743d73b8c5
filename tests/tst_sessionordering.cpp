#include "testsupport.h"

#include "workspace/sessionordering.h"

#include <QRandomGenerator>
#include <algorithm>

namespace {

ChatSession S(int id, bool online, int unread, const QString &lastTime)
{
    ChatSession s;
    s.id = id;
    s.online = online;
    s.unreadCount = unread;
    s.lastTime = lastTime;
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
    void lessThan_data()
    {
        QTest::addColumn<ChatSession>("a");
        QTest::addColumn<ChatSession>("b");
        QTest::addColumn<int>("order"); // -1: a first, 1: b first, 0: equivalent
        const QString t1 = "2026-01-01T10:00:00", t2 = "2026-01-01T11:00:00";
        QTest::newRow("online first") << S(1, true, 0, t1) << S(2, false, 5, t2) << -1;
        QTest::newRow("online: unread") << S(1, true, 0, t2) << S(2, true, 1, t1) << 1;
        QTest::newRow("offline: unread") << S(1, false, 0, t2) << S(2, false, 1, t1) << 1;
        QTest::newRow("unread -3") << S(1, true, -3, t2) << S(2, true, 1, t1) << 1;
        QTest::newRow("newer first") << S(1, true, 2, t1) << S(2, true, 7, t2) << 1;
        QTest::newRow("empty time last") << S(1, false, 0, {}) << S(2, false, 0, t1) << 1;
        QTest::newRow("empty, online") << S(1, true, 0, {}) << S(2, false, 9, t2) << -1;
        QTest::newRow("equivalent") << S(1, true, 1, t1) << S(2, true, 4, t1) << 0;
    }

    void lessThan()
    {
        QFETCH(ChatSession, a);
        QFETCH(ChatSession, b);
        QFETCH(int, order);
        QCOMPARE(sessionLessThan(a, b), order < 0);
        QCOMPARE(sessionLessThan(b, a), order > 0);
    }

    void listAgreesWithComparator()
    {
        // The list sorts canonical times numerically; any mix with other texts
        // must still come out exactly as the plain comparator orders it, and
        // equivalent sessions keep their arrival order.
        const QStringList times = {"2026-01-01T10:00:00",
                                   "2026-01-01T10:00:00Z",
                                   "2026-01-01T09:59:59",
                                   "2026-01-01T10:00:00.500",
                                   "2026-01-01",
                                   "2025-12-31T23:59:59",
                                   "2026-1-01T10:00:00",
                                   "2026-01-01 10:00:00",
                                   "2026-01-01T1a:00:00",
                                   "yesterday",
                                   "９９９９-01-01T10:00:00",
                                   ""};
        QRandomGenerator random(17);
        QList<ChatSession> list;
        for (int i = 0; i < 400; ++i)
            list.append(S(i + 1, random.bounded(2) == 1, random.bounded(3) - 1,
                          times.at(random.bounded(int(times.size())))));
        QList<ChatSession> expected = list;
        std::stable_sort(expected.begin(), expected.end(), sessionLessThan);
        QCOMPARE(ids(visibleSessions(list, QString())), ids(expected));
    }

    void filter_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("blank shows all") << "   " << QList<int>({1, 2, 3});
        QTest::newRow("other case, trimmed") << "  ALICE " << QList<int>({1});
        QTest::newRow("in the name shown") << "vip" << QList<int>({3});
        QTest::newRow("not in the name shown") << "carol" << QList<int>();
    }

    void filter()
    {
        QFETCH(QString, filter);
        QFETCH(QList<int>, expected);
        QList<ChatSession> list {S(1, true, 0, "2026-01-05"), S(2, true, 0, "2026-01-04"),
                                 S(3, true, 0, "2026-01-03")};
        list[0].visitorName = "AliceSmith";
        list[2].visitorName = "Carol";
        list[2].remark = "VIP 客户";
        QCOMPARE(ids(visibleSessions(list, filter)), expected);
    }
};

ORVANTIS_TEST_MAIN(TestSessionOrdering)
#include "tst_sessionordering.moc"
