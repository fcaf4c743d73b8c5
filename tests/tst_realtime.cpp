// The live conversation through the real main window against the stand-in:
// incoming messages, sending, confirmations, images, drafts, transfer and
// catching up after a lost link.

#include "workspace_fixture.h"

#include <QClipboard>
#include <QMimeData>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTextEdit>

#include "widgets/notifysound.h"
#include "widgets/quickreplybar.h"
#include "workspace/messagerules.h"

using namespace Fixture;

namespace {

QTextEdit *editor(const orvantis *w)
{
    return w->findChild<QTextEdit *>(QStringLiteral("messageEdit"));
}

int plays()
{
    return NotifySound::instance()->playCount();
}

// The chat frames the agent sent, as "session:content".
QStringList sentChats(const Workspace &ws)
{
    QStringList out;
    for (const QString &text : ws.server.receivedFrames()) {
        const QJsonObject f = QJsonDocument::fromJson(text.toUtf8()).object();
        if (f["type"] == "chat")
            out << QString("%1:%2").arg(f["session_id"].toInt()).arg(f["content"].toString());
    }
    return out;
}

ChatMessage msg(const QString &uuid, int id, const QString &time, const QString &text)
{
    return ChatMessage::fromMap(
        {{"msg_uuid", uuid}, {"id", id}, {"create_time", time}, {"content", text}});
}

} // namespace

class TestRealtime : public QObject
{
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
    void incomingMessages();
    void sendingAndConfirmations();
    void images_data();
    void images();
    void drafts();
    void transfer_data();
    void transfer();
    void transferNotices();
    void catchUpAfterLostLink();
};

void TestRealtime::rules_data()
{
    QTest::addColumn<ChatMessage>("cached");
    QTest::addColumn<ChatMessage>("arriving");
    QTest::addColumn<bool>("duplicate");
    QTest::newRow("same uuid") << msg("u1", 0, "100", "a") << msg("u1", 0, "101", "b") << true;
    QTest::newRow("same text and second, other uuid")
        << msg("u1", 0, "100", "好") << msg("u2", 0, "100", "好") << false;
    QTest::newRow("same id") << msg("", 7, "100", "a") << msg("", 7, "200", "b") << true;
    QTest::newRow("other id") << msg("", 7, "100", "a") << msg("", 8, "100", "a") << false;
    QTest::newRow("no identity, same time and text")
        << msg("", 0, "100", "a") << msg("", 0, "100", "a") << true;
    QTest::newRow("no identity, other time")
        << msg("", 0, "100", "a") << msg("", 0, "101", "a") << false;
}

void TestRealtime::rules()
{
    QFETCH(ChatMessage, cached);
    QFETCH(ChatMessage, arriving);
    QFETCH(bool, duplicate);
    QCOMPARE(isDuplicateMessage({cached}, arriving), duplicate);
    QVERIFY(!isDuplicateMessage({}, arriving));

    // The toast preview: 60 units whole, 61 cut with an ellipsis, images named.
    ChatMessage m;
    m.content = QString(60, 'x');
    QCOMPARE(messagePreview(m), QString(60, 'x'));
    m.content = "  a \n\t b  " + QString(60, 'y');
    QCOMPARE(messagePreview(m), "a b " + QString(56, 'y') + QChar(0x2026));
    m.msgType = "image";
    QCOMPARE(messagePreview(m), QStringLiteral("[图片]"));
    // Epoch seconds become ISO text, which sorts with the list's other times.
    const QDateTime now(QDate(2026, 1, 2), QTime(3, 4, 5));
    QCOMPARE(messageTimeText(msg("", 0, "1767225600", ""), now),
             QDateTime::fromSecsSinceEpoch(1767225600).toString(Qt::ISODate));
    QCOMPARE(messageTimeText(msg("", 0, "", ""), now), now.toString(Qt::ISODate));
}

void TestRealtime::incomingMessages()
{
    Workspace ws;
    const int open = ws.server.addSession(sessionFields("open", true, 0, "2026-05-01T08:00:00"));
    const int other = ws.server.addSession(sessionFields("other", true, 0, "2026-05-01T07:00:00"));
    QVERIFY(ws.start());
    QVERIFY(ws.open(open));
    ws.w()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(ws.w()));
    int sounds = plays();

    // The same frame twice: one bubble, one sound.
    QJsonObject frame = ws.server.visitorSays(open, QStringLiteral("你好"));
    frame.insert("type", "chat");
    ws.server.pushFrame(frame);
    // Same text in the same second with another uuid: a second message.
    frame.insert("msg_uuid", "another");
    ws.server.pushFrameTwice(frame);
    QTRY_COMPARE(ws.bubbles(), (QStringList {"你好", "你好"}));
    QTest::qWait(100);
    QCOMPARE(ws.bubbles().size(), 2);
    QCOMPARE(plays(), sounds + 2);
    // Watched: no unread.
    QCOMPARE(ws.rowOf(open).section('|', 3, 3), QStringLiteral("-"));

    // Another session: unread grows, the row previews the text, it moves up.
    ws.server.visitorSays(other, QStringLiteral("在吗"));
    QTRY_COMPARE(ws.rowOf(other).section('|', 3, 3), QStringLiteral("1"));
    QCOMPARE(ws.rowOf(other).section('|', 1, 1), QStringLiteral("在吗"));
    QCOMPARE(ws.names().first(), QStringLiteral("other"));

    // The open session while minimized counts as unread too.
    ws.w()->showMinimized();
    ws.server.visitorSays(open, QStringLiteral("还在吗"));
    QTRY_COMPARE(ws.bubbles().size(), 3);
    QCOMPARE(ws.rowOf(open).section('|', 3, 3), QStringLiteral("1"));
    ws.w()->showNormal();

    // An agent-side push (another client of this agent): right side, no
    // sound, no unread, but the last message moves.
    sounds = plays();
    ws.server.pushFrame({{"type", "chat"},
                         {"session_id", other},
                         {"msg_uuid", "a1"},
                         {"from_type", "agent"},
                         {"content", "我来处理"}});
    ws.server.pushFrame({{"type", "chat"},
                         {"session_id", open},
                         {"msg_uuid", "a2"},
                         {"from_type", "admin"},
                         {"content", "<b>管理员</b>"}});
    QTRY_COMPARE(ws.bubbles().last(), QStringLiteral("me:<b>管理员</b>"));
    QCOMPARE(ws.rowOf(other).section('|', 1, 1), QStringLiteral("我来处理"));
    QCOMPARE(ws.rowOf(other).section('|', 3, 3), QStringLiteral("1"));
    QCOMPARE(plays(), sounds);

    // Bad input: no session, a session never listed, wrong types.
    ws.server.pushFrame({{"type", "chat"}, {"session_id", 0}, {"content", "nowhere"}});
    ws.server.pushFrame({{"type", "chat"}, {"session_id", 4242}, {"content", "unknown"}});
    ws.server.pushFrame({{"type", "chat"}, {"session_id", "7"}, {"content", QJsonArray {1}}});
    QTRY_VERIFY(ws.w()->messages().contains(4242));
    QVERIFY(!ws.w()->messages().contains(0));
    QCOMPARE(ws.w()->sessionList().size(), 2);
}

void TestRealtime::sendingAndConfirmations()
{
    Workspace ws;
    const int a = ws.server.addSession(sessionFields("a", true, 0, "2026-05-01T08:00:00"));
    const int b = ws.server.addSession(sessionFields("b", true, 0, "2026-05-01T07:00:00"));
    QVERIFY(ws.start());
    auto *send = ws.w()->findChild<QPushButton *>(QStringLiteral("sendBtn"));
    QTextEdit *edit = editor(ws.w());

    // No session: Enter leaves the text and sends nothing.
    QTest::keyClicks(edit, "hi");
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(edit->toPlainText(), QStringLiteral("hi"));
    QVERIFY(!send->isEnabled());
    edit->clear();

    QVERIFY(ws.open(a));
    QVERIFY(!send->isEnabled());
    // Spaces only: Enter is a plain new line.
    QTest::keyClicks(edit, "   ");
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(edit->toPlainText(), QStringLiteral("   \n"));
    edit->clear();

    // Two messages before the first confirmation, the second with a line break.
    QTest::keyClicks(edit, " first ");
    QVERIFY(send->isEnabled());
    QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClicks(edit, "second");
    QTest::keyClick(edit, Qt::Key_Return, Qt::ControlModifier);
    QTest::keyClicks(edit, "line");
    send->click();
    QCOMPARE(ws.bubbles(), (QStringList {"me:first", "me:second\nline"}));
    QCOMPARE(edit->toPlainText(), QString());
    QCOMPARE(ws.rowOf(a).section('|', 1, 1), QStringLiteral("second\nline"));
    // Switch away before the confirmations arrive, and come back.
    QVERIFY(ws.open(b));
    QTRY_COMPARE(sentChats(ws),
                 (QStringList {QString("%1:first").arg(a), QString("%1:second\nline").arg(a)}));
    QVERIFY(ws.open(a));
    QTRY_COMPARE(ws.bubbles(), (QStringList {"me:first", "me:second\nline"}));
    const QJsonArray stored = ws.server.messages(a);
    for (int i = 0; i < 2; ++i)
        QCOMPARE(ws.w()->bubbles().at(i)->msgUuid(), stored.at(i)["msg_uuid"].toString());

    // Confirmations in send order land on their own bubbles.
    QTest::keyClicks(edit, "third");
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClicks(edit, "fourth");
    QTest::keyClick(edit, Qt::Key_Return);
    QTRY_VERIFY(!ws.w()->bubbles().last()->msgUuid().isEmpty());
    const QJsonArray all = ws.server.messages(a);
    QCOMPARE(ws.w()->bubbles().at(2)->msgUuid(), all.at(2)["msg_uuid"].toString());
    QCOMPARE(ws.w()->bubbles().at(3)->msgUuid(), all.at(3)["msg_uuid"].toString());
    QVERIFY(ws.w()->bubbles().at(3)->recallButton()->isVisibleTo(ws.w()->bubbles().at(3)));

    // A quick reply fills the editor, replacing a draft, without sending.
    QTest::keyClicks(edit, "draft");
    ws.w()->findChild<QuickReplyBar *>()->findChildren<QPushButton *>().at(2)->click();
    QCOMPARE(edit->toPlainText(), QStringLiteral("感谢您的耐心等待"));
    QCOMPARE(sentChats(ws).size(), 4);

    // Link down: nothing leaves, the text stays, the agent is told.
    ws.w()->wss()->disconnectFromServer();
    QVERIFY(!send->isEnabled());
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(ws.text("statusLabel"), QStringLiteral("WSS 未连接，消息发送失败，请稍后重试"));
    QCOMPARE(edit->toPlainText(), QStringLiteral("感谢您的耐心等待"));
    QCOMPARE(ws.text("onlineStatusLabel"),
             QStringLiteral("<span style='font-size:13px;color:#8b93a5;'>● 离线</span>"));
}

void TestRealtime::images_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("status");
    QTest::newRow("exactly 5 MiB") << "big.png" << 5242880 << "图片上传成功";
    QTest::newRow("one byte more") << "big.png" << 5242881 << "图片超过 5MB，无法发送";
    QTest::newRow("JPG in capitals") << "photo.JPG" << 2000 << "图片上传成功";
    QTest::newRow("tiff is no image here") << "scan.tiff" << 2000 << "";
}

void TestRealtime::images()
{
    QFETCH(QString, file);
    QFETCH(int, size);
    QFETCH(QString, status);
    Workspace ws;
    const int a = ws.server.addSession(sessionFields("a", true, 0, "2026-05-01T08:00:00"));
    const int b = ws.server.addSession(sessionFields("b", true, 0, "2026-05-01T07:00:00"));
    QVERIFY(ws.start());
    QTemporaryDir dir;
    QFile out(dir.filePath(file));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(QByteArray(size, 'i'));
    out.close();
    auto *mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(out.fileName())});
    QGuiApplication::clipboard()->setMimeData(mime);

    // No session open: nothing is uploaded.
    QCOMPARE(Access::pasteImage(ws.w()), !status.isEmpty());
    QVERIFY(ws.idle());
    QCOMPARE(ws.requests("upload"), 0);
    if (status.isEmpty())
        return;

    // Pasted for A, B opened while it uploads: it still goes to A.
    QVERIFY(ws.open(a));
    ws.server.delayReplies("upload", 300);
    QVERIFY(Access::pasteImage(ws.w()));
    QCOMPARE(ws.text("statusLabel"),
             status == "图片上传成功" ? QStringLiteral("图片上传中...") : status);
    Access::select(ws.w(), b);
    QTRY_COMPARE(ws.text("statusLabel"), status);
    QVERIFY(ws.idle());
    if (size > 5242880) {
        QCOMPARE(ws.requests("upload"), 0);
        return;
    }
    QTRY_COMPARE(sentChats(ws).size(), 1);
    QVERIFY(sentChats(ws).first().startsWith(QString("%1:http").arg(a)));
    QCOMPARE(ws.server.requestsTo("upload").first().body.count(QByteArray(size, 'i')), 1);
    QCOMPARE(ws.bubbles(), QStringList());
    QCOMPARE(ws.rowOf(a).section('|', 1, 1), QStringLiteral("[图片]"));
}

void TestRealtime::drafts()
{
    auto ws = std::make_unique<Workspace>();
    const int a = ws->server.addSession(sessionFields("a"));
    const int b = ws->server.addSession(sessionFields("b"));
    QVERIFY(ws->start());
    QVERIFY(ws->open(a));
    QTest::keyClicks(editor(ws->w()), "for a");
    QVERIFY(ws->open(b));
    QCOMPARE(editor(ws->w())->toPlainText(), QString());
    QTest::keyClicks(editor(ws->w()), "for b");
    QTest::keyClick(editor(ws->w()), Qt::Key_Return); // sent: b's draft is gone
    QTest::keyClicks(editor(ws->w()), "b again");
    QVERIFY(ws->open(a));
    QCOMPARE(editor(ws->w())->toPlainText(), QStringLiteral("for a"));

    // A restart keeps them.
    ws->window.reset();
    ws->window.reset(new orvantis);
    QTRY_VERIFY(ws->w()->isLoggedIn());
    QVERIFY(ws->idle());
    QVERIFY(ws->open(b));
    QCOMPARE(editor(ws->w())->toPlainText(), QStringLiteral("b again"));
    QVERIFY(ws->open(a));
    QCOMPARE(editor(ws->w())->toPlainText(), QStringLiteral("for a"));
}

void TestRealtime::transfer_data()
{
    QTest::addColumn<int>("colleagues");
    QTest::addColumn<int>("minimumHeight");
    QTest::newRow("none") << 0 << 96;
    QTest::newRow("three") << 3 << 216;
    QTest::newRow("ten") << 10 << 320;
}

void TestRealtime::transfer()
{
    QFETCH(int, colleagues);
    QFETCH(int, minimumHeight);
    Workspace ws;
    QJsonArray agents {QJsonObject {{"id", 12}, {"name", "me"}, {"online", 1}},
                       QJsonObject {{"id", 90}, {"name", "away"}, {"online", 0}}};
    for (int i = 0; i < colleagues; ++i)
        agents.append(
            QJsonObject {{"id", 100 + i}, {"name", QString("<b>c%1</b>").arg(i)}, {"online", 1}});
    if (colleagues)
        agents.append(QJsonObject {{"id", 100}, {"name", "duplicate"}, {"online", 1}});
    ws.server.setRawReply("/agent/list", 200,
                          QJsonDocument(QJsonObject {{"code", 200}, {"data", agents}}).toJson());
    const int id = ws.server.addSession(sessionFields("a"));
    QVERIFY(ws.start());
    Access::transfer(ws.w()); // no session: no request
    QVERIFY(ws.idle());
    QCOMPARE(ws.requests("/agent/list"), 0);

    QVERIFY(ws.open(id));
    QStringList shown;
    int height = 0;
    Answerer answers;
    answers.onOther = [&](QDialog *dialog) {
        for (QPushButton *b : dialog->findChildren<QPushButton *>(QStringLiteral("agentBtn")))
            shown << b->text();
        if (auto *empty = dialog->findChild<QLabel *>(QStringLiteral("emptyLabel")))
            shown << empty->text();
        height = dialog->findChild<QScrollArea *>()->minimumHeight();
        auto *agent = dialog->findChild<QPushButton *>(QStringLiteral("agentBtn"));
        (agent ? agent : dialog->findChild<QPushButton *>(QStringLiteral("cancelBtn")))->click();
        return true;
    };
    Access::transfer(ws.w());
    QTRY_COMPARE(height, minimumHeight);
    QCOMPARE(shown.size(), qMax(colleagues, 1));
    QCOMPARE(shown.first(),
             colleagues ? QStringLiteral("●  <b>c0</b>") : QStringLiteral("暂无可转接的在线坐席"));
    QTRY_COMPARE(ws.frames("\"type\":\"transfer\""), colleagues ? 1 : 0);
    if (colleagues)
        QCOMPARE(
            ws.server.receivedFrames().filter("transfer").first(),
            QString("{\"session_id\":%1,\"target_agent_id\":100,\"type\":\"transfer\"}").arg(id));
}

void TestRealtime::transferNotices()
{
    Workspace ws;
    const int a = ws.server.addSession(sessionFields("a"));
    ws.server.addSession(sessionFields("b"));
    QVERIFY(ws.start());
    QVERIFY(ws.open(a));
    QSettings().setValue("notify/enabled", false);

    ws.server.pushFrame(
        {{"type", "session_transferred"}, {"session_id", a}, {"action", "Removed"}});
    ws.server.pushFrame(
        {{"type", "session_transferred"}, {"session_id", a}, {"action", "removed"}});
    QTRY_COMPARE(ws.names(), QStringList {"b"});
    QCOMPARE(ws.w()->currentSession(), 0);
    QCOMPARE(ws.text("chatAvatarLabel"), QStringLiteral("?"));
    QCOMPARE(ws.text("statusLabel"), QStringLiteral("已连接渠道，共 1 个会话"));
    QVERIFY(!ws.w()->messages().contains(a));

    const int sounds = plays();
    const int pages = ws.requests("channel-sessions");
    ws.server.pushFrame(
        {{"type", "session_transferred"}, {"session_id", a}, {"action", "assigned"}});
    QTRY_COMPARE(ws.requests("channel-sessions", "page=1"), pages + 1);
    QCOMPARE(plays(), sounds + 1);
    QTRY_COMPARE(ws.names().size(), 2);
}

void TestRealtime::catchUpAfterLostLink()
{
    Workspace ws;
    const int open = ws.server.addSession(sessionFields("open", true, 0, "2026-05-01T08:00:00"));
    const int other = ws.server.addSession(sessionFields("other", true, 0, "2026-05-01T07:00:00"));
    QVERIFY(ws.start());
    QVERIFY(ws.open(open));
    ws.w()->wss()->setReconnectBaseDelayMs(300);

    // The link drops; visitors write meanwhile.
    ws.server.dropConnections();
    QTRY_VERIFY(!ws.w()->wss()->isConnected());
    QTRY_COMPARE(ws.text("statusLabel"), QStringLiteral("WSS 断开"));
    const int sounds = plays();
    for (const char *text : {"一", "二"})
        ws.server.visitorSays(other, QString::fromUtf8(text));
    ws.server.visitorSays(open, QStringLiteral("三"));

    QTRY_COMPARE(ws.bubbles(), QStringList {"三"});
    QTRY_COMPARE(ws.rowOf(other).section('|', 3, 3), QStringLiteral("2"));
    QCOMPARE(ws.rowOf(other).section('|', 1, 1), QStringLiteral("二"));
    // One summary chime for what was missed, not one per message.
    QCOMPARE(plays(), sounds + 1);
    // A message repeated on the new link is absorbed.
    QJsonObject again = ws.server.messages(open).last().toObject();
    again.insert("type", "chat");
    ws.server.pushFrame(again);
    QTest::qWait(100);
    QCOMPARE(ws.bubbles(), QStringList {"三"});
}

ORVANTIS_TEST_MAIN(TestRealtime)
#include "tst_realtime.moc"
