#include "testsupport.h"

#include <QAccessible>
#include <QLabel>

#include "widgets/sessionlistitem.h"

namespace {

ChatSession makeSession(const QString &name, const QString &last, const QString &time, int unread,
                        bool online)
{
    return ChatSession::fromMap({{"visitor_name", name},
                                 {"last_msg", last},
                                 {"last_time", time},
                                 {"unread_count", unread},
                                 {"status", online ? "online" : "-"}});
}

// Everything a row shows, as read by a screen reader (hidden labels as "-"),
// and the colour of its background and of its online dot.
QStringList shown(SessionListItem &item)
{
    QStringList out;
    for (const char *name :
         {"avatarLabel", "nameLabel", "lastMessageLabel", "timeLabel", "unreadBadge"}) {
        QLabel *label = item.findChild<QLabel *>(name);
        out << (label->isVisibleTo(&item)
                    ? QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name)
                    : QStringLiteral("-"));
    }
    const QImage image = item.grab().toImage();
    QLabel *dot = item.findChild<QLabel *>("onlineDot");
    return out << image.pixelColor(100, 4).name()
               << image.pixelColor(dot->geometry().center()).name() << dot->toolTip();
}

} // namespace

class TestSessionListItem : public QObject
{
    Q_OBJECT

    QWidget m_list; // rows get their look from the list's style sheet

private slots:
    void initTestCase()
    {
        m_list.setStyleSheet(SessionListItem::sharedStyleSheet());
        m_list.show();
    }

    // Rows are reused for other sessions: a reused row shows what a new one does.
    void row()
    {
        const QList<std::pair<ChatSession, QString>> rows
            = {{makeSession("alice", "<b>第一条消息比十五个字还要长很多</b>", "2024-05-01T09:05:33",
                            120, true),
                "A|alice|<b>第一条消息比十五个字还要...|09:05|99"},
               {makeSession("<b>c", "", "yesterday", -2, false), "<|<b>c|||-"},
               // A character outside the basic plane is not split in half.
               {makeSession("😀 e", QString(14, 'a') + "😀xyz", "", 1, true),
                "😀|😀 e|aaaaaaaaaaaaaa...||1"}};
        SessionListItem reused(rows.first().first, &m_list);
        reused.resize(280, 64);
        for (const auto &[session, expected] : rows) {
            reused.setSelected(true);
            reused.updateLastMessage("changed", "2024-05-03T08:15:00");
            reused.setSession(session);
            SessionListItem fresh(session, &m_list);
            fresh.resize(280, 64);
            QCOMPARE(shown(fresh).mid(0, 5).join('|'), expected);
            QCOMPARE(shown(reused), shown(fresh));
        }
    }

    void look()
    {
        SessionListItem item(makeSession("x", "old", "2024-05-01T09:05:33", 0, false), &m_list);
        item.resize(280, 64);
        QCOMPARE(shown(item).mid(6), QStringList({"#d6dbe6", "离线"}));
        item.setOnline(true);
        const QStringList plain = shown(item);
        QCOMPARE(plain.mid(6), QStringList({"#22a06b", "在线"}));
        item.setSelected(true);
        QCOMPARE(item.grab().toImage().pixelColor(8, 32), QColor(61, 109, 242)); // the bar
        item.setSelected(false);
        QCOMPARE(shown(item), plain);
        // The pointer over the row lights it up; leaving puts it back.
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(&item, &enter);
        QVERIFY(shown(item) != plain);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(&item, &leave);
        QCOMPARE(shown(item), plain);
        item.updateLastMessage("", "later"); // nothing readable: what was shown stays
        QCOMPARE(shown(item).mid(2, 2), QStringList({"old", "09:05"}));
        // Left opens the session, right offers its menu, nothing else counts.
        QSignalSpy clicked(&item, &SessionListItem::clicked);
        QSignalSpy right(&item, &SessionListItem::rightClicked);
        for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton})
            QTest::mousePress(&item, button, {}, QPoint(100, 30));
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(right.count(), 1);
    }
};

ORVANTIS_TEST_MAIN(TestSessionListItem)
#include "tst_sessionlistitem.moc"
