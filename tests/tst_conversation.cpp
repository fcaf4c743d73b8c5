// The conversation pane of the real main window against the stand-in
// service: history, sides, recall, remark, joins, the image viewer, and
// menus whose bubble goes away while they are open.

#include "workspace_fixture.h"

#include <QClipboard>
#include <QDialog>

using namespace Fixture;

namespace {

QStringList cachedUuids(const orvantis *w, int sessionId)
{
    QStringList uuids;
    for (const ChatMessage &m : w->messages().value(sessionId))
        uuids.append(m.msgUuid);
    return uuids;
}

// A workspace with one session holding `messages`, opened, its history in.
int openSession(Workspace &ws, const QList<QJsonObject> &messages)
{
    const int id = ws.server.addSession(sessionFields("talk"));
    for (const QJsonObject &m : messages)
        ws.server.addMessage(id, m);
    return ws.start() && ws.open(id) ? id : 0;
}

} // namespace

class TestConversation : public QObject
{
    Q_OBJECT

private slots:
    void history();
    void lateHistoryOfLeftSessionIsDropped();
    void recall();
    void recallReceived();
    void remark();
    void joinOncePerSessionAndLink();
    void lightbox_data();
    void lightbox();
    void menuOutlivesItsBubble_data();
    void menuOutlivesItsBubble();
};

void TestConversation::history()
{
    QJsonObject gone = message("visitor", "gone", "u2");
    gone.insert("is_deleted", 1);
    QJsonObject kept = message("visitor", "kept", "u5");
    kept.insert("is_deleted", 2);
    Workspace ws;
    const int id = openSession(ws,
                               {message("visitor", "<h1>one</h1>", "u1", "访客"), gone,
                                message("agent", "two", "u3"), message("admin", "three", "u4"),
                                message("Agent", "four", "u6", "Zed"), kept});
    QVERIFY(id);
    // The agent side is exactly "agent" or "admin"; markup stays text.
    QCOMPARE(ws.bubbles(), (QStringList {"<h1>one</h1>", "me:two", "me:three", "four", "kept"}));
    QCOMPARE(cachedUuids(ws.w(), id), (QStringList {"u1", "u3", "u4", "u6", "u5"}));
    // An anonymous visitor wears the session's name; only own messages offer recall.
    QCOMPARE(ws.w()->bubbles().at(0)->avatarLabel()->text(), QStringLiteral("T"));
    QCOMPARE(ws.w()->bubbles().at(3)->avatarLabel()->text(), QStringLiteral("Z"));
    for (ChatBubble *b : ws.w()->bubbles())
        QCOMPARE(b->recallButton()->isVisibleTo(b), b->isFromSelf());
    QCOMPARE(ws.requests("/chat/messages", QString("session_id=%1").arg(id)), 1);
}

void TestConversation::lateHistoryOfLeftSessionIsDropped()
{
    Workspace ws;
    const int first = ws.server.addSession(sessionFields("first"));
    const int second = ws.server.addSession(sessionFields("second"));
    ws.server.addMessage(first, message("visitor", "from first", "f1"));
    ws.server.addMessage(second, message("visitor", "from second", "s1"));
    QVERIFY(ws.start());

    ws.server.delayReplies("/chat/messages", 300);
    Access::select(ws.w(), first);
    QVERIFY(ws.open(second));
    QCOMPARE(ws.bubbles(), QStringList {"from second"});
    QVERIFY(!ws.w()->messages().contains(first));
}

void TestConversation::recall()
{
    Workspace ws;
    const int id
        = openSession(ws,
                      {message("agent", "older", "dup"), message("visitor", "between", "v1"),
                       message("agent", "newer", "dup")});
    QVERIFY(id);
    QTRY_COMPARE(ws.frames("join_session"), 1);

    // Through the bubble's own link: only the newest of the same uuid goes.
    ws.w()->bubbles().at(2)->recallButton()->click();
    QCOMPARE(ws.bubbles(), (QStringList {"me:older", "between"}));
    QCOMPARE(cachedUuids(ws.w(), id), (QStringList {"dup", "v1"}));
    QCOMPARE(ws.text("statusLabel"), QStringLiteral("消息已撤回"));
    QTRY_COMPARE(
        ws.frames(QString("{\"msg_uuid\":\"dup\",\"session_id\":%1,\"type\":\"recall\"}").arg(id)),
        1);
    Access::recallClicked(ws.w(), QString());
    QCOMPARE(ws.w()->bubbles().size(), 2);

    // With the link down the service would keep the message: so does the client.
    ws.w()->wss()->disconnectFromServer();
    Access::recallClicked(ws.w(), QStringLiteral("dup"));
    QCOMPARE(ws.w()->bubbles().size(), 2);
    QCOMPARE(ws.text("statusLabel"), QStringLiteral("WSS 未连接，撤回失败，请稍后重试"));
    QCOMPARE(ws.frames("\"recall\""), 1);
}

void TestConversation::recallReceived()
{
    Workspace ws;
    const int open = ws.server.addSession(sessionFields("open"));
    const int other = ws.server.addSession(sessionFields("other"));
    ws.server.addMessage(other, message("visitor", "x", "shared"));
    ws.server.addMessage(other, message("visitor", "y", "keep"));
    ws.server.addMessage(open, message("visitor", "same uuid here", "shared"));
    QVERIFY(ws.start());
    QVERIFY(ws.open(other));
    QVERIFY(ws.open(open));

    // Another session: only its cache changes.
    emit ws.w()->wss()->recallReceived(QStringLiteral("shared"), other);
    emit ws.w()->wss()->recallReceived(QString(), other);
    QCOMPARE(ws.bubbles(), QStringList {"same uuid here"});
    QCOMPARE(cachedUuids(ws.w(), other), QStringList {"keep"});
    // The open session: bubble and cached message.
    emit ws.w()->wss()->recallReceived(QStringLiteral("shared"), open);
    QCOMPARE(ws.bubbles(), QStringList());
    QCOMPARE(cachedUuids(ws.w(), open), QStringList());
}

void TestConversation::remark()
{
    Workspace ws;
    const int a = ws.server.addSession(sessionFields("a", true, 0, "2026-05-01T08:02:00"));
    QJsonObject fields = sessionFields("b", true, 0, "2026-05-01T08:01:00");
    fields.insert("remark", "B-old");
    const int b = ws.server.addSession(fields);
    QVERIFY(ws.start());
    auto *edit = ws.w()->findChild<QLineEdit *>(QStringLiteral("remarkEdit"));

    // Edited before the reply while the session stays open: the edit is kept,
    // and the remark names the visitor everywhere, literally.
    QVERIFY(ws.open(a));
    edit->setText(QStringLiteral("  first  "));
    ws.server.delayReplies("update-session", 300);
    Access::saveRemark(ws.w());
    edit->setText(QStringLiteral(" <b>Edited</b> "));
    QTRY_COMPARE(ws.text("statusLabel"), QStringLiteral("备注已保存"));
    QCOMPARE(ws.server.requestsTo("update-session").first().jsonBody(),
             (QJsonObject {{"session_id", a}, {"remark", "first"}}));
    QCOMPARE(ws.rowOf(a), QStringLiteral("<b>Edited</b>||08:02|-|on"));
    QVERIFY(ws.text("chatNameLabel").contains(QStringLiteral(">&lt;b&gt;Edited&lt;/b&gt;<")));

    // Saved on A, B opened before the reply: A gets what was sent, B keeps its own.
    edit->setText(QStringLiteral("VIP-A"));
    ws.server.delayReplies("update-session", 300);
    Access::saveRemark(ws.w());
    Access::select(ws.w(), b);
    QCOMPARE(edit->text(), QStringLiteral("B-old"));
    QTRY_COMPARE(Access::map(ws.w()).value(a).remark, QStringLiteral("VIP-A"));
    QCOMPARE(Access::map(ws.w()).value(b).remark, QStringLiteral("B-old"));
    QCOMPARE(ws.names(), (QStringList {"VIP-A", "B-old"}));
    QCOMPARE(edit->text(), QStringLiteral("B-old"));

    // Opening a session that is not listed leaves no remark behind to save.
    Access::select(ws.w(), 4711);
    QCOMPARE(edit->text(), QString());
}

void TestConversation::joinOncePerSessionAndLink()
{
    Workspace ws;
    const int a = ws.server.addSession(sessionFields("a"));
    const int b = ws.server.addSession(sessionFields("b"));
    QVERIFY(ws.start());
    const QString joinA = QString("{\"session_id\":%1,\"type\":\"join_session\"}").arg(a);
    const QString joinB = QString("{\"session_id\":%1,\"type\":\"join_session\"}").arg(b);

    for (int id : {a, a, b, a})
        Access::select(ws.w(), id);
    QTRY_COMPARE(ws.frames(joinA), 2);
    QCOMPARE(ws.frames(joinB), 1);

    // A new authenticated link joins the channel and the open session again.
    ws.w()->wss()->setReconnectBaseDelayMs(50);
    ws.server.dropConnections();
    QTRY_COMPARE(ws.frames(joinA), 3);
    QTRY_COMPARE(ws.frames(QString("\"channel\":\"%1\"").arg(ws.server.channelCode())), 2);
    QTest::qWait(100);
    QCOMPARE(ws.frames(joinA), 3);
    QCOMPARE(ws.frames(joinB), 1);
}

void TestConversation::lightbox_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("picture"); // empty: the failure text
    QTest::newRow("image") << "/images/demo-3.png" << QSize(480, 300);
    QTest::newRow("missing file") << "/uploads/none.png" << QSize();
    QTest::newRow("not an image") << "/api/agent/channel" << QSize();
    QTest::newRow("not a url") << "::not a url::" << QSize();
}

void TestConversation::lightbox()
{
    QFETCH(QString, path);
    QFETCH(QSize, picture);
    Workspace ws;
    QVERIFY(ws.start());
    if (path.startsWith('/'))
        path = QString("http://127.0.0.1:%1%2").arg(ws.server.port()).arg(path);

    Access::lightbox(ws.w(), path);
    auto *dialog = ws.w()->findChild<QDialog *>();
    QVERIFY(dialog && dialog->isVisible());
    QPointer<QDialog> guard(dialog);
    QLabel *label = dialog->findChild<QLabel *>();
    QCOMPARE(label->text(), QStringLiteral("加载中..."));
    if (picture.isEmpty()) {
        QTRY_COMPARE(label->text(), QStringLiteral("图片加载失败"));
    } else {
        // Scaled into the label, keeping the proportions.
        QTRY_VERIFY(!label->pixmap().isNull());
        const QSize shown = label->pixmap().size();
        QVERIFY(qAbs(shown.width() * picture.height() - shown.height() * picture.width())
                < picture.width() + picture.height());
        QVERIFY(shown.width() <= label->width() && shown.height() <= label->height());
    }
    // A click anywhere on it closes the viewer.
    QTest::mouseClick(label, Qt::LeftButton);
    QTRY_VERIFY(!guard);
}

// A bubble can go away while its copy menu is open; the menu must neither
// crash the program nor copy from a dead bubble.
void TestConversation::menuOutlivesItsBubble_data()
{
    QTest::addColumn<QString>("cause");
    QTest::newRow("recall from the service") << "recall";
    QTest::newRow("history reloaded") << "history";
    QTest::newRow("session deleted") << "deleted";
    QTest::newRow("token expired") << "expired";
}

void TestConversation::menuOutlivesItsBubble()
{
    QFETCH(QString, cause);
    Answerer answers; // the login dialog after an expired token is cancelled
    Workspace ws;
    const int id = openSession(ws, {message("visitor", "copy me", "c1")});
    QVERIFY(id);
    QPointer<ChatBubble> bubble = ws.w()->bubbles().first();
    emit bubble->customContextMenuRequested(QPoint(5, 5));
    QPointer<QMenu> menu = openMenu();
    QVERIFY(menu);
    QAction *copy = menu->actions().first();

    if (cause == "recall") {
        emit ws.w()->wss()->recallReceived(QStringLiteral("c1"), id);
    } else if (cause == "history") {
        ws.w()->api()->getMessages(id, QString());
    } else if (cause == "deleted") {
        emit ws.w()->api()->sessionDeleted(id);
    } else {
        ws.server.injectFault("/chat/messages", StandIn::Fault::Http401);
        ws.w()->api()->getMessages(id, QString());
    }
    QTRY_VERIFY(!bubble);
    QTRY_VERIFY(!menu || !menu->isVisible());
    if (menu) {
        QGuiApplication::clipboard()->clear();
        copy->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("copy me"));
    }
    // A cancelled login dialog asks the program to quit; not this test's.
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
}

ORVANTIS_TEST_MAIN(TestConversation)
#include "tst_conversation.moc"
