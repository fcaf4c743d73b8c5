#include "testsupport.h"

#include <QLabel>
#include <QSignalSpy>

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
    s.status = online ? QStringLiteral("online") : QStringLiteral("offline");
    return s;
}

QLabel *label(const SessionListItem &item, const char *name) { return item.findChild<QLabel *>(name); }

// Everything a row shows, for comparing two rows.
QStringList shown(const SessionListItem &item)
{
    QStringList out;
    for (const char *name : {"avatarLabel", "nameLabel", "lastMessageLabel", "timeLabel", "unreadBadge"})
        out << label(item, name)->text();
    out << QString::number(label(item, "unreadBadge")->isVisibleTo(&item));
    out << label(item, "onlineDot")->toolTip() << label(item, "onlineDot")->property("online").toString();
    out << QString::number(item.sessionId()) << QString::number(item.isOnline());
    return out;
}

} // namespace

class SessionListItemTest : public QObject
{
    Q_OBJECT

private slots:
    void elision_data();
    void elision();
    void timeText_data();
    void timeText();
    void unreadBadge_data();
    void unreadBadge();
    void untrustedTextIsPlain();
    void reuseEqualsNewRow();
    void mouseButtons();
};

void SessionListItemTest::elision_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("15 whole") << QStringLiteral("一二三四五六七八九十abcde") << QStringLiteral("一二三四五六七八九十abcde");
    QTest::newRow("16 cut") << QStringLiteral("一二三四五六七八九十abcdef") << QStringLiteral("一二三四五六七八九十abcde...");
    // A character outside the basic plane at the cut is not split in half.
    QTest::newRow("surrogate at cut") << (QString(14, QLatin1Char('a')) + QStringLiteral("😀xyz"))
                                      << (QString(14, QLatin1Char('a')) + QStringLiteral("..."));
}

void SessionListItemTest::elision()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(SessionListItem::elidedPreview(text), expected);
}

void SessionListItemTest::timeText_data()
{
    QTest::addColumn<QString>("iso");
    QTest::addColumn<QString>("expected");
    QTest::newRow("iso") << QStringLiteral("2024-05-01T09:05:33") << QStringLiteral("09:05");
    QTest::newRow("time of day only") << QStringLiteral("12:30:00") << QString();
    QTest::newRow("epoch digits") << QStringLiteral("1714550400") << QString();
}

void SessionListItemTest::timeText()
{
    QFETCH(QString, iso);
    QFETCH(QString, expected);
    QCOMPARE(SessionListItem::timeText(iso), expected);
}

void SessionListItemTest::unreadBadge_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0 << false << QString();
    QTest::newRow("99") << 99 << true << QStringLiteral("99");
    QTest::newRow("150") << 150 << true << QStringLiteral("99");
}

void SessionListItemTest::unreadBadge()
{
    QFETCH(int, count);
    QFETCH(bool, visible);
    QFETCH(QString, text);
    SessionListItem item(makeSession(1, QStringLiteral("x"), {}, {}, count, false));
    QLabel *badge = label(item, "unreadBadge");
    QCOMPARE(badge->isVisibleTo(&item), visible);
    if (visible)
        QCOMPARE(badge->text(), text);
}

void SessionListItemTest::untrustedTextIsPlain()
{
    SessionListItem item(makeSession(1, QStringLiteral("<b>x</b>"), QStringLiteral("<img src=y>"), {}, 1, true));
    for (QLabel *child : item.findChildren<QLabel *>())
        QCOMPARE(child->textFormat(), Qt::PlainText);
    QCOMPARE(label(item, "nameLabel")->text(), QStringLiteral("<b>x</b>"));
    QCOMPARE(label(item, "avatarLabel")->text(), QStringLiteral("<"));
}

void SessionListItemTest::reuseEqualsNewRow()
{
    const QList<ChatSession> sessions = {
        makeSession(1, QStringLiteral("alice"), QStringLiteral("第一条消息比十五个字还要长很多很多"),
                    QStringLiteral("2024-05-01T09:00:00"), 120, true),
        makeSession(2, QString(), QString(), QString(), 0, false),
        makeSession(3, QStringLiteral("carol"), QStringLiteral("short"), QStringLiteral("bad"), 2, false),
        makeSession(4, QStringLiteral("dave"), QStringLiteral("x"), QStringLiteral("2024-05-02T17:45:00"), 0, true),
    };
    SessionListItem reused(sessions.first());
    reused.setSelected(true);
    for (const ChatSession &session : sessions) {
        reused.setSession(session);
        SessionListItem fresh(session);
        QCOMPARE(shown(reused), shown(fresh));
        QVERIFY(!reused.isSelected());
        QVERIFY(!reused.isHovered());
        reused.setSelected(true);
    }
    // A preview changed in place does not stick to the next session shown.
    reused.setSession(sessions.at(0));
    reused.updateLastMessage(QStringLiteral("changed"), QStringLiteral("2024-05-03T08:15:00"));
    reused.setSession(sessions.at(0));
    SessionListItem fresh(sessions.at(0));
    QCOMPARE(shown(reused), shown(fresh));
}

void SessionListItemTest::mouseButtons()
{
    SessionListItem item(makeSession(1, QStringLiteral("x"), {}, {}, 0, false));
    item.resize(280, 64);
    QSignalSpy clicked(&item, &SessionListItem::clicked);
    QSignalSpy right(&item, &SessionListItem::rightClicked);
    const struct { Qt::MouseButton button; int clicks; int rightClicks; } presses[] = {
        {Qt::LeftButton, 1, 0}, {Qt::RightButton, 1, 1}, {Qt::MiddleButton, 1, 1}};
    for (const auto &press : presses) {
        QTest::mousePress(&item, press.button, {}, QPoint(100, 30));
        QCOMPARE(clicked.count(), press.clicks);
        QCOMPARE(right.count(), press.rightClicks);
    }
}

ORVANTIS_TEST_MAIN(SessionListItemTest)
#include "tst_sessionlistitem.moc"
