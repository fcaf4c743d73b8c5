// The session list of the real main window, driven offscreen against the
// stand-in service: order, rows, paging, search, notices, the delete and IP
// menus, as the agent sees them.

#include "workspace_fixture.h"

#include <QClipboard>

#include "widgets/notifysound.h"

using namespace Fixture;

namespace {

QString isoMinute(int minute)
{
    return QDateTime(QDate(2026, 5, 1), QTime(8, 0)).addSecs(minute * 60).toString(Qt::ISODate);
}

// `count` offline sessions "v0".."v<count-1>", newest last; waits for page 1.
bool startWithSessions(Workspace &ws, int count)
{
    for (int i = 0; i < count; ++i)
        ws.server.addSession(sessionFields(QStringLiteral("v%1").arg(i), false, 0, isoMinute(i)));
    return ws.start() && QTest::qWaitFor([&] { return ws.listBar()->maximum() > 0; });
}

} // namespace

class TestSessionList : public QObject
{
    Q_OBJECT

private slots:
    void orderRowsAndSearch();
    void paging();
    void selectionClearsUnread();
    void notices();
    void deleteEmptySession();
    void ipMenu();
    void malformedSessions();
    void orderHeldUnderPointer();
};

void TestSessionList::orderRowsAndSearch()
{
    Workspace ws;
    // Online before offline, then unread first, then the newest; an empty
    // time sorts last within its group.
    ws.server.addSession(sessionFields("Bob", false, 4, isoMinute(50)));
    ws.server.addSession(sessionFields("carol", true, 0, isoMinute(40)));
    const int alice = ws.server.addSession(
        sessionFields("ALICE", true, 120, isoMinute(10), "hello there, how can I help you"));
    ws.server.addSession(sessionFields("dave", true, 0, QString()));
    ws.server.addSession(sessionFields("erin", true, 1, isoMinute(5)));
    ws.server.addSession(sessionFields("<b>x</b>", false, 0, isoMinute(60)));
    QVERIFY(ws.start());

    QCOMPARE(ws.names(), (QStringList {"ALICE", "erin", "carol", "dave", "Bob", "<b>x</b>"}));
    QCOMPARE(ws.rowOf(alice), QStringLiteral("ALICE|hello there, ho...|08:10|99|on"));
    QCOMPARE(ws.text("sessionCountLabel"),
             QStringLiteral("<span style='font-size:12px;color:#8b93a5;'>6个会话</span>"));
    // Rows sit where the order says.
    const QList<int> order = ws.w()->visibleSessionOrder();
    for (int i = 0; i < order.size(); ++i)
        QCOMPARE(ws.row(order.at(i))->y(), i * 64);

    // Only the display name is searched, regardless of letter case.
    ws.w()->findChild<QLineEdit *>(QStringLiteral("searchEdit"))->setText(QStringLiteral(" al "));
    QCOMPARE(ws.names(), QStringList {"ALICE"});
    ws.w()->findChild<QLineEdit *>(QStringLiteral("searchEdit"))->setText(QStringLiteral("B"));
    QCOMPARE(ws.names(), (QStringList {"Bob", "<b>x</b>"}));
}

void TestSessionList::paging()
{
    Workspace ws;
    QVERIFY(startWithSessions(ws, 130));
    QScrollBar *bar = ws.listBar();
    QCOMPARE(ws.w()->sessionList().size(), 50);

    // Further than 50 px from the end: nothing.
    bar->setValue(bar->maximum() - 51);
    QVERIFY(ws.idle());
    QCOMPARE(ws.requests("channel-sessions"), 1);

    // A failure of another request while page 2 is on its way does not
    // unblock paging: page 2 is asked for once.
    ws.server.delayReplies("channel-sessions", 300);
    ws.server.injectFault("mark-read", StandIn::Fault::Http500);
    bar->setValue(bar->maximum());
    ws.w()->api()->markRead(1);
    QTRY_VERIFY(ws.text("statusLabel").startsWith(QStringLiteral("错误: ")));
    bar->setValue(bar->maximum() - 10);
    const int kept = bar->value();
    QTRY_COMPARE(ws.w()->sessionList().size(), 100);
    QCOMPARE(ws.requests("channel-sessions", "page=2"), 1);
    QCOMPARE(ws.requests("channel-sessions", "limit=50"), 2);
    // The list keeps its place instead of jumping to the top.
    QTRY_COMPARE(bar->maximum() + bar->pageStep(), 100 * 64);
    QCOMPARE(bar->value(), kept);

    // A failed page is asked for again by the next scroll.
    ws.server.injectFault("channel-sessions", StandIn::Fault::Http500);
    bar->setValue(bar->maximum());
    QTRY_COMPARE(ws.requests("channel-sessions", "page=3"), 1);
    QVERIFY(ws.idle());
    bar->setValue(bar->maximum() - 20);
    QTRY_COMPARE(ws.w()->sessionList().size(), 130);
    QCOMPARE(ws.requests("channel-sessions", "page=3"), 2);

    // The last page said there is no more: scrolling asks nothing.
    bar->setValue(0);
    bar->setValue(bar->maximum());
    QVERIFY(ws.idle());
    QCOMPARE(ws.requests("channel-sessions"), 4);
}

void TestSessionList::selectionClearsUnread()
{
    Workspace ws;
    const int first = ws.server.addSession(sessionFields("first", true, 3, isoMinute(9)));
    const int second = ws.server.addSession(sessionFields("second", true, 0, isoMinute(8)));
    QVERIFY(ws.start());

    QVERIFY(ws.open(first));
    QCOMPARE(ws.rowOf(first), QStringLiteral("first||08:09|-|on"));
    QVERIFY(ws.row(first)->isSelected());
    QCOMPARE(ws.requests("/chat/messages", QString("session_id=%1").arg(first)), 1);
    QCOMPARE(ws.server.requestsTo("mark-read").size(), 1);
    QCOMPARE(ws.server.requestsTo("mark-read").first().jsonBody().value("session_id").toInt(),
             first);
    QTRY_COMPARE(ws.frames(QString("\"session_id\":%1").arg(first)), 1);
    QCOMPARE(ws.text("chatNameLabel"),
             QStringLiteral(
                 "<span style='font-size:14px;font-weight:bold;color:#2f3441;'>first</span>"));
    QCOMPARE(ws.text("chatStatusDot"),
             QStringLiteral("<span style='font-size:12px;color:#22a06b;'>● 在线</span>"));

    // Clicking the open session again reloads nothing.
    QVERIFY(ws.open(first));
    QCOMPARE(ws.requests("/chat/messages"), 1);

    QVERIFY(ws.open(second));
    QVERIFY(!ws.row(first)->isSelected());
    QVERIFY(ws.row(second)->isSelected());
    // Each session is joined once per link.
    QTRY_COMPARE(ws.frames("join_session"), 2);
}

void TestSessionList::notices()
{
    Workspace ws;
    const int known = ws.server.addSession(sessionFields("known", false, 0, isoMinute(1)));
    QVERIFY(ws.start());
    QVERIFY(ws.open(known));
    const int plays = NotifySound::instance()->playCount();

    // A known visitor comes back: online again, in the header too, no sound.
    ws.server.pushFrame(
        {{"type", "new_session"}, {"session_id", known}, {"visitor_name", "known"}});
    QTRY_COMPARE(ws.rowOf(known), QStringLiteral("known||08:01|-|on"));
    QVERIFY(ws.text("chatStatusDot").contains(QStringLiteral("● 在线")));
    QCOMPARE(NotifySound::instance()->playCount(), plays);

    // Leaving: the dot and the header follow, the order stays.
    ws.server.visitorLeaves(known);
    QTRY_COMPARE(ws.rowOf(known), QStringLiteral("known||08:01|-|off"));
    QVERIFY(ws.text("chatStatusDot").contains(QStringLiteral("● 离线")));

    // A notice without visitor keys waits for the session record, which then
    // lands on top with a sound and the status text.
    const int fresh = ws.server.addSession(sessionFields("fresh", false, 0, isoMinute(5)));
    ws.server.pushFrame({{"type", "new_session"}, {"session_id", fresh}});
    QTRY_COMPARE(ws.names(), (QStringList {"fresh", "known"}));
    QCOMPARE(ws.requests("session-info", QString("session_id=%1").arg(fresh)), 1);
    QCOMPARE(NotifySound::instance()->playCount(), plays + 1);
    QCOMPARE(ws.text("statusLabel"), QStringLiteral("新客户接入: fresh"));
    // Notices for sessions never listed change nothing.
    emit ws.w()->wss()->sessionOffline(4242);
    emit ws.w()->api()->sessionClosed(4242);
    QCOMPARE(ws.names(), (QStringList {"fresh", "known"}));
}

void TestSessionList::deleteEmptySession()
{
    Workspace ws;
    const int empty = ws.server.addSession(sessionFields("empty", false, 0, isoMinute(3)));
    const int online = ws.server.addSession(sessionFields("online", true, 0, isoMinute(2)));
    const int talked = ws.server.addSession(sessionFields("talked", false, 0, isoMinute(1), "hi"));
    QVERIFY(ws.start());
    QVERIFY(ws.open(empty));
    ws.w()->findChild<QLineEdit *>(QStringLiteral("remarkEdit"))->setText(QStringLiteral("stale"));

    // Only an offline session without messages offers deletion.
    Access::rightClick(ws.w(), ws.row(online));
    Access::rightClick(ws.w(), ws.row(talked));
    QVERIFY(!openMenu());
    Access::rightClick(ws.w(), ws.row(empty));
    QMenu *menu = openMenu();
    QVERIFY(menu);
    QCOMPARE(menu->actions().first()->text(), QStringLiteral("删除会话"));

    // Declined first, then confirmed.
    for (auto answer : {QMessageBox::No, QMessageBox::Yes}) {
        if (!menu) {
            Access::rightClick(ws.w(), ws.row(empty));
            menu = openMenu();
        }
        menu->actions().first()->trigger();
        menu->close();
        menu = nullptr;
        auto *box = ws.w()->findChild<QMessageBox *>();
        QVERIFY(box && box->isVisible());
        QCOMPARE(box->windowTitle() + box->text(),
                 QStringLiteral("确认删除确定要删除该空会话吗？"));
        box->button(answer)->click();
        QVERIFY(ws.idle());
        QCOMPARE(ws.requests("delete-session"), answer == QMessageBox::Yes ? 1 : 0);
        QTRY_VERIFY(!ws.w()->findChild<QMessageBox *>());
    }
    QCOMPARE(ws.server.requestsTo("delete-session").first().jsonBody(),
             (QJsonObject {{"session_id", empty}}));

    // Gone from the list, and nothing of it is left in the panel.
    QTRY_COMPARE(ws.names(), (QStringList {"online", "talked"}));
    QCOMPARE(ws.w()->currentSession(), 0);
    QCOMPARE(ws.text("statusLabel"), QStringLiteral("会话已删除"));
    QCOMPARE(ws.text("chatAvatarLabel"), QStringLiteral("?"));
    QCOMPARE(ws.text("ipValueLabel"), QStringLiteral("-"));
    QVERIFY(ws.text("chatNameLabel").contains(QStringLiteral("选择一个会话")));
    QCOMPARE(ws.w()->findChild<QLineEdit *>(QStringLiteral("remarkEdit"))->text(), QString());
    // A "保存" now writes nothing anywhere.
    Access::saveRemark(ws.w());
    QVERIFY(ws.idle());
    QCOMPARE(ws.requests("update-session"), 0);
}

void TestSessionList::ipMenu()
{
    Workspace ws;
    QJsonObject fields = sessionFields("ip");
    fields.insert("ip_address", "<b>10.1.2.3</b>");
    const int id = ws.server.addSession(fields);
    fields.insert("ip_address", "");
    const int noIp = ws.server.addSession(fields);
    QVERIFY(ws.start());

    Access::ipMenu(ws.w());
    QVERIFY(!openMenu());
    QVERIFY(ws.open(id));
    QVERIFY(ws.text("ipValueLabel").contains(QStringLiteral(">&lt;b&gt;10.1.2.3&lt;/b&gt;<")));
    Access::ipMenu(ws.w());
    QTRY_VERIFY(openMenu());
    openMenu()->actions().first()->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("<b>10.1.2.3</b>"));
    QCOMPARE(ws.text("statusLabel"), QStringLiteral("已复制IP: <b>10.1.2.3</b>"));
    openMenu()->close();

    QVERIFY(ws.open(noIp));
    QVERIFY(ws.text("ipValueLabel").contains(QStringLiteral(">-<")));
    Access::ipMenu(ws.w());
    QVERIFY(!openMenu());
}

void TestSessionList::malformedSessions()
{
    Workspace ws;
    QVERIFY(ws.start());
    const QJsonObject odd {{"id", "7"},
                           {"visitor_name", 123},
                           {"status", true},
                           {"unread_count", "many"},
                           {"last_time", "yesterday"},
                           {"last_msg", QString(100000, 'x')},
                           {"ip_address", QJsonArray {1, 2}}};
    // Epoch seconds after the year 9999 keep their text rather than vanish.
    const QJsonObject future {{"id", 8}, {"last_time", "253402300800"}, {"status", "online"}};
    const QJsonObject noId {{"visitor_name", "no id"}};
    const QJsonObject data {{"list", QJsonArray {odd, future, noId, 5, "text", QJsonValue()}},
                            {"total", 3},
                            {"has_more", false}};
    ws.server.setRawReply("channel-sessions", 200,
                          QJsonDocument(QJsonObject {{"code", 200}, {"data", data}}).toJson());
    ws.w()->api()->sendGetRequest("/chat/channel-sessions");
    QTRY_COMPARE(ws.w()->visibleSessionOrder(), (QList<int> {8, 7}));
    QCOMPARE(Access::map(ws.w()).value(8).lastTime, QStringLiteral("253402300800"));
    QCOMPARE(ws.rowOf(7), QStringLiteral("123|xxxxxxxxxxxxxxx...||-|off"));
    QVERIFY(ws.open(7));
    QVERIFY(ws.text("ipValueLabel").contains(QStringLiteral(">-<")));
}

// A visitor who writes must not slide under the agent's pointer: counts and
// previews change in place, the order follows when the pointer leaves or
// after a while.
void TestSessionList::orderHeldUnderPointer()
{
    Workspace ws;
    const int low = ws.server.addSession(sessionFields("low", true, 0, isoMinute(1)));
    const int high = ws.server.addSession(sessionFields("high", true, 0, isoMinute(2)));
    QVERIFY(ws.start());
    QWidget *viewport = Access::listArea(ws.w())->viewport();
    QEvent enter(QEvent::Enter), leave(QEvent::Leave);

    QApplication::sendEvent(viewport, &enter);
    ws.server.visitorSays(low, QStringLiteral("up"));
    QTRY_COMPARE(ws.rowOf(low).section('|', 3, 3), QStringLiteral("1"));
    QCOMPARE(ws.names(), (QStringList {"high", "low"}));
    QApplication::sendEvent(viewport, &leave);
    QCOMPARE(ws.names(), (QStringList {"low", "high"}));

    QApplication::sendEvent(viewport, &enter);
    ws.server.visitorSays(high, QStringLiteral("me too"));
    QTRY_COMPARE(ws.rowOf(high).section('|', 3, 3), QStringLiteral("1"));
    QCOMPARE(ws.names(), (QStringList {"low", "high"}));
    QTRY_COMPARE_WITH_TIMEOUT(ws.names(), (QStringList {"high", "low"}), 4000);
}

ORVANTIS_TEST_MAIN(TestSessionList)
#include "tst_sessionlist.moc"
