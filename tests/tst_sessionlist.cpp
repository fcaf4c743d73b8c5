// The session list of the real main window, driven offscreen against the
// stand-in service: order, rows, paging, search, notices, the delete and IP
// menus, as the agent sees them.

#include "workspace_fixture.h"

#include "app/applicationstyle.h"

using namespace Fixture;

class TestSessionList : public QObject
{
    Q_OBJECT

private slots:
    // As the real program: the client's look and its button captions.
    void initTestCase() { applyApplicationStyle(); }

    void orderRowsAndSearch()
    {
        Workspace ws;
        // Online before offline, then unread first, then the newest; an empty
        // time sorts last within its group.
        ws.add("Bob", false, 4, 50);
        ws.add("carol", true, 0, 40);
        const int alice
            = ws.add("ALICE", true, 120, 10, {{"last_msg", "hello there, how can I help you"}});
        ws.add("dave");
        ws.add("erin", true, 1, 5);
        ws.add("<b>x</b>", false, 0, 60);
        QVERIFY(ws.start());
        QCOMPARE(ws.names(), (QStringList {"ALICE", "erin", "carol", "dave", "Bob", "<b>x</b>"}));
        QCOMPARE(ws.rowOf(alice), "ALICE|hello there, ho...|08:10|99|on");
        const QList<int> order = ws.w()->visibleSessionOrder();
        for (int i = 0; i < order.size(); ++i)
            QCOMPARE(ws.row(order.at(i))->y(), i * 64);

        // Only the display name is searched, regardless of letter case.
        ws.line("searchEdit")->setText(" al ");
        QCOMPARE(ws.names(), QStringList {"ALICE"});
        ws.line("searchEdit")->setText("B");
        QCOMPARE(ws.names(), (QStringList {"Bob", "<b>x</b>"}));
    }

    void paging()
    {
        Workspace ws;
        for (int i = 0; i < 130; ++i)
            ws.add(QString("v%1").arg(i), false, 0, i);
        QVERIFY(ws.start());
        QScrollBar *bar = Access::listArea(ws.w())->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0);

        // Further than 50 px from the end: nothing.
        bar->setValue(bar->maximum() - 51);
        QVERIFY(ws.idle());
        QCOMPARE(ws.requests("channel-sessions"), 1);

        // A failure of another request while page 2 is on its way does not
        // unblock paging: page 2 is asked for once.
        ws.server.delayReplies("channel-sessions", 300);
        ws.server.injectFault("mark-read", DevServer::Fault::Http500);
        bar->setValue(bar->maximum());
        ws.w()->api()->markRead(1);
        QTRY_VERIFY(ws.text("statusLabel").startsWith("错误: "));
        bar->setValue(bar->maximum() - 10);
        const int kept = bar->value();
        QTRY_COMPARE(ws.w()->sessionList().size(), 100);
        QCOMPARE(ws.requests("channel-sessions", "limit=50&page=2"), 1);
        // The list keeps its place instead of jumping to the top.
        QTRY_COMPARE(bar->maximum() + bar->pageStep(), 100 * 64);
        QCOMPARE(bar->value(), kept);

        // A failed page is asked for again by the next scroll.
        ws.server.injectFault("channel-sessions", DevServer::Fault::Http500);
        bar->setValue(bar->maximum());
        QTRY_COMPARE(ws.requests("channel-sessions", "page=3"), 1);
        QVERIFY(ws.idle());
        bar->setValue(bar->maximum() - 20);
        QTRY_COMPARE(ws.w()->sessionList().size(), 130);
        QCOMPARE(ws.requests("channel-sessions", "page=3"), 2);

        // The last page said there is no more: scrolling asks nothing.
        for (int value = 0; value <= bar->maximum(); value += 300)
            bar->setValue(value);
        bar->setValue(0);
        QVERIFY(ws.idle());
        QCOMPARE(ws.requests("channel-sessions"), 4);

        // A reload of page 1 that fails keeps the list (the store's own test
        // has the rest), and asks for page 1 again.
        ws.server.injectFault("channel-sessions", DevServer::Fault::Http500);
        ws.server.pushFrame(
            {{"type", "session_transferred"}, {"session_id", 1}, {"action", "assigned"}});
        QTRY_COMPARE(ws.requests("channel-sessions"), 5);
        QCOMPARE(ws.w()->visibleSessionOrder().size(), 130);
        // A listed visitor opened meanwhile is no new visitor.
        const int sounds = ws.plays(), oldest = ws.w()->visibleSessionOrder().constLast();
        QVERIFY(ws.open(ws.w()->visibleSessionOrder().at(128)));
        QCOMPARE(ws.requests("session-info"), 0);
        QTRY_COMPARE_WITH_TIMEOUT(ws.w()->sessionList().size(), 50, 5000);
        QCOMPARE(ws.requests("channel-sessions", "page=1"), 3);
        // Nor is one no longer listed: its record comes, silently.
        QVERIFY(ws.open(oldest));
        QCOMPARE(ws.requests("session-info"), 1);
        QVERIFY(Access::map(ws.w()).contains(oldest));
        QCOMPARE(ws.plays(), sounds);
        QVERIFY(!ws.text("statusLabel").contains("新客户接入"));
    }

    void selectionAndNotices()
    {
        Workspace ws;
        const int first = ws.add("first", true, 3, 9);
        const int known = ws.add("known", false, 0, 1);
        QVERIFY(ws.start() && ws.open(first));
        QCOMPARE(ws.rowOf(first), "first||08:09|-|on");
        QCOMPARE(ws.requests("/chat/messages", QString("session_id=%1").arg(first)), 1);
        QCOMPARE(ws.server.requestsTo("mark-read").size(), 1);
        QCOMPARE(ws.server.requestsTo("mark-read")[0].jsonBody()["session_id"].toInt(), first);
        QVERIFY(ws.text("chatNameLabel").contains(">first<"));
        // Joined once per session and link, and again on a new link.
        const QString join = "{\"session_id\":%1,\"type\":\"join_session\"}";
        for (int id : {first, known, first, first})
            Access::select(ws.w(), id);
        QTRY_COMPARE(ws.frames(join.arg(first)), 2);
        ws.w()->wss()->setReconnectBaseDelayMs(50);
        ws.server.dropConnections();
        QTRY_COMPARE(ws.frames("\"type\":\"join\""), 2);
        QTRY_COMPARE(ws.frames(join.arg(first)), 3);
        QVERIFY(ws.open(known));
        QCOMPARE(ws.frames(join.arg(first)), 3);
        QCOMPARE(ws.frames(join.arg(known)), 2);
        QVERIFY(!ws.row(first)->isSelected() && ws.row(known)->isSelected());
        QVERIFY(ws.text("chatStatusDot").contains("● 离线"));

        // A known visitor comes back: online again, in the header too, no sound.
        const int sounds = ws.plays(), visitorSounds = ws.plays(NotifySound::Event::NewVisitor);
        ws.server.pushFrame(
            {{"type", "new_session"}, {"session_id", known}, {"visitor_name", "known"}});
        QTRY_COMPARE(ws.rowOf(known), "known||08:01|-|on");
        QVERIFY(ws.text("chatStatusDot").contains("● 在线"));
        QCOMPARE(ws.plays(), sounds);
        // Leaving: the dot and the header follow.
        ws.server.visitorLeaves(known);
        QTRY_COMPARE(ws.rowOf(known), "known||08:01|-|off");
        QVERIFY(ws.text("chatStatusDot").contains("● 离线"));

        // A notice without visitor keys waits for the session record, which then
        // lands on top with a sound and the status text.
        const int fresh = ws.add("fresh", true, 0, 10);
        ws.server.pushFrame({{"type", "new_session"}, {"session_id", fresh}});
        QTRY_COMPARE(ws.names(), (QStringList {"fresh", "first", "known"}));
        QCOMPARE(ws.requests("session-info", QString("session_id=%1").arg(fresh)), 1);
        QTRY_COMPARE(ws.plays(), sounds + 1);
        QTRY_COMPARE(ws.plays(NotifySound::Event::NewVisitor), visitorSounds + 1);
        QCOMPARE(ws.text("statusLabel"), "新客户接入: fresh");
        // A toast's click opens its session, unless that is no longer listed.
        Access::toastClicked(ws.w(), 999);
        QCOMPARE(ws.w()->currentSession(), known);
        Access::toastClicked(ws.w(), fresh);
        QCOMPARE(ws.w()->currentSession(), fresh);
    }

    void deleteAndIpMenus()
    {
        Workspace ws;
        const int empty = ws.add("empty", false, 0, 3, {{"ip_address", "<b>10.1.2.3</b>"}});
        const int online = ws.add("online", true, 0, 2);
        const int talked = ws.add("talked", false, 0, 1, {{"last_msg", "hi"}});
        QVERIFY(ws.start() && ws.open(empty));
        // The IP is shown literally, and the menu copies the record's text.
        QVERIFY(ws.text("ipValueLabel").contains(">&lt;b&gt;10.1.2.3&lt;/b&gt;<"));
        Access::ipMenu(ws.w());
        QTRY_VERIFY(ws.openMenu());
        QPointer<QMenu> ipMenu = ws.openMenu();
        ipMenu->actions().first()->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), "<b>10.1.2.3</b>");
        ipMenu->close();
        QTRY_VERIFY(!ipMenu); // menus do not pile up, one per right click
        ws.line("remarkEdit")->setText("stale");

        // Only an offline session without messages offers deletion.
        Access::rightClick(ws.w(), ws.row(online));
        Access::rightClick(ws.w(), ws.row(talked));
        QVERIFY(!ws.openMenu());
        // Declined first, then confirmed.
        for (auto answer : {QMessageBox::No, QMessageBox::Yes}) {
            Access::rightClick(ws.w(), ws.row(empty));
            QMenu *menu = ws.openMenu();
            QVERIFY(menu);
            QCOMPARE(menu->actions().first()->text(), "删除会话");
            menu->actions().first()->trigger();
            menu->close();
            auto *box = ws.w()->findChild<QMessageBox *>();
            QVERIFY(box && box->isVisible());
            QCOMPARE(box->windowTitle() + box->text() + box->button(QMessageBox::Yes)->text()
                         + box->button(QMessageBox::No)->text(),
                     "确认删除确定要删除该空会话吗？确定取消");
            QCOMPARE(box->grab().toImage().pixelColor(2, 2), QColor(0xfa, 0xf8, 0xfd));
            box->button(answer)->click();
            QVERIFY(ws.idle());
            QTRY_VERIFY(!ws.w()->findChild<QMessageBox *>());
        }
        QCOMPARE(ws.server.requestsTo("delete-session").size(), 1);
        QCOMPARE(ws.server.requestsTo("delete-session")[0].jsonBody(),
                 (QJsonObject {{"session_id", empty}}));

        // Gone from the list, and nothing of it is left in the panel.
        QTRY_COMPARE(ws.names(), (QStringList {"online", "talked"}));
        QCOMPARE(ws.w()->currentSession(), 0);
        QCOMPARE(ws.text("chatAvatarLabel") + ws.text("ipValueLabel")
                     + ws.line("remarkEdit")->text(),
                 "?-");
        QVERIFY(ws.text("chatNameLabel").contains("选择一个会话"));
        Access::ipMenu(ws.w());
        QVERIFY(!ws.openMenu());
        // A "保存" now writes nothing anywhere.
        Access::saveRemark(ws.w());
        QVERIFY(ws.idle());
        QCOMPARE(ws.requests("update-session"), 0);
    }

    void malformedSessions()
    {
        Workspace ws;
        QVERIFY(ws.start());
        // Wrong types, a huge preview, rows without an id or not objects at all;
        // epoch seconds after the year 9999 keep their text rather than vanish.
        ws.server.setRawReply("channel-sessions", 200,
                              R"({"code":200,"data":{"total":3,"has_more":false,"list":[
            {"id":"7","visitor_name":123,"status":true,"unread_count":"many","ip_address":[1,2],
             "last_time":"yesterday","last_msg":")"
                                  + QByteArray(100000, 'x') + R"("},
            {"id":8,"last_time":"253402300800","status":"online"},
            {"visitor_name":"no id"},5,"text",null]}})");
        Access::reloadSessions(ws.w());
        QTRY_COMPARE(ws.w()->visibleSessionOrder(), (QList<int> {8, 7}));
        QCOMPARE(Access::map(ws.w()).value(8).lastTime, "253402300800");
        QCOMPARE(ws.rowOf(7), "123|xxxxxxxxxxxxxxx...||-|off");
        QVERIFY(ws.open(7));
        QVERIFY(ws.text("ipValueLabel").contains(">-<"));
    }

    void orderHeldUnderPointer_data()
    {
        QTest::addColumn<bool>("resting");
        QTest::newRow("pointer comes in") << false;
        QTest::newRow("list appears under the pointer") << true;
    }

    // A visitor who writes must not slide under the agent's pointer, however
    // long it rests: counts and previews change in place, the row under the
    // pointer is lit and takes the click, the order follows when it leaves.
    void orderHeldUnderPointer()
    {
        QFETCH(bool, resting);
        Workspace ws;
        const int low = ws.add("low", true, 0, 1), high = ws.add("high", true, 0, 2);
        const int gone = ws.add("gone", true, 0, 3);
        QVERIFY(ws.start());
        QWidget *viewport = Access::listArea(ws.w())->viewport();
        const QPoint aim = viewport->mapToGlobal(QPoint(20, 32)); // the top row
        QCursor::setPos(-50, -50);
        if (resting)
            ws.w()->hide();
        QTest::mouseMove(viewport, QPoint(20, 32));
        ws.w()->show();
        // Rows that go are taken out; the row that comes under the pointer is lit.
        ws.server.pushFrame(
            {{"type", "session_transferred"}, {"session_id", gone}, {"action", "removed"}});
        QTRY_COMPARE(ws.names(), (QStringList {"high", "low"}));
        ws.server.visitorSays(low, "up");
        QTRY_COMPARE(ws.cell(low, 3), "1");
        auto *check = ws.w()->findChild<QTimer *>("sessionListHoldCheck");
        check->setInterval(10);
        QSignalSpy checks(check, &QTimer::timeout);
        QTRY_VERIFY(checks.count() >= 3);
        QCOMPARE(ws.names(), (QStringList {"high", "low"}));
        QVERIFY(ws.row(high)->isHovered() && !ws.row(low)->isHovered());
        QTest::mouseClick(ws.w()->windowHandle(), Qt::LeftButton, {}, ws.w()->mapFromGlobal(aim));
        QTRY_COMPARE(ws.w()->currentSession(), high);
        QTest::mouseMove(ws.line("searchEdit"));
        QCOMPARE(ws.names(), (QStringList {"low", "high"}));
    }

    // Ctrl+F goes to the search; Ctrl+Up/Down open the neighbours in list
    // order from the editor too, bring them into view and stop at the ends.
    void keyboard()
    {
        Workspace ws;
        for (int i = 0; i < 30; ++i)
            ws.add(QString("v%1").arg(i), true, 0, 59 - i);
        QVERIFY(ws.start());
        const QList<int> order = ws.w()->visibleSessionOrder();
        QWidget *editor = ws.w()->findChild<QWidget *>("messageEdit");
        ws.line("searchEdit")->setFocus();
        // Nothing open: Up starts at the bottom, far out of view.
        const QList<std::pair<Qt::Key, int>> steps {{Qt::Key_Up, order.size() - 1},
                                                    {Qt::Key_Down, order.size() - 1},
                                                    {Qt::Key_Up, order.size() - 2},
                                                    {Qt::Key_Up, order.size() - 3}};
        for (const auto &[key, at] : steps) {
            QTest::keyClick(QApplication::focusWidget(), key, Qt::ControlModifier);
            QCOMPARE(ws.w()->currentSession(), order.at(at));
            QVERIFY(ws.row(order.at(at)));
        }
        QCOMPARE(QApplication::focusWidget(), editor);
        QVERIFY(ws.idle());
        QCOMPARE(ws.requests("mark-read"), 3);
        // A new search replaces the last one.
        ws.line("searchEdit")->setText("v1");
        QTest::keyClick(editor, Qt::Key_F, Qt::ControlModifier);
        QTest::keyClicks(QApplication::focusWidget(), "v2");
        QCOMPARE(ws.line("searchEdit")->text(), "v2");
    }
};

ORVANTIS_TEST_MAIN(TestSessionList)
#include "tst_sessionlist.moc"
