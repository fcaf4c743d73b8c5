#include "testsupport.h"

#include "sessionlist_fixture.h"

#include <QClipboard>
#include <QLineEdit>

#include "widgets/notifysound.h"

using namespace Fixture;

namespace {

ChatSession localSession(int id, const QString &name, bool online, int unread,
                         const QString &lastTime)
{
    QVariantMap m{{QStringLiteral("id"), id},
                  {QStringLiteral("visitor_name"), name},
                  {QStringLiteral("status"), online ? QStringLiteral("online") : QStringLiteral("offline")},
                  {QStringLiteral("unread_count"), unread},
                  {QStringLiteral("last_time"), lastTime}};
    return ChatSession::fromMap(m);
}

QString isoMinute(int minute)
{
    return QDateTime(QDate(2026, 5, 1), QTime(8, 0)).addSecs(minute * 60).toString(Qt::ISODate);
}

QList<int> rowIdsInOrder(const orvantis *w)
{
    QMap<int, SessionListItem *> rows = OrvantisTestAccess::rows(w);
    QList<SessionListItem *> list = rows.values();
    std::sort(list.begin(), list.end(),
              [](SessionListItem *a, SessionListItem *b) { return a->y() < b->y(); });
    QList<int> ids;
    for (SessionListItem *row : list)
        ids.append(row->sessionId());
    return ids;
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
    void newSessionWithVisitorKeysIsListedAtOnce();
    void offlineNoticeUpdatesRowWithoutResorting();
    void deleteMenuOnlyForEmptyOfflineSessions();
    void refusedDeleteKeepsRow();
    void selectingTheSelectedRowOnlyClearsUnread();
    void copiesIpFromSessionRecord();
    void markupInNamesIsShownLiterally();
    void onlyRowsInViewAreMaterialised();
    void malformedSessionsAreShownSafely();
    void closedSessionLeavesPanel();
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

    QTRY_COMPARE(ws.window->sessionList().size(), 6);
    const QList<int> expected{d, c, a, b, f, e};
    QCOMPARE(ws.window->visibleSessionOrder(), expected);
    // Rows stand in that order, one 64-pixel row after the other.
    QCOMPARE(rowIdsInOrder(ws.window.get()), expected);
    const auto rows = OrvantisTestAccess::rows(ws.window.get());
    for (int i = 0; i < expected.size(); ++i) {
        SessionListItem *row = rows.value(expected[i]);
        QVERIFY(row);
        QCOMPARE(row->y(), i * 64);
        QCOMPARE(row->height(), 64);
        QVERIFY(row->isVisible());
    }
    QCOMPARE(rowName(rows.value(a)), QStringLiteral("A"));
    QVERIFY(rows.value(a)->isOnline());
    QVERIFY(!rows.value(b)->isOnline());
    QVERIFY(labelText(ws.window.get(), "sessionCountLabel").contains(QStringLiteral("6个会话")));
}

void TestSessionList::secondPageAddsOnlyNewIds()
{
    LiveWorkspace ws;
    const int first = ws.server.addSession(sessionFields("first", true, 0, isoMinute(10)));
    const int second = ws.server.addSession(sessionFields("second", true, 0, isoMinute(9)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 2);

    QList<ChatSession> page{localSession(second, "changed", false, 9, isoMinute(99)),
                            localSession(901, "new one", true, 0, isoMinute(5)),
                            localSession(first, "again", true, 0, isoMinute(1)),
                            localSession(902, "new two", false, 0, isoMinute(4))};
    emit ws.window->api()->sessionsReceived(page, 77, true);

    QCOMPARE(ws.window->sessionList().size(), 4);
    // Known sessions keep their data; new ones are appended in reply order.
    QCOMPARE(OrvantisTestAccess::map(ws.window.get()).value(second).visitorName,
             QStringLiteral("second"));
    QCOMPARE(ws.window->sessionList().at(2).id, 901);
    QCOMPARE(ws.window->sessionList().at(3).id, 902);
    QVERIFY(labelText(ws.window.get(), "sessionCountLabel").contains(QStringLiteral("77个会话")));
    QCOMPARE(labelText(ws.window.get(), "statusLabel"), QStringLiteral("已连接渠道，共 77 个会话"));
    QCOMPARE(OrvantisTestAccess::rows(ws.window.get()).size(), 4);
}

void TestSessionList::emptyPageChangesNothingButPaging()
{
    LiveWorkspace ws;
    for (int i = 0; i < 60; ++i)
        ws.server.addSession(sessionFields(QStringLiteral("v%1").arg(i), false, 0, isoMinute(i)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 50);
    QVERIFY(OrvantisTestAccess::hasMore(ws.window.get()));
    const QString countText = labelText(ws.window.get(), "sessionCountLabel");
    const QString statusText = labelText(ws.window.get(), "statusLabel");
    const QList<int> order = ws.window->visibleSessionOrder();

    ws.server.setRawReply(QStringLiteral("channel-sessions"), 200,
                          R"({"code":200,"msg":"ok","data":{"list":[],"total":3,"has_more":false}})");
    QScrollBar *bar = ws.listBar();
    QVERIFY(bar);
    QTRY_VERIFY(bar->maximum() > 0);
    bar->setValue(bar->maximum());
    QVERIFY(OrvantisTestAccess::loadingSessions(ws.window.get()));
    QTRY_VERIFY(!OrvantisTestAccess::loadingSessions(ws.window.get()));

    QVERIFY(!OrvantisTestAccess::hasMore(ws.window.get()));
    QCOMPARE(labelText(ws.window.get(), "sessionCountLabel"), countText);
    QCOMPARE(labelText(ws.window.get(), "statusLabel"), statusText);
    QCOMPARE(ws.window->visibleSessionOrder(), order);
    QCOMPARE(ws.window->sessionList().size(), 50);

    // No more pages: scrolling does not ask again.
    bar->setValue(0);
    bar->setValue(bar->maximum());
    QVERIFY(ws.idle());
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions")), 2);
}

void TestSessionList::scrollToEndRequestsOneNextPage()
{
    LiveWorkspace ws;
    for (int i = 0; i < 120; ++i)
        ws.server.addSession(sessionFields(QStringLiteral("v%1").arg(i), false, 0, isoMinute(i)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 50);
    QScrollBar *bar = ws.listBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QCOMPARE(bar->maximum() + bar->pageStep(), 50 * 64);

    // Further than 50 pixels from the end: nothing.
    bar->setValue(bar->maximum() - 51);
    QVERIFY(!OrvantisTestAccess::loadingSessions(ws.window.get()));

    ws.server.delayReplies(QStringLiteral("channel-sessions"), 300);
    bar->setValue(bar->maximum() - 50);
    bar->setValue(bar->maximum());
    bar->setValue(bar->maximum() - 10);
    const int before = bar->value();
    QVERIFY(OrvantisTestAccess::loadingSessions(ws.window.get()));
    QTRY_COMPARE(ws.window->sessionList().size(), 100);
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions"), QStringLiteral("page=2")), 1);
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions")), 2);
    QVERIFY(ws.countRequests(QStringLiteral("channel-sessions"), QStringLiteral("limit=50")) == 2);
    QVERIFY(!OrvantisTestAccess::loadingSessions(ws.window.get()));
    QTRY_COMPARE(bar->maximum() + bar->pageStep(), 100 * 64);
    // The list kept its place instead of jumping to the top.
    QCOMPARE(bar->value(), before);
}

void TestSessionList::failedNextPageCanBeRetried()
{
    LiveWorkspace ws;
    for (int i = 0; i < 80; ++i)
        ws.server.addSession(sessionFields(QStringLiteral("v%1").arg(i), false, 0, isoMinute(i)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 50);
    QScrollBar *bar = ws.listBar();
    QTRY_VERIFY(bar->maximum() > 0);

    ws.server.injectFault(QStringLiteral("channel-sessions"), StandIn::Fault::Http500);
    bar->setValue(bar->maximum());
    QTRY_COMPARE(ws.countRequests(QStringLiteral("channel-sessions"), QStringLiteral("page=2")), 1);
    QTRY_VERIFY(!OrvantisTestAccess::loadingSessions(ws.window.get()));
    QVERIFY(labelText(ws.window.get(), "statusLabel").startsWith(QStringLiteral("错误: ")));
    QCOMPARE(ws.window->sessionList().size(), 50);

    // The next scroll asks for the same page again, and gets it.
    bar->setValue(bar->maximum() - 20);
    QTRY_COMPARE(ws.window->sessionList().size(), 80);
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions"), QStringLiteral("page=2")), 2);
    QCOMPARE(ws.countRequests(QStringLiteral("channel-sessions"), QStringLiteral("page=3")), 0);
    QVERIFY(!OrvantisTestAccess::hasMore(ws.window.get()));
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
    QTRY_COMPARE(ws.window->sessionList().size(), 3);

    auto *search = child<QLineEdit>(ws.window.get(), "searchEdit");
    QVERIFY(search);
    search->setText(QStringLiteral("ALICE"));
    // Only the display name counts: Carol's last message mentions alice.
    QCOMPARE(ws.window->visibleSessionOrder(), QList<int>{alice});
    QCOMPARE(OrvantisTestAccess::rows(ws.window.get()).keys(), QList<int>{alice});

    search->setText(QStringLiteral("vip"));
    QCOMPARE(ws.window->visibleSessionOrder(), QList<int>{carol});
    search->setText(QStringLiteral("10.0.0"));
    QVERIFY(ws.window->visibleSessionOrder().isEmpty());
    QVERIFY(OrvantisTestAccess::rows(ws.window.get()).isEmpty());
    search->setText(QStringLiteral("  B "));
    QCOMPARE(ws.window->visibleSessionOrder(), QList<int>{bob});
    search->clear();
    QCOMPARE(ws.window->visibleSessionOrder(), (QList<int>{alice, carol, bob}));
}

void TestSessionList::newSessionForKnownIdOnlyMarksOnline()
{
    LiveWorkspace ws;
    const int online = ws.server.addSession(sessionFields("online", true, 0, isoMinute(50)));
    const int back = ws.server.addSession(sessionFields("back", false, 0, isoMinute(10)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 2);
    QCOMPARE(ws.window->visibleSessionOrder(), (QList<int>{online, back}));
    const int plays = NotifySound::instance()->playCount();
    const QString status = labelText(ws.window.get(), "statusLabel");

    emit ws.window->wss()->newSession(QVariantMap{{QStringLiteral("session_id"), back},
                                                  {QStringLiteral("visitor_name"), QStringLiteral("back")},
                                                  {QStringLiteral("last_time"), isoMinute(60)}});

    QVERIFY(OrvantisTestAccess::map(ws.window.get()).value(back).online);
    QCOMPARE(OrvantisTestAccess::map(ws.window.get()).value(back).status, QStringLiteral("online"));
    QVERIFY(ws.window->sessionList().at(1).online);
    QVERIFY(OrvantisTestAccess::rows(ws.window.get()).value(back)->isOnline());
    QCOMPARE(ws.window->sessionList().size(), 2);
    QCOMPARE(NotifySound::instance()->playCount(), plays);
    QCOMPARE(labelText(ws.window.get(), "statusLabel"), status);
}

void TestSessionList::newSessionWithoutVisitorKeysWaitsForSessionInfo()
{
    LiveWorkspace ws;
    const int old = ws.server.addSession(sessionFields("old", true, 0, isoMinute(1)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 1);
    const int fresh = ws.server.addSession(sessionFields("Fresh", true, 0, isoMinute(2)));
    const int plays = NotifySound::instance()->playCount();

    ws.server.delayReplies(QStringLiteral("session-info"), 200);
    emit ws.window->wss()->newSession(QVariantMap{{QStringLiteral("session_id"), fresh}});
    QCOMPARE(ws.window->sessionList().size(), 1);
    QCOMPARE(NotifySound::instance()->playCount(), plays);

    QTRY_COMPARE(ws.window->sessionList().size(), 2);
    QCOMPARE(ws.countRequests(QStringLiteral("session-info"),
                              QStringLiteral("session_id=%1").arg(fresh)),
             1);
    QCOMPARE(ws.window->sessionList().first().id, fresh);
    QCOMPARE(ws.window->visibleSessionOrder(), (QList<int>{fresh, old}));
    QCOMPARE(NotifySound::instance()->playCount(), plays + 1);
    QCOMPARE(labelText(ws.window.get(), "statusLabel"), QStringLiteral("新客户接入: Fresh"));
    // No session open: the new one is joined on the realtime link.
    QTRY_VERIFY(ws.countFrames(QStringLiteral("\"session_id\":%1").arg(fresh)) >= 1);

    // A second reply for the same id changes nothing.
    emit ws.window->api()->sessionInfoReceived(
            ChatSession::fromMap({{QStringLiteral("id"), fresh}}));
    QCOMPARE(ws.window->sessionList().size(), 2);
    QCOMPARE(NotifySound::instance()->playCount(), plays + 1);
}

void TestSessionList::newSessionWithVisitorKeysIsListedAtOnce()
{
    LiveWorkspace ws;
    ws.server.addSession(sessionFields("old", false, 0, isoMinute(1)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 1);
    const int plays = NotifySound::instance()->playCount();

    const int id = ws.server.visitorOpensSession(QStringLiteral("<b>Zed</b>"), QString(),
                                                 QStringLiteral("1.2.3.4"));
    QTRY_COMPARE(ws.window->sessionList().size(), 2);
    QCOMPARE(ws.window->sessionList().first().id, id);
    QCOMPARE(ws.window->visibleSessionOrder().first(), id);
    QCOMPARE(NotifySound::instance()->playCount(), plays + 1);
    QCOMPARE(labelText(ws.window.get(), "statusLabel"), QStringLiteral("新客户接入: <b>Zed</b>"));
    QCOMPARE(rowName(OrvantisTestAccess::rows(ws.window.get()).value(id)), QStringLiteral("<b>Zed</b>"));

    // Notices without a usable id are ignored.
    emit ws.window->wss()->newSession(QVariantMap{{QStringLiteral("session_id"), QStringLiteral("x")},
                                                  {QStringLiteral("visitor_name"), QStringLiteral("n")}});
    emit ws.window->wss()->newSession(QVariantMap());
    QCOMPARE(ws.window->sessionList().size(), 2);
    QCOMPARE(NotifySound::instance()->playCount(), plays + 1);
}

void TestSessionList::offlineNoticeUpdatesRowWithoutResorting()
{
    LiveWorkspace ws;
    const int first = ws.server.addSession(sessionFields("first", true, 0, isoMinute(9)));
    const int second = ws.server.addSession(sessionFields("second", true, 0, isoMinute(8)));
    const int third = ws.server.addSession(sessionFields("third", false, 0, isoMinute(20)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 3);
    const QList<int> order{first, second, third};
    QCOMPARE(ws.window->visibleSessionOrder(), order);

    ws.server.visitorLeaves(first);
    QTRY_VERIFY(!OrvantisTestAccess::map(ws.window.get()).value(first).online);
    QCOMPARE(OrvantisTestAccess::map(ws.window.get()).value(first).status, QStringLiteral("offline"));
    QVERIFY(!OrvantisTestAccess::rows(ws.window.get()).value(first)->isOnline());
    QCOMPARE(ws.window->visibleSessionOrder(), order);
    // Unknown ids are ignored.
    emit ws.window->wss()->sessionOffline(4242);
    QCOMPARE(ws.window->sessionList().size(), 3);
    // The next rebuild sorts it among the offline sessions.
    OrvantisTestAccess::rebuild(ws.window.get());
    QCOMPARE(ws.window->visibleSessionOrder(), (QList<int>{second, third, first}));
}

void TestSessionList::deleteMenuOnlyForEmptyOfflineSessions()
{
    LiveWorkspace ws;
    const int empty = ws.server.addSession(sessionFields("empty", false, 0, isoMinute(3)));
    const int online = ws.server.addSession(sessionFields("online", true, 0, isoMinute(2)));
    const int talked = ws.server.addSession(sessionFields("talked", false, 0, isoMinute(1),
                                                          QStringLiteral("hello")));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 3);
    const auto rows = OrvantisTestAccess::rows(ws.window.get());

    int menus = 0;
    chooseFirstMenuEntry(&menus);
    OrvantisTestAccess::rightClick(ws.window.get(), rows.value(online));
    OrvantisTestAccess::rightClick(ws.window.get(), rows.value(talked));
    QCOMPARE(menus, 0);
    QTest::qWait(60); // let the pending menu chooser see that no menu came
    QCOMPARE(menus, 0);

    // Declined: nothing is sent.
    QString title;
    QString text;
    answerMessageBox(QMessageBox::No, &text, &title);
    OrvantisTestAccess::rightClick(ws.window.get(), rows.value(empty));
    QCOMPARE(menus, 1);
    QCOMPARE(title, QStringLiteral("确认删除"));
    QCOMPARE(text, QStringLiteral("确定要删除该空会话吗？"));
    QVERIFY(ws.idle());
    QCOMPARE(ws.countRequests(QStringLiteral("delete-session")), 0);

    chooseFirstMenuEntry(&menus);
    answerMessageBox(QMessageBox::Yes);
    OrvantisTestAccess::rightClick(ws.window.get(), rows.value(empty));
    QCOMPARE(menus, 2);
    // The row stays until the service confirms.
    QVERIFY(OrvantisTestAccess::rows(ws.window.get()).contains(empty));
    QTRY_VERIFY(!OrvantisTestAccess::rows(ws.window.get()).contains(empty));
    const auto requests = ws.server.requestsTo(QStringLiteral("delete-session"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().jsonBody().value(QStringLiteral("session_id")).toInt(), empty);
    QVERIFY(requests.first().jsonBody().value(QStringLiteral("session_id")).isDouble());
    QCOMPARE(ws.window->visibleSessionOrder(), (QList<int>{online, talked}));
    QVERIFY(!OrvantisTestAccess::map(ws.window.get()).contains(empty));
    QCOMPARE(labelText(ws.window.get(), "statusLabel"), QStringLiteral("会话已删除"));
}

void TestSessionList::refusedDeleteKeepsRow()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("keep", false, 0, isoMinute(3)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 1);
    OrvantisTestAccess::select(ws.window.get(), id);
    QVERIFY(ws.idle());

    ws.server.injectFault(QStringLiteral("delete-session"), StandIn::Fault::Refuse);
    chooseFirstMenuEntry();
    answerMessageBox(QMessageBox::Yes);
    OrvantisTestAccess::rightClick(ws.window.get(), OrvantisTestAccess::rows(ws.window.get()).value(id));
    QTRY_COMPARE(ws.countRequests(QStringLiteral("delete-session")), 1);
    QTRY_VERIFY(labelText(ws.window.get(), "statusLabel").startsWith(QStringLiteral("错误: ")));
    QVERIFY(OrvantisTestAccess::rows(ws.window.get()).contains(id));
    QCOMPARE(ws.window->currentSession(), id);
    QCOMPARE(ws.window->sessionList().size(), 1);
}

void TestSessionList::selectingTheSelectedRowOnlyClearsUnread()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("sel", true, 4, isoMinute(3)));
    const int other = ws.server.addSession(sessionFields("other", true, 0, isoMinute(2)));
    ws.server.addMessage(id, {{QStringLiteral("from_type"), QStringLiteral("visitor")},
                              {QStringLiteral("content"), QStringLiteral("hi")}});
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 2);

    // A click on a row goes through the row's own signal.
    SessionListItem *row = OrvantisTestAccess::rows(ws.window.get()).value(id);
    QTest::mouseClick(row, Qt::LeftButton);
    QCOMPARE(ws.window->currentSession(), id);
    QCOMPARE(OrvantisTestAccess::map(ws.window.get()).value(id).unreadCount, 0);
    QVERIFY(OrvantisTestAccess::rows(ws.window.get()).value(id)->isSelected());
    QVERIFY(!OrvantisTestAccess::rows(ws.window.get()).value(other)->isSelected());
    QTRY_COMPARE(ws.window->bubbles().size(), 1);
    QVERIFY(ws.idle());
    QCOMPARE(ws.countRequests(QStringLiteral("/chat/messages")), 1);
    QCOMPARE(ws.countRequests(QStringLiteral("mark-read")), 1);

    OrvantisTestAccess::setUnread(ws.window.get(), id, 2);
    OrvantisTestAccess::select(ws.window.get(), id);
    QCOMPARE(OrvantisTestAccess::map(ws.window.get()).value(id).unreadCount, 0);
    QCOMPARE(ws.window->sessionList().first().unreadCount, 0);
    QVERIFY(ws.idle());
    QCOMPARE(ws.countRequests(QStringLiteral("/chat/messages")), 1);
    QCOMPARE(ws.countRequests(QStringLiteral("mark-read")), 2);

    // Ids below 1 select nothing.
    OrvantisTestAccess::select(ws.window.get(), 0);
    OrvantisTestAccess::select(ws.window.get(), -5);
    QCOMPARE(ws.window->currentSession(), id);

    // An unknown id still opens, and asks the service for its record.
    OrvantisTestAccess::select(ws.window.get(), 777);
    QCOMPARE(ws.window->currentSession(), 777);
    QTRY_COMPARE(ws.countRequests(QStringLiteral("session-info"), QStringLiteral("session_id=777")), 1);
    QVERIFY(ws.window->bubbles().isEmpty());
    QCOMPARE(labelText(ws.window.get(), "chatAvatarLabel"), QStringLiteral("访"));
}

void TestSessionList::copiesIpFromSessionRecord()
{
    LiveWorkspace ws;
    QJsonObject fields = sessionFields("ip", true, 0, isoMinute(1));
    fields.insert(QStringLiteral("ip_address"), QStringLiteral("<b>10.1.2.3</b>"));
    const int id = ws.server.addSession(fields);
    QJsonObject noIpFields = sessionFields("noip", true, 0, isoMinute(0));
    noIpFields.insert(QStringLiteral("ip_address"), QString());
    const int noIp = ws.server.addSession(noIpFields);
    ws.server.addSession(sessionFields("x", false, 0, QString()));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 3);

    // No open session: no menu.
    int menus = 0;
    chooseFirstMenuEntry(&menus);
    OrvantisTestAccess::ipMenu(ws.window.get());
    QTest::qWait(60);
    QCOMPARE(menus, 0);

    OrvantisTestAccess::select(ws.window.get(), id);
    const QString labelHtml = labelText(ws.window.get(), "ipValueLabel");
    QVERIFY(labelHtml.contains(QStringLiteral("&lt;b&gt;10.1.2.3&lt;/b&gt;")));
    QVERIFY(!labelHtml.contains(QStringLiteral("<b>")));

    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    OrvantisTestAccess::ipMenu(ws.window.get());
    QCOMPARE(menus, 1);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("<b>10.1.2.3</b>"));
    QCOMPARE(labelText(ws.window.get(), "statusLabel"), QStringLiteral("已复制IP: <b>10.1.2.3</b>"));

    // An empty address shows "-" and offers nothing to copy.
    OrvantisTestAccess::select(ws.window.get(), noIp);
    QVERIFY(labelText(ws.window.get(), "ipValueLabel").contains(QStringLiteral(">-<")));
    OrvantisTestAccess::ipMenu(ws.window.get());
    QTest::qWait(60);
    QCOMPARE(menus, 1);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("<b>10.1.2.3</b>"));
}

void TestSessionList::markupInNamesIsShownLiterally()
{
    LiveWorkspace ws;
    const QString name = QStringLiteral("<i>x</i><img src=\"a.png\">&amp;");
    QJsonObject fields = sessionFields(name, true, 2, isoMinute(1),
                                       QStringLiteral("<a href='x'>click</a> me please now"));
    const int id = ws.server.addSession(fields);
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 1);

    SessionListItem *row = OrvantisTestAccess::rows(ws.window.get()).value(id);
    QVERIFY(row);
    auto *nameLabel = row->findChild<QLabel *>(QStringLiteral("nameLabel"));
    QCOMPARE(nameLabel->text(), name);
    QCOMPARE(nameLabel->textFormat(), Qt::PlainText);
    auto *preview = row->findChild<QLabel *>(QStringLiteral("lastMessageLabel"));
    QCOMPARE(preview->textFormat(), Qt::PlainText);
    QCOMPARE(preview->text(), QStringLiteral("<a href='x'>cli..."));

    OrvantisTestAccess::select(ws.window.get(), id);
    const QString header = labelText(ws.window.get(), "chatNameLabel");
    QVERIFY(header.contains(name.toHtmlEscaped()));
    QVERIFY(!header.contains(QStringLiteral("<i>")));
    QCOMPARE(labelText(ws.window.get(), "chatAvatarLabel"), QStringLiteral("<"));
    QCOMPARE(child<QLabel>(ws.window.get(), "chatAvatarLabel")->textFormat(), Qt::PlainText);
}

void TestSessionList::onlyRowsInViewAreMaterialised()
{
    LiveWorkspace ws;
    QVERIFY(ws.start());
    QList<ChatSession> many;
    for (int i = 0; i < 300; ++i)
        many.append(localSession(1000 + i, QStringLiteral("s%1").arg(i), true, 0, isoMinute(1000 - i)));
    emit ws.window->api()->sessionsReceived(many, 300, false);

    QScrollBar *bar = ws.listBar();
    QTRY_COMPARE(bar->maximum() + bar->pageStep(), 300 * 64);
    auto rows = OrvantisTestAccess::rows(ws.window.get());
    QVERIFY(rows.size() < 40);
    QVERIFY(rows.contains(1000));

    // Scroll to the middle: the rows there exist at their place in the list.
    bar->setValue(150 * 64);
    rows = OrvantisTestAccess::rows(ws.window.get());
    QVERIFY(rows.size() < 40);
    QVERIFY(!rows.contains(1000));
    QVERIFY(rows.contains(1150));
    QCOMPARE(rows.value(1150)->y(), 150 * 64);
    QCOMPARE(rowName(rows.value(1150)), QStringLiteral("s150"));

    // A rebuild keeps the place.
    OrvantisTestAccess::rebuild(ws.window.get());
    QCOMPARE(bar->value(), 150 * 64);
    QTest::qWait(30);
    QCOMPARE(bar->value(), 150 * 64);

    // A change made while the session was out of view shows when it scrolls in.
    QVERIFY(!rows.contains(1299));
    emit ws.window->wss()->sessionOffline(1299);
    bar->setValue(bar->maximum());
    rows = OrvantisTestAccess::rows(ws.window.get());
    QVERIFY(rows.contains(1299));
    QVERIFY(!rows.value(1299)->isOnline());
    QVERIFY(rows.value(1298)->isOnline());

    // Selection survives scrolling away and back.
    OrvantisTestAccess::select(ws.window.get(), 1298);
    bar->setValue(0);
    bar->setValue(bar->maximum());
    QVERIFY(OrvantisTestAccess::rows(ws.window.get()).value(1298)->isSelected());

    // Every materialised row stands where the order says, and nothing else is shown.
    const QList<int> order = ws.window->visibleSessionOrder();
    QCOMPARE(order.size(), 300);
    rows = OrvantisTestAccess::rows(ws.window.get());
    for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
        QCOMPARE(it.value()->y(), int(order.indexOf(it.key())) * 64);
        QVERIFY(it.value()->isVisible());
        QCOMPARE(it.value()->isSelected(), it.key() == 1298);
    }
    int shownRows = 0;
    const auto children =
            OrvantisTestAccess::listArea(ws.window.get())->widget()->findChildren<SessionListItem *>();
    for (SessionListItem *row : children)
        shownRows += row->isVisible() ? 1 : 0;
    QCOMPARE(shownRows, int(rows.size()));
}

void TestSessionList::malformedSessionsAreShownSafely()
{
    LiveWorkspace ws;
    QVERIFY(ws.start());
    const QString huge(100000, QLatin1Char('x'));
    const QJsonObject odd{{QStringLiteral("id"), QStringLiteral("7")},
                          {QStringLiteral("visitor_name"), 123},
                          {QStringLiteral("status"), true},
                          {QStringLiteral("unread_count"), QStringLiteral("many")},
                          {QStringLiteral("last_time"), QStringLiteral("yesterday")},
                          {QStringLiteral("last_msg"), huge},
                          {QStringLiteral("ip_address"), QJsonArray{1, 2}}};
    const QJsonObject empty{{QStringLiteral("id"), 8}, {QStringLiteral("last_msg"), QString()}};
    QJsonArray list{odd, empty, QJsonObject{{QStringLiteral("visitor_name"), QStringLiteral("no id")}},
                    5, QStringLiteral("text"), QJsonValue()};
    const QByteArray body = QJsonDocument(QJsonObject{
            {QStringLiteral("code"), 200},
            {QStringLiteral("data"), QJsonObject{{QStringLiteral("list"), list},
                                                 {QStringLiteral("total"), 6},
                                                 {QStringLiteral("has_more"), false}}}})
                                    .toJson(QJsonDocument::Compact);
    ws.server.setRawReply(QStringLiteral("channel-sessions"), 200, body);
    OrvantisTestAccess::loadPage(ws.window.get(), 1, false);
    // Entries without an id cannot be opened or addressed: they are not listed.
    QTRY_COMPARE(ws.window->sessionList().size(), 2);
    QCOMPARE(ws.window->visibleSessionOrder(), (QList<int>{7, 8}));
    const auto rows = OrvantisTestAccess::rows(ws.window.get());
    QCOMPARE(rowName(rows.value(7)), QStringLiteral("123"));
    QCOMPARE(rows.value(7)->findChild<QLabel *>(QStringLiteral("lastMessageLabel"))->text(),
             QStringLiteral("xxxxxxxxxxxxxxx..."));
    QCOMPARE(rowName(rows.value(8)), QStringLiteral("访客"));

    OrvantisTestAccess::select(ws.window.get(), 7);
    QVERIFY(labelText(ws.window.get(), "chatStatusDot").contains(QStringLiteral("离线")));
    QVERIFY(labelText(ws.window.get(), "ipValueLabel").contains(QStringLiteral(">-<")));
}

void TestSessionList::closedSessionLeavesPanel()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("closing", true, 0, isoMinute(2)));
    const int other = ws.server.addSession(sessionFields("other", true, 0, isoMinute(1)));
    QVERIFY(ws.start());
    QTRY_COMPARE(ws.window->sessionList().size(), 2);
    OrvantisTestAccess::select(ws.window.get(), id);

    emit ws.window->api()->sessionClosed(9999);
    QCOMPARE(ws.window->sessionList().size(), 2);
    emit ws.window->api()->sessionClosed(id);
    QCOMPARE(ws.window->currentSession(), 0);
    QCOMPARE(ws.window->visibleSessionOrder(), QList<int>{other});
    QVERIFY(labelText(ws.window.get(), "chatNameLabel").contains(QStringLiteral("选择一个会话")));
    QVERIFY(ws.window->bubbles().isEmpty());
}

ORVANTIS_TEST_MAIN(TestSessionList)
#include "tst_sessionlist.moc"
