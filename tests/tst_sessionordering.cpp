#include "testsupport.h"

#include "workspace/sessionordering.h"

#include <QRandomGenerator>
#include <algorithm>
#include <numeric>

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

} // namespace

class TestSessionOrdering : public QObject
{
    Q_OBJECT

private slots:
    // The plain rules (online, unread, newest) and the search are watched in
    // the real list.
    void lessThan()
    {
        const QString t1 = "2026-01-01T10:00:00", t2 = "2026-01-01T11:00:00";
        const struct
        {
            ChatSession a, b;
            int order; // -1: a first, 1: b first, 0: equivalent
        } rows[] = {{S(1, true, 0, t1), S(2, false, 5, t2), -1}, // online first
                    {S(1, true, -3, t2), S(2, true, 1, t1), 1}, // a negative count is none
                    {S(1, false, 0, {}), S(2, false, 0, t1), 1}, // empty time last
                    {S(1, true, 1, t1), S(2, true, 4, t1), 0}}; // unread is a yes or no
        for (const auto &[a, b, order] : rows)
            QCOMPARE(QList({sessionLessThan(a, b), sessionLessThan(b, a)}),
                     QList({order<0, order> 0}));
    }

    // The list sorts canonical times numerically; any mix with other texts
    // must still come out exactly as the plain comparator orders it, and
    // equivalent sessions keep their arrival order.
    void listAgreesWithComparator()
    {
        const QStringList times
            = QStringLiteral("2026-01-01T10:00:00|2026-01-01T10:00:00Z|2026-01-01T09:59:59|"
                             "2026-01-01T10:00:00.500|2026-01-01|2025-12-31T23:59:59|yesterday|"
                             "2026-1-01T10:00:00|2026-01-01 10:00:00|2026-01-01T1a:00:00|"
                             "９９９９-01-01T10:00:00|")
                  .split('|');
        QRandomGenerator random(17);
        QList<ChatSession> list;
        for (int i = 0; i < 400; ++i)
            list.append(S(i + 1, random.bounded(2) == 1, random.bounded(3) - 1,
                          times.at(random.bounded(int(times.size())))));
        QList<int> expected(list.size());
        std::iota(expected.begin(), expected.end(), 0);
        std::stable_sort(expected.begin(), expected.end(),
                         [&list](int x, int y) { return sessionLessThan(list[x], list[y]); });
        QCOMPARE(sortedVisibleIndexes(list, QString()), expected);
    }
};

ORVANTIS_TEST_MAIN(TestSessionOrdering)
#include "tst_sessionordering.moc"
