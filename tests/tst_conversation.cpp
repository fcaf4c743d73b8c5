// The conversation pane of the real main window against the stand-in
// service: history, sides, recall, remark, the image viewer, and
// menus whose bubble goes away while they are open.

#include "workspace_fixture.h"

using namespace Fixture;

namespace {

QStringList cachedUuids(const orvantis *w, int sessionId)
{
    QStringList uuids;
    for (const ChatMessage &m : w->store()->messages(sessionId))
        uuids.append(m.msgUuid);
    return uuids;
}

QJsonObject message(const QString &fromType, const QString &content, const QString &uuid,
                    const QString &name = {}, int deleted = 0)
{
    return {{"from_type", fromType},
            {"content", content},
            {"msg_uuid", uuid},
            {"from_name", name},
            {"is_deleted", deleted}};
}

// A session named `name` holding `messages`.
int addSession(Workspace &ws, const QString &name, const QList<QJsonObject> &messages)
{
    const int id = ws.add(name);
    for (const QJsonObject &m : messages)
        ws.server.addMessage(id, m);
    return id;
}

} // namespace

class TestConversation : public QObject
{
    Q_OBJECT

private slots:
    void history()
    {
        Workspace ws;
        const int id
            = addSession(ws, "talk",
                         {message("visitor", "<h1>one</h1>", "u1", "访客"),
                          message("visitor", "gone", "u2", {}, 1), message("agent", "two", "u3"),
                          message("admin", "three", "u4"), message("Agent", "four", "u6", "Zed"),
                          message("visitor", "kept", "u5", {}, 2)});
        const int left = addSession(ws, "left", {message("visitor", "from left", "l1")});
        QVERIFY(ws.start());
        // The history of a session left before it arrives is dropped.
        ws.server.delayReplies("/chat/messages", 300);
        Access::select(ws.w(), left);
        QVERIFY(ws.open(id));
        QVERIFY(!ws.w()->store()->isCached(left));

        // The agent side is exactly "agent" or "admin"; markup stays text.
        QCOMPARE(ws.bubbles(),
                 (QStringList {"<h1>one</h1>", "me:two", "me:three", "four", "kept"}));
        QCOMPARE(cachedUuids(ws.w(), id), (QStringList {"u1", "u3", "u4", "u6", "u5"}));
        // An anonymous visitor wears the session's name; only own messages offer recall.
        QCOMPARE(ws.w()->bubbles().at(0)->avatarLabel()->text(), "T");
        QCOMPARE(ws.w()->bubbles().at(3)->avatarLabel()->text(), "Z");
        for (ChatBubble *b : ws.w()->bubbles())
            QCOMPARE(b->recallButton()->isVisibleTo(b), b->isFromSelf());
    }

    // A long conversation opens at its newest message and goes back there
    // when one arrives, even after the agent scrolled up.
    void followsTheNewest()
    {
        Workspace ws;
        QList<QJsonObject> many;
        for (int i = 0; i < 40; ++i)
            many << message("visitor", QString("line %1").arg(i), QString("m%1").arg(i));
        const int id = addSession(ws, "long", many);
        QVERIFY(ws.start() && ws.open(id));
        QScrollBar *bar = ws.w()->findChild<QScrollArea *>("chatScrollArea")->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
        bar->setValue(0);
        ws.server.visitorSays(id, "newest");
        QTRY_VERIFY(bar->value() > 0 && bar->value() == bar->maximum());
    }

    // A flood into the open conversation and another: shown in a few goes,
    // the newest few hundred on screen; older ones come back on scrolling up.
    void floodsStayBounded()
    {
        Workspace ws;
        const int id = ws.add("busy", true, 0, 60), other = ws.add("other", true, 0, 50);
        QVERIFY(ws.start() && ws.open(id));
        const int sounds = ws.plays();
        for (int i = 0; i < 400; ++i)
            ws.server.visitorSays(i % 4 ? id : other, QString("flood %1").arg(i));
        QTRY_VERIFY(ws.bubbles().endsWith("flood 399"));
        QTRY_VERIFY(Access::arrivalsShown(ws.w()));
        // Built over several turns, yet in the order they came and none left out.
        const QStringList floods = ws.bubbles().filter(QRegularExpression("^flood "));
        for (qsizetype i = 1; i < floods.size(); ++i) {
            const int next = floods.at(i - 1).mid(6).toInt() + 1;
            QCOMPARE(floods.at(i), QString("flood %1").arg(next % 4 ? next : next + 1));
        }
        QCOMPARE(Access::map(ws.w()).value(other).unreadCount, 100);
        QVERIFY(ws.bubbles().size() <= 250);
        QVERIFY(ws.plays() - sounds < 50);
        const int shown = int(ws.bubbles().size());
        const QString first = ws.bubbles().constFirst();
        QScrollBar *bar = ws.w()->findChild<QScrollArea *>("chatScrollArea")->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
        bar->setValue(0);
        QTRY_VERIFY(ws.bubbles().size() > shown);
        QVERIFY(ws.bubbles().indexOf(first) > 0);
        QCOMPARE(ws.bubbles().constLast(), "flood 399");
    }

    void recall()
    {
        Workspace ws;
        const int id
            = addSession(ws, "talk",
                         {message("agent", "older", "dup"), message("visitor", "same", "v1"),
                          message("agent", "newer", "dup"), message("visitor", "same", "v2")});
        const int other = addSession(
            ws, "other", {message("visitor", "same", "v1"), message("visitor", "y", "keep")});
        QVERIFY(ws.start() && ws.open(other) && ws.open(id));

        // Through the bubble's own link: only the newest of the same uuid goes.
        ws.w()->bubbles().at(2)->recallButton()->click();
        QCOMPARE(ws.bubbles(), (QStringList {"me:older", "same", "same"}));
        QCOMPARE(cachedUuids(ws.w(), id), (QStringList {"dup", "v1", "v2"}));
        QTRY_COMPARE(
            ws.frames(
                QString("{\"msg_uuid\":\"dup\",\"session_id\":%1,\"type\":\"recall\"}").arg(id)),
            1);

        // The writer's recall, pushed by the service: for another session only
        // its cache changes (and opening it later does not bring the message
        // back); in the open one that bubble goes and its look-alike stays.
        QVERIFY(ws.server.recallMessage(other, "v1") && ws.server.recallMessage(id, "v1"));
        QTRY_COMPARE(cachedUuids(ws.w(), other) + cachedUuids(ws.w(), id),
                     (QStringList {"keep", "dup", "v2"}));
        QCOMPARE(ws.w()->bubbles().at(1)->msgUuid() + ws.bubbles().join('|'), "v2me:older|same");

        // With the link down the service would keep the message: so does the client.
        ws.w()->wss()->disconnectFromServer();
        Access::recallClicked(ws.w(), "dup");
        QCOMPARE(ws.bubbles(), (QStringList {"me:older", "same"}));
        QCOMPARE(ws.text("statusLabel"), "WSS 未连接，撤回失败，请稍后重试");
        QCOMPARE(ws.frames("\"recall\""), 1);
        QVERIFY(ws.open(other) && ws.bubbles() == QStringList {"y"});
    }

    void remark()
    {
        Workspace ws;
        const int a = ws.add("a", true, 0, 2);
        const int b = ws.add("b", true, 0, 1, {{"remark", "B-old"}});
        QVERIFY(ws.start());
        QLineEdit *edit = ws.line("remarkEdit");

        // Edited before the reply while the session stays open: the edit is
        // kept, and the remark names the visitor.
        QVERIFY(ws.open(a));
        edit->setText("  first  ");
        ws.server.delayReplies("update-session", 300);
        Access::saveRemark(ws.w());
        edit->setText(" Edited ");
        QTRY_COMPARE(ws.text("statusLabel"), "备注已保存");
        QCOMPARE(ws.server.requestsTo("update-session")[0].jsonBody(),
                 (QJsonObject {{"session_id", a}, {"remark", "first"}}));
        QCOMPARE(ws.names(), (QStringList {"Edited", "B-old"}));

        // Saved on A, B opened before the reply: A gets what was sent, B keeps its own.
        edit->setText("VIP-A");
        ws.server.delayReplies("update-session", 300);
        Access::saveRemark(ws.w());
        Access::select(ws.w(), b);
        QTRY_COMPARE(ws.names(), (QStringList {"VIP-A", "B-old"}));
        QCOMPARE(edit->text(), "B-old");

        // Opening a session that is not listed leaves no remark behind to save.
        Access::select(ws.w(), 4711);
        QCOMPARE(edit->text(), QString());
    }

    // An image, or what the viewer says instead of it.
    void lightbox_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QString>("failure");
        QTest::newRow("picture") << "/images/demo-3.png" << QSize(480, 300) << QString();
        QTest::newRow("missing") << "/uploads/none.png" << QSize() << "图片加载失败";
        QTest::newRow("bomb") << "/hostile/bomb.png" << QSize() << "图片过大";
        QTest::newRow("redirect to a file")
            << "/hostile/to-file.png" << QSize() << "不支持的图片地址";
        QTest::newRow("not a URL") << "::not a url::" << QSize() << "不支持的图片地址";
    }
    void lightbox()
    {
        QFETCH(QString, path);
        QFETCH(QSize, picture);
        QFETCH(QString, failure);
        Workspace ws;
        QVERIFY(ws.start());
        if (path.startsWith('/'))
            path = QString("http://127.0.0.1:%1%2").arg(ws.server.port()).arg(path);
        Access::lightbox(ws.w(), path);
        QPointer<QDialog> dialog = ws.w()->findChild<QDialog *>();
        QVERIFY(dialog && dialog->isVisible());
        QLabel *label = dialog->findChild<QLabel *>();
        if (picture.isEmpty()) {
            QTRY_COMPARE(label->text(), failure);
        } else {
            // Scaled into the label, keeping the proportions.
            QTRY_VERIFY(!label->pixmap().isNull());
            const QSize shown = label->pixmap().size();
            QVERIFY(qAbs(shown.width() * picture.height() - shown.height() * picture.width())
                    < picture.width() + picture.height());
            QVERIFY(shown.width() <= label->width() && shown.height() <= label->height());
            // The window manager sizes the viewer after the picture has arrived:
            // the picture refits, never beyond its own size, and the close
            // button stays at the top right.
            dialog->showNormal();
            for (const QSize size : {QSize(400, 300), QSize(1300, 900)}) {
                dialog->resize(size);
                QTRY_COMPARE(dialog->size(), size);
                const QSize room = label->size().boundedTo(picture);
                const QSize refit = label->pixmap().size();
                QVERIFY(refit.boundedTo(room) == refit);
                QVERIFY(refit.width() == room.width() || refit.height() == room.height());
                QCOMPARE(dialog->findChild<QPushButton *>()->geometry().topRight(),
                         QPoint(size.width() - 25, 24));
            }
        }
        // A click anywhere on it closes the viewer.
        QTest::mouseClick(label, Qt::LeftButton);
        QTRY_VERIFY(!dialog);
    }

    // A bubble can go away while its copy menu is open; the menu must neither
    // crash the program nor copy from a dead bubble. The bubble goes with a recall
    // from the service, a reloaded history, the session deleted, an expired token.
    void menuOutlivesItsBubble_data()
    {
        QTest::addColumn<QString>("cause");
        for (const char *cause : {"recall", "history", "deleted", "expired"})
            QTest::newRow(cause) << QString(cause);
    }
    void menuOutlivesItsBubble()
    {
        QFETCH(QString, cause);
        Answerer answers; // the login dialog after an expired token is cancelled
        Workspace ws;
        const int id = addSession(ws, "talk", {message("visitor", "copy me", "c1")});
        QVERIFY(ws.start() && ws.open(id));
        QPointer<ChatBubble> bubble = ws.w()->bubbles().first();
        emit bubble->customContextMenuRequested(QPoint(5, 5));
        QPointer<QMenu> menu = ws.openMenu();
        QVERIFY(menu);
        QAction *copy = menu->actions().first();

        if (cause == "recall")
            emit ws.w()->wss()->recallReceived("c1", id);
        else if (cause == "deleted")
            emit ws.w()->api()->sessionDeleted(id);
        if (cause == "expired")
            ws.server.injectFault("/chat/messages", DevServer::Fault::Http401);
        if (cause == "history" || cause == "expired")
            ws.w()->api()->getMessages(id, QString());
        QTRY_VERIFY(!bubble);
        QTRY_VERIFY(!menu || !menu->isVisible());
        if (menu) {
            QGuiApplication::clipboard()->clear();
            copy->trigger();
            QCOMPARE(QGuiApplication::clipboard()->text(), "copy me");
        }
    }
    // A cancelled login dialog asks the program to quit; not this test's.
    void cleanup() { QCoreApplication::removePostedEvents(qApp, QEvent::Quit); }
};

ORVANTIS_TEST_MAIN(TestConversation)
#include "tst_conversation.moc"
