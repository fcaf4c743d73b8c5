// The session list of the real main window, driven offscreen against the
// stand-in service: order, paging, search, new-session notices, the delete
// menu, the IP menu and odd service data.

#include "testsupport.h"

#include "sessionlist_fixture.h"

#include <QClipboard>
#include <QLineEdit>

#include "widgets/notifysound.h"
#include "widgets/toast.h"

using namespace Fixture;
using Access = OrvantisTestAccess;

namespace {

QString isoMinute(int minute)
{
    return QDateTime(QDate(2026, 5, 1), QTime(8, 0)).addSecs(minute * 60).toString(Qt::ISODate);
}

ChatSession localSession(int id, const QString &name, bool online, int minute)
{
    return ChatSession::fromMap({{QStringLiteral("id"), id},
                                 {QStringLiteral("visitor_name"), name},
                                 {QStringLiteral("status"), online ? "online" : "offline"},
                                 {QStringLiteral("last_time"), isoMinute(minute)}});
}

// `count` offline sessions, newest last; waits for the first page.
bool startWithSessions(LiveWorkspace &ws, int count)
{
    for (int i = 0; i < count; ++i)
        ws.server.addSession(sessionFields(QStringLiteral("v%1").arg(i), false, 0, isoMinute(i)));
    return ws.start() && QTest::qWaitFor([&] { return ws.w()->sessionList().size() == qMin(count, 50); })
            && QTest::qWaitFor([&] { return ws.listBar()->maximum() > 0; });
}

} // namespace

class TestSessionList : public QObject
{
    Q_OBJECT

private slots:
    void sortsByOnlineUnreadAndTime();
    void secondPageAddsOnlyNewIds();
    void emptyPageChangesNothingButPaging();
    void scrollToEndRequestsOneNextPage();
    void failedNextPageCanBeRetried();
    void searchIgnoresLetterCase();
    void newSessionForKnownIdOnlyMarksOnline();
    void newSessionWithoutVisitorKeysWaitsForSessionInfo();
    void deleteMenuOnlyForEmptyOfflineSessions();
    void copiesIpFromSessionRecord();
    void markupInNamesIsShownLiterally();
    void onlyRowsInViewAreMaterialised();
    void malformedSessionsAreShownSafely();
};

void TestSessionList::sortsByOnlineUnreadAndTime()
{
    LiveWorkspace ws;
    const int a = ws.server.addSession(sessionFields("A", true, 0, isoMinute(120)));
    const int b = ws.server.addSession(sessionFields("B", false, 5, isoMinute(240)));
    const int c = ws.server.addSession(sessionFields("C", true, 2, isoMinute(60)));
    const int d = ws.server.addSession(sessionFields("D", true, 1, isoMinute(180)));
    const int e = ws.server.addSession(sessionFields("E", false, 0, QString()));
    const int f = ws.server.addSession(sessionFields("F", false, 0, isoMinute(1)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.w()->sessionList().size(), 6);

    const QList<int> expected{d, c, a, b, f, e};
    QCOMPARE(ws.w()->visibleSessionOrder(), expected);
    // Rows stand in that order, one 64-pixel row after the other.
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(ws.row(expected[i])->y(), i * 64);
}

void TestSessionList::secondPageAddsOnlyNewIds()
{
    LiveWorkspace ws;
    const int first = ws.server.addSession(sessionFields("first", true, 0, isoMinute(10)));
    const int second = ws.server.addSession(sessionFields("second", true, 0, isoMinute(9)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.w()->sessionList().size(), 2);

    emit ws.w()->api()->sessionsReceived({localSession(second, "changed", false, 99),
                                          localSession(901, "new one", true, 5),
                                          localSession(first, "again", true, 1),
                                          localSession(902, "new two", false, 4)},
                                         77, true);

    // Known sessions keep their data; new ones are appended in reply order.
    QCOMPARE(ws.w()->sessionList().size(), 4);
    QCOMPARE(Access::map(ws.w()).value(second).visitorName, QStringLiteral("second"));
    QCOMPARE(ws.w()->sessionList().at(2).id, 901);
    QCOMPARE(ws.w()->sessionList().at(3).id, 902);
    QCOMPARE(Access::rows(ws.w()).size(), 4);
    QCOMPARE(labelText(ws.w(), "statusLabel"), QStringLiteral("已连接渠道，共 77 个会话"));
}

void TestSessionList::emptyPageChangesNothingButPaging()
{
    LiveWorkspace ws;
    QVERIFY(startWithSessions(ws, 60));
    QVERIFY(Access::hasMore(ws.w()));
    const QString countText = labelText(ws.w(), "sessionCountLabel");
    const QString statusText = labelText(ws.w(), "statusLabel");
    const QList<int> order = ws.w()->visibleSessionOrder();

    ws.server.setRawReply(QStringLiteral("channel-sessions"), 200,
                          R"({"code":200,"msg":"ok","data":{"list":[],"total":3,"has_more":false}})");
    QScrollBar *bar = ws.listBar();
    bar->setValue(bar->maximum());
    QVERIFY(Access::loadingSessions(ws.w()));
    QTRY_VERIFY(!Access::loadingSessions(ws.w()));

    QVERIFY(!Access::hasMore(ws.w()));
    QCOMPARE(labelText(ws.w(), "sessionCountLabel"), countText);
    QCOMPARE(labelText(ws.w(), "statusLabel"), statusText);
    QCOMPARE(ws.w()->visibleSessionOrder(), order);

    // No more pages: scrolling does not ask again.
    bar->setValue(0);
    bar->setValue(bar->maximum());
    QVERIFY(ws.idle());
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions")), 2);
}

void TestSessionList::scrollToEndRequestsOneNextPage()
{
    LiveWorkspace ws;
    QVERIFY(startWithSessions(ws, 120));
    QScrollBar *bar = ws.listBar();

    // Further than 50 pixels from the end: nothing.
    bar->setValue(bar->maximum() - 51);
    QVERIFY(!Access::loadingSessions(ws.w()));

    ws.server.delayReplies(QStringLiteral("channel-sessions"), 300);
    bar->setValue(bar->maximum() - 50);
    bar->setValue(bar->maximum());
    bar->setValue(bar->maximum() - 10);
    const int before = bar->value();
    QVERIFY(Access::loadingSessions(ws.w()));
    QTRY_COMPARE(ws.w()->sessionList().size(), 100);
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions")), 2);
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions"), QStringLiteral("page=2")), 1);
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions"), QStringLiteral("limit=50")), 2);
    QTRY_COMPARE(bar->maximum() + bar->pageStep(), 100 * 64);
    // The list kept its place instead of jumping to the top.
    QCOMPARE(bar->value(), before);
}

// A failed page used to leave the list "loading" for good.
void TestSessionList::failedNextPageCanBeRetried()
{
    LiveWorkspace ws;
    QVERIFY(startWithSessions(ws, 80));
    QScrollBar *bar = ws.listBar();

    ws.server.injectFault(QStringLiteral("channel-sessions"), StandIn::Fault::Http500);
    bar->setValue(bar->maximum());
    QTRY_COMPARE(ws.countRequests(QStringLiteral("channel-sessions"), QStringLiteral("page=2")), 1);
    QTRY_VERIFY(!Access::loadingSessions(ws.w()));
    QVERIFY(labelText(ws.w(), "statusLabel").startsWith(QStringLiteral("错误: ")));
    QCOMPARE(ws.w()->sessionList().size(), 50);

    // The next scroll asks for the same page again, and gets it.
    bar->setValue(bar->maximum() - 20);
    QTRY_COMPARE(ws.w()->sessionList().size(), 80);
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions"), QStringLiteral("page=2")), 2);
    QVERIFY(!Access::hasMore(ws.w()));
}

void TestSessionList::searchIgnoresLetterCase()
{
    LiveWorkspace ws;
    const int alice = ws.server.addSession(sessionFields("AliceSmith", true, 0, isoMinute(3)));
    QJsonObject carolFields = sessionFields("Carol", true, 0, isoMinute(2), QStringLiteral("alice?"));
    carolFields.insert(QStringLiteral("remark"), QStringLiteral("VIP Client"));
    const int carol = ws.server.addSession(carolFields);
    const int bob = ws.server.addSession(sessionFields("bob", true, 0, isoMinute(1)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.w()->sessionList().size(), 3);

    auto *search = ws.w()->findChild<QLineEdit *>(QStringLiteral("searchEdit"));
    // Only the display name counts: Carol's last message mentions alice.
    search->setText(QStringLiteral("ALICE"));
    QCOMPARE(ws.w()->visibleSessionOrder(), QList<int>{alice});
    QCOMPARE(Access::rows(ws.w()).keys(), QList<int>{alice});
    search->setText(QStringLiteral("vip"));
    QCOMPARE(ws.w()->visibleSessionOrder(), QList<int>{carol});
    search->setText(QStringLiteral("  B "));
    QCOMPARE(ws.w()->visibleSessionOrder(), QList<int>{bob});
    search->clear();
    QCOMPARE(ws.w()->visibleSessionOrder(), (QList<int>{alice, carol, bob}));
}

void TestSessionList::newSessionForKnownIdOnlyMarksOnline()
{
    LiveWorkspace ws;
    ws.server.addSession(sessionFields("online", true, 0, isoMinute(50)));
    const int back = ws.server.addSession(sessionFields("back", false, 0, isoMinute(10)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.w()->sessionList().size(), 2);
    const int plays = NotifySound::instance()->playCount();
    const auto toasts = activeToasts().size();
    const QString status = labelText(ws.w(), "statusLabel");

    emit ws.w()->wss()->newSession({{QStringLiteral("session_id"), back},
                                    {QStringLiteral("visitor_name"), QStringLiteral("back")}});

    QVERIFY(Access::map(ws.w()).value(back).online);
    QVERIFY(ws.row(back)->isOnline());
    QCOMPARE(ws.w()->sessionList().size(), 2);
    QCOMPARE(NotifySound::instance()->playCount(), plays);
    QCOMPARE(activeToasts().size(), toasts);
    QCOMPARE(labelText(ws.w(), "statusLabel"), status);
}

void TestSessionList::newSessionWithoutVisitorKeysWaitsForSessionInfo()
{
    LiveWorkspace ws;
    const int old = ws.server.addSession(sessionFields("old", true, 0, isoMinute(1)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.w()->sessionList().size(), 1);
    const int fresh = ws.server.addSession(sessionFields("Fresh", true, 0, isoMinute(2)));
    const int plays = NotifySound::instance()->playCount();

    ws.server.delayReplies(QStringLiteral("session-info"), 200);
    emit ws.w()->wss()->newSession({{QStringLiteral("session_id"), fresh}});
    QCOMPARE(ws.w()->sessionList().size(), 1);
    QCOMPARE(NotifySound::instance()->playCount(), plays);

    // Listed, announced and joined once the record is in.
    QTRY_COMPARE(ws.w()->sessionList().size(), 2);
    QCOMPARE(ws.countRequests(QStringLiteral("session-info"), QStringLiteral("session_id=%1").arg(fresh)), 1);
    QCOMPARE(ws.w()->visibleSessionOrder(), (QList<int>{fresh, old}));
    QCOMPARE(NotifySound::instance()->playCount(), plays + 1);
    QCOMPARE(labelText(ws.w(), "statusLabel"), QStringLiteral("新客户接入: Fresh"));
    QTRY_VERIFY(ws.countFrames(QStringLiteral("\"session_id\":%1").arg(fresh)) >= 1);

    // A second reply for the same id changes nothing.
    emit ws.w()->api()->sessionInfoReceived(ChatSession::fromMap({{QStringLiteral("id"), fresh}}));
    QCOMPARE(ws.w()->sessionList().size(), 2);
    QCOMPARE(NotifySound::instance()->playCount(), plays + 1);
}

void TestSessionList::deleteMenuOnlyForEmptyOfflineSessions()
{
    LiveWorkspace ws;
    const int empty = ws.server.addSession(sessionFields("empty", false, 0, isoMinute(3)));
    const int online = ws.server.addSession(sessionFields("online", true, 0, isoMinute(2)));
    const int talked = ws.server.addSession(sessionFields("talked", false, 0, isoMinute(1), "hello"));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.w()->sessionList().size(), 3);

    int menus = 0;
    chooseFirstMenuEntry(&menus);
    Access::rightClick(ws.w(), ws.row(online));
    Access::rightClick(ws.w(), ws.row(talked));
    QCOMPARE(menus, 0);

    // Declined: nothing is sent.
    QString asked;
    answerMessageBox(QMessageBox::No, &asked);
    Access::rightClick(ws.w(), ws.row(empty));
    QCOMPARE(menus, 1);
    QCOMPARE(asked, QStringLiteral("确认删除|确定要删除该空会话吗？"));
    QVERIFY(ws.idle());
    QCOMPARE(ws.countRequests(QStringLiteral("delete-session")), 0);

    chooseFirstMenuEntry(&menus);
    answerMessageBox(QMessageBox::Yes);
    Access::rightClick(ws.w(), ws.row(empty));
    QCOMPARE(menus, 2);
    // The row stays until the service confirms.
    QVERIFY(ws.row(empty));
    QTRY_VERIFY(!ws.row(empty));
    const auto requests = ws.server.requestsTo(QStringLiteral("delete-session"));
    QCOMPARE(requests.size(), 1);
    QVERIFY(requests.first().jsonBody().value(QStringLiteral("session_id")).isDouble());
    QCOMPARE(requests.first().jsonBody().value(QStringLiteral("session_id")).toInt(), empty);
    QCOMPARE(ws.w()->visibleSessionOrder(), (QList<int>{online, talked}));
    QCOMPARE(labelText(ws.w(), "statusLabel"), QStringLiteral("会话已删除"));
}

void TestSessionList::copiesIpFromSessionRecord()
{
    LiveWorkspace ws;
    QJsonObject fields = sessionFields("ip", true, 0, isoMinute(1));
    fields.insert(QStringLiteral("ip_address"), QStringLiteral("<b>10.1.2.3</b>"));
    const int id = ws.server.addSession(fields);
    fields.insert(QStringLiteral("ip_address"), QString());
    const int noIp = ws.server.addSession(fields);
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.w()->sessionList().size(), 2);

    // No open session: no menu.
    int menus = 0;
    chooseFirstMenuEntry(&menus);
    Access::ipMenu(ws.w());
    QCOMPARE(menus, 0);

    Access::select(ws.w(), id);
    QVERIFY(labelText(ws.w(), "ipValueLabel").contains(QStringLiteral("&lt;b&gt;10.1.2.3&lt;/b&gt;")));
    Access::ipMenu(ws.w());
    QCOMPARE(menus, 1);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("<b>10.1.2.3</b>"));
    QCOMPARE(labelText(ws.w(), "statusLabel"), QStringLiteral("已复制IP: <b>10.1.2.3</b>"));

    // An empty address shows "-" and offers nothing to copy.
    Access::select(ws.w(), noIp);
    QVERIFY(labelText(ws.w(), "ipValueLabel").contains(QStringLiteral(">-<")));
    chooseFirstMenuEntry(); // would copy the empty address
    Access::ipMenu(ws.w());
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("<b>10.1.2.3</b>"));
}

void TestSessionList::markupInNamesIsShownLiterally()
{
    LiveWorkspace ws;
    const QString name = QStringLiteral("<i>x</i><img src=\"a.png\">&amp;");
    const int id = ws.server.addSession(
            sessionFields(name, true, 2, isoMinute(1), "<a href='x'>click</a> me please now"));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.w()->sessionList().size(), 1);

    auto *nameLabel = ws.row(id)->findChild<QLabel *>(QStringLiteral("nameLabel"));
    QCOMPARE(nameLabel->text(), name);
    QCOMPARE(nameLabel->textFormat(), Qt::PlainText);
    auto *preview = ws.row(id)->findChild<QLabel *>(QStringLiteral("lastMessageLabel"));
    QCOMPARE(preview->textFormat(), Qt::PlainText);
    QCOMPARE(preview->text(), QStringLiteral("<a href='x'>cli..."));

    Access::select(ws.w(), id);
    QVERIFY(labelText(ws.w(), "chatNameLabel").contains(name.toHtmlEscaped()));
    QCOMPARE(labelText(ws.w(), "chatAvatarLabel"), QStringLiteral("<"));
    QCOMPARE(ws.w()->findChild<QLabel *>(QStringLiteral("chatAvatarLabel"))->textFormat(), Qt::PlainText);
}

void TestSessionList::onlyRowsInViewAreMaterialised()
{
    LiveWorkspace ws;
    QVERIFY(ws.start());
    QList<ChatSession> many;
    for (int i = 0; i < 300; ++i)
        many.append(localSession(1000 + i, QStringLiteral("s%1").arg(i), true, 1000 - i));
    emit ws.w()->api()->sessionsReceived(many, 300, false);
    QScrollBar *bar = ws.listBar();
    QTRY_COMPARE(bar->maximum() + bar->pageStep(), 300 * 64);

    // A change made while the session is out of view shows when it scrolls in;
    // the selection and the place survive scrolling and rebuilds.
    emit ws.w()->wss()->sessionOffline(1299);
    bar->setValue(150 * 64);
    Access::select(ws.w(), 1150);
    Access::rebuild(ws.w());
    QTest::qWait(30);
    QCOMPARE(bar->value(), 150 * 64);
    bar->setValue(bar->maximum());
    QVERIFY(!ws.row(1299)->isOnline());
    bar->setValue(150 * 64);

    const QList<int> order = ws.w()->visibleSessionOrder();
    const auto rows = Access::rows(ws.w());
    QVERIFY(rows.size() < 40);
    QCOMPARE(rowName(rows.value(1150)), QStringLiteral("s150"));
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        QCOMPARE(it.value()->y(), int(order.indexOf(it.key())) * 64);
        QVERIFY(it.value()->isVisible());
        QCOMPARE(it.value()->isSelected(), it.key() == 1150);
    }
    int shown = 0;
    for (SessionListItem *row : Access::listArea(ws.w())->widget()->findChildren<SessionListItem *>())
        shown += row->isVisible();
    QCOMPARE(shown, int(rows.size()));
}

void TestSessionList::malformedSessionsAreShownSafely()
{
    LiveWorkspace ws;
    QVERIFY(ws.start());
    const QJsonObject odd{{QStringLiteral("id"), QStringLiteral("7")},
                          {QStringLiteral("visitor_name"), 123},
                          {QStringLiteral("status"), true},
                          {QStringLiteral("unread_count"), QStringLiteral("many")},
                          {QStringLiteral("last_time"), QStringLiteral("yesterday")},
                          {QStringLiteral("last_msg"), QString(100000, QLatin1Char('x'))},
                          {QStringLiteral("ip_address"), QJsonArray{1, 2}}};
    const QJsonObject empty{{QStringLiteral("id"), 8}, {QStringLiteral("last_msg"), QString()}};
    const QJsonObject noId{{QStringLiteral("visitor_name"), QStringLiteral("no id")}};
    ws.server.setRawReply(QStringLiteral("channel-sessions"), 200,
                          pageBody({odd, empty, noId, 5, QStringLiteral("text"), QJsonValue()}));
    Access::loadPage(ws.w(), 1);

    // Entries without an id cannot be opened or addressed: they are not listed.
    QTRY_COMPARE(ws.w()->sessionList().size(), 2);
    QCOMPARE(ws.w()->visibleSessionOrder(), (QList<int>{7, 8}));
    QCOMPARE(rowName(ws.row(7)), QStringLiteral("123"));
    QCOMPARE(ws.row(7)->findChild<QLabel *>(QStringLiteral("lastMessageLabel"))->text(),
             QStringLiteral("xxxxxxxxxxxxxxx..."));
    QCOMPARE(rowName(ws.row(8)), QStringLiteral("访客"));

    Access::select(ws.w(), 7);
    QVERIFY(labelText(ws.w(), "chatStatusDot").contains(QStringLiteral("离线")));
    QVERIFY(labelText(ws.w(), "ipValueLabel").contains(QStringLiteral(">-<")));
}

ORVANTIS_TEST_MAIN(TestSessionList)
#include "tst_sessionlist.moc"
