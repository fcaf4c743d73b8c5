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

QLabel *label(const SessionListItem &item, const char *name)
{
    return item.findChild<QLabel *>(QLatin1String(name));
}

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

QColor pixelOf(QWidget *widget, const QPoint &at, bool withChildren = false)
{
    QImage image(widget->size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(),
                   withChildren ? QWidget::DrawChildren : QWidget::RenderFlags());
    return image.pixelColor(at);
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
    void showsSession();
    void unreadBadge_data();
    void unreadBadge();
    void untrustedTextIsPlain();
    void updateLastMessage();
    void reuseEqualsNewRow();
    void mouseButtons();
    void painting();
    void sharedStyleSheetApplies();
};

void SessionListItemTest::elision_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QString() << QString();
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
    QTest::newRow("evening") << QStringLiteral("2024-12-31T23:59:59") << QStringLiteral("23:59");
    QTest::newRow("time of day only") << QStringLiteral("12:30:00") << QString();
    QTest::newRow("epoch digits") << QStringLiteral("1714550400") << QString();
    QTest::newRow("garbage") << QStringLiteral("yesterday") << QString();
    QTest::newRow("empty") << QString() << QString();
}

void SessionListItemTest::timeText()
{
    QFETCH(QString, iso);
    QFETCH(QString, expected);
    QCOMPARE(SessionListItem::timeText(iso), expected);
}

void SessionListItemTest::showsSession()
{
    SessionListItem item(makeSession(7, QStringLiteral("alice"), QStringLiteral("你好，请问发货了吗"),
                                     QStringLiteral("2024-05-01T14:07:00"), 3, true));
    QCOMPARE(item.sessionId(), 7);
    QCOMPARE(item.height(), 64);
    QCOMPARE(label(item, "avatarLabel")->text(), QStringLiteral("A"));
    QCOMPARE(label(item, "avatarLabel")->size(), QSize(40, 40));
    QCOMPARE(label(item, "nameLabel")->text(), QStringLiteral("alice"));
    QCOMPARE(label(item, "lastMessageLabel")->text(), QStringLiteral("你好，请问发货了吗"));
    QCOMPARE(label(item, "lastMessageLabel")->maximumWidth(), 150);
    QCOMPARE(label(item, "timeLabel")->text(), QStringLiteral("14:07"));
    QCOMPARE(label(item, "onlineDot")->size(), QSize(8, 8));
    QCOMPARE(label(item, "onlineDot")->toolTip(), QStringLiteral("在线"));
    QVERIFY(item.isOnline());
    QVERIFY(!item.isSelected());
    QVERIFY(item.styleSheet().isEmpty()); // rows share their container's sheet

    // The display name rule decides the name: a remark wins.
    ChatSession remarked = makeSession(8, QStringLiteral("bob"), {}, QStringLiteral("not a time"), 0, false);
    remarked.remark = QStringLiteral("vip客户");
    SessionListItem other(remarked);
    QCOMPARE(label(other, "nameLabel")->text(), QStringLiteral("vip客户"));
    QCOMPARE(label(other, "avatarLabel")->text(), QStringLiteral("V"));
    QVERIFY(label(other, "lastMessageLabel")->text().isEmpty());
    QVERIFY(label(other, "timeLabel")->text().isEmpty());
    QCOMPARE(label(other, "onlineDot")->toolTip(), QStringLiteral("离线"));

    other.setOnline(true);
    QCOMPARE(label(other, "onlineDot")->toolTip(), QStringLiteral("在线"));
    QCOMPARE(label(other, "onlineDot")->property("online").toBool(), true);
    other.setOnline(false);
    QCOMPARE(label(other, "onlineDot")->property("online").toBool(), false);
}

void SessionListItemTest::unreadBadge_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<QString>("text");
    QTest::newRow("negative") << -2 << false << QString();
    QTest::newRow("zero") << 0 << false << QString();
    QTest::newRow("one") << 1 << true << QStringLiteral("1");
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
    QCOMPARE(badge->size(), QSize(20, 20));
}

void SessionListItemTest::untrustedTextIsPlain()
{
    SessionListItem item(makeSession(1, QStringLiteral("<b>x</b>"), QStringLiteral("<img src=y>"), {}, 1, true));
    for (QLabel *child : item.findChildren<QLabel *>())
        QCOMPARE(child->textFormat(), Qt::PlainText);
    QCOMPARE(label(item, "nameLabel")->text(), QStringLiteral("<b>x</b>"));
    QCOMPARE(label(item, "avatarLabel")->text(), QStringLiteral("<"));
}

void SessionListItemTest::updateLastMessage()
{
    SessionListItem item(makeSession(1, QStringLiteral("x"), QStringLiteral("old"),
                                     QStringLiteral("2024-05-01T08:00:00"), 4, false));
    item.updateLastMessage(QStringLiteral("a fairly long new message"), QStringLiteral("2024-05-01T10:30:00"));
    QCOMPARE(label(item, "lastMessageLabel")->text(), QStringLiteral("a fairly long n..."));
    QCOMPARE(label(item, "timeLabel")->text(), QStringLiteral("10:30"));
    QCOMPARE(label(item, "unreadBadge")->text(), QStringLiteral("4"));

    // Empty or unparsable arguments leave their labels alone.
    item.updateLastMessage(QString(), QStringLiteral("10:45"));
    QCOMPARE(label(item, "lastMessageLabel")->text(), QStringLiteral("a fairly long n..."));
    QCOMPARE(label(item, "timeLabel")->text(), QStringLiteral("10:30"));
    item.updateLastMessage(QStringLiteral("hi"), QString());
    QCOMPARE(label(item, "lastMessageLabel")->text(), QStringLiteral("hi"));
    QCOMPARE(label(item, "timeLabel")->text(), QStringLiteral("10:30"));
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
    QTest::mousePress(&item, Qt::LeftButton, {}, QPoint(100, 30));
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(right.count(), 0);
    QTest::mousePress(&item, Qt::RightButton, {}, QPoint(100, 30));
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(right.count(), 1);
    QTest::mousePress(&item, Qt::MiddleButton, {}, QPoint(100, 30));
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(right.count(), 1);
}

void SessionListItemTest::painting()
{
    SessionListItem item(makeSession(1, QStringLiteral("x"), {}, {}, 0, false));
    item.resize(280, 64);
    const QPoint inside(150, 5);  // inside the rounded shape, clear of the labels
    const QPoint outside(2, 30);  // in the 6 px side inset
    const QPoint bar(8, 32);      // the accent bar: shape left + 1 .. + 3

    QCOMPARE(pixelOf(&item, inside).alpha(), 0); // idle: transparent

    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(&item, &enter);
    QVERIFY(item.isHovered());
    QColor hover = pixelOf(&item, inside);
    QCOMPARE(hover.alpha(), 115);
    QCOMPARE(hover.rgb() & 0xffffff, 0xffffffu);
    QCOMPARE(pixelOf(&item, outside).alpha(), 0);

    // Selected and hovered: drawn as selected only.
    item.setSelected(true);
    QColor selected = pixelOf(&item, inside);
    QCOMPARE(selected.alpha(), 48);
    QVERIFY(qAbs(selected.red() - 91) <= 3 && qAbs(selected.green() - 140) <= 3 && selected.blue() >= 250);
    QColor accent = pixelOf(&item, bar);
    QCOMPARE(accent.alpha(), 255);
    QCOMPARE(accent.rgb() & 0xffffff, QColor(61, 109, 242).rgb() & 0xffffff);
    QCOMPARE(pixelOf(&item, QPoint(8, 12)), selected); // the bar spares 12 px at each end
    QCOMPARE(pixelOf(&item, QPoint(8, 52)), selected);

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&item, &leave);
    QVERIFY(!item.isHovered());
    QCOMPARE(pixelOf(&item, inside), selected);
    item.setSelected(false);
    QCOMPARE(pixelOf(&item, inside).alpha(), 0);
}

void SessionListItemTest::sharedStyleSheetApplies()
{
    QWidget list;
    list.setStyleSheet(SessionListItem::sharedStyleSheet());
    list.resize(300, 64);
    auto *item = new SessionListItem(makeSession(1, QStringLiteral("x"), QStringLiteral("m"), {}, 3, true), &list);
    item->setGeometry(0, 0, 300, 64);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));

    QCOMPARE(label(*item, "avatarLabel")->font().pixelSize(), 16);
    QCOMPARE(label(*item, "nameLabel")->font().pixelSize(), 14);
    QVERIFY(label(*item, "nameLabel")->font().bold());
    QCOMPARE(label(*item, "lastMessageLabel")->font().pixelSize(), 12);
    QCOMPARE(label(*item, "timeLabel")->font().pixelSize(), 11);
    QCOMPARE(label(*item, "unreadBadge")->font().pixelSize(), 11);

    QLabel *dot = label(*item, "onlineDot");
    const QPoint centre(4, 4);
    QCOMPARE(pixelOf(dot, centre, true).rgb() & 0xffffff, QColor("#22a06b").rgb() & 0xffffff);
    item->setOnline(false);
    QCOMPARE(pixelOf(dot, centre, true).rgb() & 0xffffff, QColor("#d6dbe6").rgb() & 0xffffff);
    item->setOnline(true);
    QCOMPARE(pixelOf(dot, centre, true).rgb() & 0xffffff, QColor("#22a06b").rgb() & 0xffffff);

    // A reused row restyles its dot too.
    item->setSession(makeSession(2, QStringLiteral("y"), {}, {}, 0, false));
    QCOMPARE(pixelOf(dot, centre, true).rgb() & 0xffffff, QColor("#d6dbe6").rgb() & 0xffffff);
}

ORVANTIS_TEST_MAIN(SessionListItemTest)
#include "tst_sessionlistitem.moc"
