// The agent's own messages on their way: refused ones, pictures for other
// sessions, history pages, lost links and restarts. Every message reaches
// the service once or visibly fails, and each bubble carries its own uuid.

#include "workspace_fixture.h"

using namespace Fixture;

namespace {

// Contents the service stored for the session, "-" marking a recalled one.
QStringList stored(const Workspace &ws, int sessionId)
{
    QStringList out;
    for (const QJsonValue &m : ws.server.messages(sessionId))
        out << (m["is_deleted"].toInt() ? "-" : "") + m["content"].toString();
    return out;
}

QString storedUuid(const Workspace &ws, int sessionId, const QString &content)
{
    for (const QJsonValue &m : ws.server.messages(sessionId))
        if (m["content"].toString() == content)
            return m["msg_uuid"].toString();
    return "(not stored)";
}

ChatBubble *bubble(const Workspace &ws, const QString &content)
{
    for (ChatBubble *b : ws.w()->bubbles())
        if (b->contentLabel()->text() == content)
            return b;
    return nullptr;
}

void type(Workspace &ws, const QString &text)
{
    auto *edit = ws.w()->findChild<QTextEdit *>("messageEdit");
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

bool settled(const Workspace &ws)
{
    return QTest::qWaitFor([&ws] { return ws.w()->store()->sendingCount() == 0; }, 15000);
}

} // namespace

class TestOutbox : public QObject
{
    Q_OBJECT

private slots:
    // "bad words" is refused (the agent may not write to that session), the
    // two after it are stored: each keeps its own uuid, recall takes the
    // right one, and the keyboard never leaves the editor.
    void refusalKeepsConfirmationsInPlace()
    {
        Workspace ws;
        const int a = ws.add("a", true, 0, 60);
        const int hidden = ws.add("hidden", true, 0, 50, {{"agent_id", 13}});
        QVERIFY(ws.start());
        auto *edit = ws.w()->findChild<QTextEdit *>("messageEdit");
        Access::select(ws.w(), hidden);
        type(ws, "bad words");
        QVERIFY(ws.open(a));
        type(ws, "good one");
        type(ws, "good two");
        QVERIFY(settled(ws));
        QCOMPARE(stored(ws, a), (QStringList {"good one", "good two"}));
        for (const QString text : {"good one", "good two"})
            QCOMPARE(bubble(ws, text)->msgUuid(), storedUuid(ws, a, text));

        ws.server.visitorSays(a, "hello there");
        QTRY_VERIFY(bubble(ws, "hello there"));
        edit->setFocus();
        QTRY_VERIFY(edit->hasFocus());
        QTest::mouseClick(bubble(ws, "hello there")->translateButton(), Qt::LeftButton);
        QTest::mouseClick(bubble(ws, "good one")->recallButton(), Qt::LeftButton);
        QVERIFY(QApplication::focusWidget() == edit);
        QTRY_COMPARE(stored(ws, a), (QStringList {"-good one", "good two", "hello there"}));

        // The refused one shows why, and can be given up.
        Access::select(ws.w(), hidden);
        QTRY_VERIFY(bubble(ws, "bad words"));
        ChatBubble *bad = bubble(ws, "bad words");
        QCOMPARE(bad->deliveryLabel()->text(), "发送失败: 会话不存在");
        QVERIFY(bad->retryButton()->isVisibleTo(bad) && bad->discardButton()->isVisibleTo(bad));
        QTest::mouseClick(bad->discardButton(), Qt::LeftButton);
        QTRY_VERIFY(!bubble(ws, "bad words"));
        QCOMPARE(ws.w()->store()->unsentCount(), 0);
        QCOMPARE(ws.frames("bad words"), 1);
    }

    // A picture for a, uploaded while the agent writes in b; one whose
    // session was handed away meanwhile; one the service gives no address.
    void picturesForOtherSessions()
    {
        Workspace ws;
        const int a = ws.add("a", true, 0, 60), b = ws.add("b", true, 0, 50, {{"agent_id", 12}});
        QVERIFY(ws.start() && ws.open(a));
        QImage image(8, 8, QImage::Format_RGB32);
        image.fill(Qt::red);
        QGuiApplication::clipboard()->setImage(image);
        ws.server.delayReplies("/upload/chat-image", 800);
        QVERIFY(Access::pasteImage(ws.w()));
        QTRY_COMPARE(ws.requests("/upload/chat-image"), 1);
        QVERIFY(ws.open(b));
        type(ws, "text in b");
        QVERIFY(QTest::qWaitFor([&] { return stored(ws, a).size() == 1; }, 5000) && settled(ws));
        QCOMPARE(bubble(ws, "text in b")->msgUuid(), storedUuid(ws, b, "text in b"));
        QCOMPARE(ws.w()->store()->messages(a).constLast().msgUuid,
                 ws.server.messages(a).at(0)["msg_uuid"].toString());

        ws.server.setAgentOnline(13, true);
        ws.server.delayReplies("/upload/chat-image", 500);
        QVERIFY(Access::pasteImage(ws.w()));
        QTRY_COMPARE(ws.requests("/upload/chat-image"), 2);
        QCOMPARE(ws.server.handOver(b, 13), QString());
        QTRY_COMPARE(ws.text("statusLabel"), "图片未发送：该会话已不在列表中");

        QVERIFY(ws.open(a));
        ws.server.setRawReply("/upload/chat-image", 200, R"({"code":200,"data":{"url":""}})");
        QVERIFY(Access::pasteImage(ws.w()));
        QTRY_COMPARE(ws.text("statusLabel"), "图片上传失败：服务未返回图片地址");
        QCOMPARE(ws.frames("\"type\":\"chat\""), 2);
    }

    // Typed with no session open: it goes with the first one opened.
    // Written while the link is down: it waits, survives a restart and
    // leaves once, even when it had left. Sent and cut off at once: stored
    // exactly once anyway.
    void outboxAcrossDropsAndRestarts()
    {
        Workspace ws;
        const int a = ws.add("a", true, 0, 60);
        QVERIFY(ws.start());
        QTest::keyClicks(ws.w()->findChild<QTextEdit *>("messageEdit"), "before");
        QVERIFY(ws.open(a));
        QCOMPARE(ws.w()->findChild<QTextEdit *>("messageEdit")->toPlainText(), "before");
        QTest::keyClick(ws.w()->findChild<QTextEdit *>("messageEdit"), Qt::Key_Return);
        QVERIFY(settled(ws));

        // The first leaves on the new link, its answer and the catch-up
        // slow; the second waits behind it. The one noted as gone is looked
        // for after a restart, not sent again.
        ws.w()->wss()->disconnectFromServer();
        type(ws, "one");
        type(ws, "two");
        QCOMPARE(bubble(ws, "two")->deliveryLabel()->text(), "发送中…");
        QTRY_VERIFY(QSettings().value("outbox/12").toString().contains("two"));
        DevServer::FaultPlan slow;
        slow.chatConfirmDelayMs = 60000;
        ws.server.setFaultPlan(slow);
        ws.server.delayReplies("/chat/channel-sessions", 10000);
        ws.w()->wss()->connectToServer(ws.w()->api()->token(), "agent");
        QTRY_VERIFY(QSettings().value("outbox/12").toString().contains("left_at"));
        ws.window.reset();
        ws.server.setFaultPlan({});
        QVERIFY(ws.start() && ws.open(a) && settled(ws));
        QCOMPARE(stored(ws, a), (QStringList {"before", "one", "two"}));
        QCOMPARE(ws.bubbles(), (QStringList {"me:before", "me:one", "me:two"}));
        QVERIFY(bubble(ws, "two")->deliveryLabel()->isHidden());

        ws.w()->wss()->setReconnectBaseDelayMs(50);
        for (int round = 0; round < 4; ++round) {
            type(ws, QString("cut %1").arg(round));
            if (round % 2)
                QTRY_COMPARE(ws.frames(QString("cut %1").arg(round)), 1);
            ws.server.dropConnections();
            QTRY_VERIFY(ws.text("statusLabel").startsWith("已订阅频道"));
        }
        QVERIFY(settled(ws));
        QCOMPARE(stored(ws, a).mid(3), (QStringList {"cut 0", "cut 1", "cut 2", "cut 3"}));
        for (int round = 0; round < 4; ++round) {
            const QString text = QString("cut %1").arg(round);
            QCOMPARE(bubble(ws, text)->msgUuid(), storedUuid(ws, a, text));
        }
    }

    // Written for a session that goes before the link is back: it fails with
    // the reason and never leaves.
    void goneSessionsKeepTheirMessages()
    {
        Workspace ws;
        const int a = ws.add("a", true, 0, 60);
        QVERIFY(ws.start() && ws.open(a));
        ws.w()->wss()->disconnectFromServer();
        type(ws, "too late");
        emit ws.w()->wss()->sessionTransferred({{"session_id", a}, {"action", "removed"}});
        QCOMPARE(ws.text("statusLabel"), "发给 a 的消息未发送: 会话已转接给其他客服");
        ws.w()->wss()->connectToServer(ws.w()->api()->token(), "agent");
        QTRY_VERIFY(ws.text("statusLabel").startsWith("已订阅频道"));
        QCOMPARE(ws.w()->store()->unsentCount(), 0);
        QCOMPARE(ws.frames("too late"), 0);
    }
};

ORVANTIS_TEST_MAIN(TestOutbox)
#include "tst_outbox.moc"
