#include "testsupport.h"

#include <QAccessible>
#include <QLabel>

#include "widgets/sessionlistitem.h"

namespace {

ChatSession makeSession(int id, const QString &name, const QString &last, const QString &time,
                        int unread, bool online)
{
    ChatSession s;
    s.id = id;
    s.visitorName = name;
    s.lastMessage = last;
    s.lastTime = time;
    s.unreadCount = unread;
    s.online = online;
    return s;
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
    out << image.pixelColor(100, 4).name() << image.pixelColor(dot->geometry().center()).name()
        << dot->toolTip();
    return out;
}

} // namespace

class SessionListItemTest : public QObject
{
    Q_OBJECT

    QWidget m_list; // rows get their look from the list's style sheet

private slots:
    void initTestCase()
    {
        m_list.setStyleSheet(SessionListItem::sharedStyleSheet());
        m_list.resize(280, 64);
        m_list.show();
    }

    void row()
    {
        const QList<ChatSession> sessions
            = {makeSession(1, "alice", "<b>第一条消息比十五个字还要长很多</b>",
                           "2024-05-01T09:05:33", 120, true),
               makeSession(2, "😀 x", "", "", 0, false),
               makeSession(3, "<b>c", "short", "12:30:00", -2, false),
               makeSession(4, "dave", "x", "1714550400", 99, true),
               // A character outside the basic plane at the cut is not split in half.
               makeSession(5, "e", QString(14, 'a') + "😀xyz", "", 1, true)};
        const QList<QStringList> expected
            = {{"A", "alice", "<b>第一条消息比十五个字还要...", "09:05", "99"},
               {"😀", "😀 x", "", "", "-"},
               {"<", "<b>c", "short", "", "-"},
               {"D", "dave", "x", "", "99"},
               {"E", "e", QString(14, 'a') + "...", "", "1"}};
        // Rows are reused for other sessions: a reused row shows what a new one does.
        auto reused = new SessionListItem(sessions.at(0), &m_list);
        reused->resize(280, 64);
        for (int i = 0; i < sessions.size(); ++i) {
            reused->setSelected(true);
            reused->updateLastMessage("changed", "2024-05-03T08:15:00");
            reused->setSession(sessions.at(i));
            auto fresh = std::make_unique<SessionListItem>(sessions.at(i), &m_list);
            fresh->resize(280, 64);
            QCOMPARE(shown(*fresh).mid(0, 5), expected.at(i));
            QCOMPARE(shown(*reused), shown(*fresh));
        }
    }

    void look()
    {
        SessionListItem item(makeSession(1, "x", "old", "2024-05-01T09:05:33", 0, false), &m_list);
        item.resize(280, 64);
        const QStringList plain = shown(item);
        item.setOnline(true);
        const QStringList online = shown(item);
        QCOMPARE(online.mid(6), QStringList({"#22a06b", "在线"}));
        QCOMPARE(plain.mid(6), QStringList({"#d6dbe6", "离线"}));
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(&item, &enter);
        const QStringList hovered = shown(item);
        item.setSelected(true);
        const QStringList selected = shown(item);
        QCOMPARE(item.grab().toImage().pixelColor(8, 32), QColor(61, 109, 242)); // the bar
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(&item, &leave);
        QCOMPARE(shown(item), selected); // selection outlasts the hover
        item.setSelected(false);
        QCOMPARE(shown(item), online);
        QVERIFY(QColor(hovered.at(5)).lightness() > QColor(plain.at(5)).lightness());
        QVERIFY(QColor(selected.at(5)).blue() > QColor(selected.at(5)).red() + 10);
        // An empty text or an unreadable time keeps what the row showed.
        item.updateLastMessage("", "later");
        QCOMPARE(shown(item).mid(2, 2), QStringList({"old", "09:05"}));
        item.updateLastMessage("new", "2024-05-02T10:00:00");
        QCOMPARE(shown(item).mid(2, 2), QStringList({"new", "10:00"}));
    }

    void mouseButtons()
    {
        SessionListItem item(makeSession(1, "x", {}, {}, 0, false));
        QSignalSpy clicked(&item, &SessionListItem::clicked);
        QSignalSpy right(&item, &SessionListItem::rightClicked);
        for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton})
            QTest::mousePress(&item, button, {}, QPoint(100, 30));
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(right.count(), 1);
    }
};

ORVANTIS_TEST_MAIN(SessionListItemTest)
#include "tst_sessionlistitem.moc"
