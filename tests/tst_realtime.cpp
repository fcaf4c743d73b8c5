// The live conversation through the real main window against the stand-in:
// incoming messages, sending, confirmations, images, drafts, transfer and
// catching up after a lost link.

#include "workspace_fixture.h"

#include "widgets/quickreplybar.h"
#include "workspace/messagerules.h"

#include <QBuffer>
#include <QThreadPool>

#include <sys/stat.h>

using namespace Fixture;

namespace {

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

// Do the bubbles carry the uuids the service stored, in order?
bool uuidsConfirmed(const Workspace &ws, int sessionId)
{
    const QJsonArray stored = ws.server.messages(sessionId);
    for (int i = 0; i < ws.w()->bubbles().size(); ++i)
        if (ws.w()->bubbles().at(i)->msgUuid() != stored.at(i)["msg_uuid"].toString())
            return false;
    return ws.w()->bubbles().size() == stored.size();
}

QJsonObject chat(int session, const QString &uuid, const QString &from, const QJsonValue &content)
{
    return {{"type", "chat"},
            {"session_id", session},
            {"msg_uuid", uuid},
            {"from_type", from},
            {"content", content}};
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
    void rulesPreviewAndTime()
    {
        // Is the arriving message a repeat of the cached one?
        const struct
        {
            ChatMessage cached, arriving;
            bool repeat;
        } rows[] = {{msg("u1", 0, "100", "a"), msg("u1", 0, "101", "b"), true},
                    {msg("u1", 0, "100", "好"), msg("u2", 0, "100", "好"), false},
                    {msg("", 7, "100", "a"), msg("", 7, "200", "b"), true},
                    {msg("", 7, "100", "a"), msg("", 8, "100", "a"), false},
                    {msg("", 0, "100", "a"), msg("", 0, "100", "a"), true},
                    {msg("", 0, "100", "a"), msg("", 0, "101", "a"), false}};
        for (const auto &row : rows) {
            QCOMPARE(isDuplicateMessage({row.cached}, row.arriving), row.repeat);
        }

        // A caught-up page: known and deleted messages stay out, the rest go
        // in time order, after cached ones of the same time.
        QList<ChatMessage> cached {msg("u1", 0, "100", "a"), msg("u3", 0, "300", "c")};
        ChatMessage gone = msg("u4", 0, "300", "x");
        gone.isDeleted = true;
        const QList<ChatMessage> added
            = mergeMessages(cached,
                            {msg("u1", 0, "100", "a"), msg("u2", 0, "200", "b"), gone,
                             msg("u5", 0, "300", "d"), msg("u6", 0, "", "e")});
        QString order;
        for (const ChatMessage &m : cached)
            order += m.content;
        QCOMPARE(order, "abcde");
        QCOMPARE(added.size(), 3);

        // The toast preview: 60 units whole, 61 cut with an ellipsis, images named.
        ChatMessage m = msg("", 0, "1767225600", QString(60, 'x'));
        QCOMPARE(messagePreview(m), QString(60, 'x'));
        m.content = "  a \n\t b  " + QString(60, 'y');
        QCOMPARE(messagePreview(m), "a b " + QString(56, 'y') + QChar(0x2026));
        m.msgType = "image";
        QCOMPARE(messagePreview(m), "[图片]");
        // Epoch seconds become ISO text, which sorts with the list's other times.
        QCOMPARE(messageTimeText(m, QDateTime::currentDateTime()),
                 QDateTime::fromSecsSinceEpoch(1767225600).toString(Qt::ISODate));
    }

    // Messages as they come, and catching up after a lost link.
    void incomingMessages()
    {
        Workspace ws;
        const int open = ws.add("open", true, 0, 60), other = ws.add("other", true, 0, 0);
        QVERIFY(ws.start() && ws.open(open));
        ws.w()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(ws.w()));
        int sounds = ws.plays();

        // The same frame twice: one bubble, one sound; the same text in the
        // same second with another uuid: a second message.
        QJsonObject frame = ws.server.visitorSays(open, "你好");
        frame.insert("type", "chat");
        ws.server.pushFrame(frame);
        QTRY_COMPARE(ws.plays(), sounds + 1);
        frame.insert("msg_uuid", "another");
        ws.server.pushFrameTwice(frame);
        QTRY_COMPARE(ws.bubbles(), (QStringList {"你好", "你好"}));
        QCOMPARE(ws.cell(open, 3), "-"); // watched: no unread

        // Another session: unread grows, the row previews the text, it moves up.
        ws.server.visitorSays(other, "在吗");
        QTRY_COMPARE(ws.cell(other, 3), "1");
        // It came after the repeat: once it is shown, so would the repeat be.
        QTRY_VERIFY(Access::arrivalsShown(ws.w()));
        QCOMPARE(ws.bubbles().size(), 2);
        QCOMPARE(ws.plays(), sounds + 3);
        QCOMPARE(ws.cell(other, 1), "在吗");
        QCOMPARE(ws.names().first(), "other");

        // An agent-side push (another client of this agent): right side, no
        // sound, no unread, but the last message moves.
        sounds = ws.plays();
        ws.server.pushFrame(chat(other, "a1", "agent", "我来处理"));
        ws.server.pushFrame(chat(open, "a2", "admin", "<b>管理员</b>"));
        QTRY_COMPARE(ws.bubbles().last(), "me:<b>管理员</b>");
        QCOMPARE(ws.cell(other, 1) + ws.cell(other, 3), "我来处理1");
        QCOMPARE(ws.plays(), sounds);

        // Bad input: no session, a session never listed, wrong types.
        for (const auto &bad : {chat(0, "", "", "x"), chat(4242, "", "", "y"), chat(7, "", "", 1)})
            ws.server.pushFrame(bad);
        QTRY_VERIFY(ws.w()->store()->isCached(4242));
        QVERIFY(!ws.w()->store()->isCached(0));
        QCOMPARE(ws.w()->sessionList().size(), 2);

        // The link drops; visitors write meanwhile.
        ws.w()->wss()->setReconnectBaseDelayMs(300);
        ws.server.dropConnections();
        QTRY_COMPARE(ws.text("statusLabel"), "WSS 断开");
        QTRY_VERIFY(Access::arrivalsShown(ws.w()));
        sounds = ws.plays();
        ws.server.visitorSays(other, "一");
        ws.server.visitorSays(other, "二");
        ws.server.visitorSays(open, "三");
        // The open session shows the history as the service stored it.
        QTRY_VERIFY(uuidsConfirmed(ws, open) && ws.bubbles().last() == "三");
        QTRY_COMPARE(ws.cell(other, 1) + ws.cell(other, 3), "二3");
        // One summary chime for what was missed, not one per message.
        QCOMPARE(ws.plays(), sounds + 1);
    }

    void sendingAndConfirmations()
    {
        Workspace ws;
        const int a = ws.add("a", true, 0, 60), b = ws.add("b", true, 0, 0);
        QVERIFY(ws.start());
        auto *send = ws.w()->findChild<QPushButton *>("sendBtn");
        auto *edit = ws.w()->findChild<QTextEdit *>("messageEdit");

        // No session: Enter sends nothing. Spaces only: Enter is a plain new line.
        for (int id : {0, a}) {
            QVERIFY(ws.open(id));
            QTest::keyClicks(edit, id ? "   " : "hi");
            QTest::keyClick(edit, Qt::Key_Return);
            QCOMPARE(edit->toPlainText(), id ? "   \n" : "hi");
            QVERIFY(!send->isEnabled());
            edit->clear();
        }

        // Two messages before the first confirmation: keypad Enter sends,
        // Ctrl+Enter breaks the line.
        QTest::keyClicks(edit, " first ");
        QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
        QTest::keyClicks(edit, "second");
        QTest::keyClick(edit, Qt::Key_Return, Qt::ControlModifier);
        QTest::keyClicks(edit, "line");
        send->click();
        QCOMPARE(ws.bubbles(), (QStringList {"me:first", "me:second\nline"}));
        QCOMPARE(edit->toPlainText(), QString());
        QCOMPARE(ws.cell(a, 1), "second\nline");
        // Switch away before the confirmations arrive, and come back.
        QVERIFY(ws.open(b));
        QTRY_COMPARE(sentChats(ws),
                     (QStringList {QString("%1:first").arg(a), QString("%1:second\nline").arg(a)}));
        QVERIFY(ws.open(a));
        QTRY_VERIFY(uuidsConfirmed(ws, a));

        // Confirmations in send order land on their own bubbles; one for
        // another session is not theirs.
        for (const char *text : {"third", "fourth"}) {
            QTest::keyClicks(edit, text);
            QTest::keyClick(edit, Qt::Key_Return);
            emit ws.w()->wss()->chatSent("for-b", b);
        }
        QTRY_VERIFY(uuidsConfirmed(ws, a));
        QVERIFY(ws.w()->bubbles().at(3)->recallButton()->isVisibleTo(ws.w()->bubbles().at(3)));

        // A quick reply (here Alt+3) fills the editor, replacing a draft, without sending.
        QTest::keyClicks(edit, "draft");
        QTest::keyClick(edit, Qt::Key_3, Qt::AltModifier);
        QTRY_COMPARE(edit->toPlainText(), "感谢您的耐心等待");
        QCOMPARE(sentChats(ws).size(), 4);
    }

    // A file (empty: a picture copied as such rather than as a file), its size
    // (-1 a link to /dev/zero, -2 a named pipe, -3 its session goes while it
    // is prepared, -4 copied as PNG bytes) and the status shown (empty: no image).
    void images_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("status");
        QTest::newRow("exactly 5 MiB") << "big.png" << 5242880 << "图片上传成功";
        QTest::newRow("one byte more") << "big.png" << 5242881 << "图片超过 5MB，无法发送";
        QTest::newRow("JPG in capitals") << "photo.JPG" << 2000 << "图片上传成功";
        QTest::newRow("tiff") << "scan.tiff" << 2000 << QString();
        QTest::newRow("link to /dev/zero") << "zero.png" << -1 << QString();
        QTest::newRow("named pipe") << "pipe.png" << -2 << QString();
        QTest::newRow("copied picture") << QString() << 0 << "图片上传成功";
        QTest::newRow("session gone meanwhile") << QString() << -3 << "图片处理中...";
        QTest::newRow("copied PNG bytes") << QString() << -4 << "图片上传成功";
    }
    void images()
    {
        QFETCH(QString, file);
        QFETCH(int, size);
        QFETCH(QString, status);
        Workspace ws;
        const int a = ws.add("a", true, 0, 60), b = ws.add("b", true, 0, 0);
        QVERIFY(ws.start() && ws.open(a));
        QTemporaryDir dir;
        QFile out(dir.filePath(file));
        QImage picture(8, 8, QImage::Format_RGB32);
        picture.fill(Qt::red);
        auto *mime = new QMimeData;
        if (size == -4) {
            QBuffer png;
            QVERIFY(png.open(QIODevice::WriteOnly) && picture.save(&png, "PNG"));
            mime->setData("image/png", png.data());
        } else if (file.isEmpty()) {
            mime->setImageData(picture);
        } else if (size < 0) {
            QVERIFY(size == -1 ? QFile::link("/dev/zero", out.fileName())
                               : mkfifo(QFile::encodeName(out.fileName()), 0600) == 0);
            mime->setUrls({QUrl::fromLocalFile(out.fileName())});
        } else {
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(QByteArray(size, 'i')) == size);
            out.close();
            mime->setUrls({QUrl::fromLocalFile(out.fileName())});
        }
        QGuiApplication::clipboard()->setMimeData(mime);

        // Pasted for A, B opened while it uploads: it still goes to A.
        ws.server.delayReplies("upload", 300);
        QCOMPARE(Access::pasteImage(ws.w()), !status.isEmpty());
        if (size == -3) {
            Access::clearSessions(ws.w());
            QThreadPool::globalInstance()->waitForDone();
        }
        Access::select(ws.w(), b);
        QTRY_COMPARE(ws.text("statusLabel").left(status.size()), status);
        QVERIFY(ws.idle());
        const bool sent = status == "图片上传成功";
        QCOMPARE(ws.requests("upload"), int(sent));
        QTRY_COMPARE(sentChats(ws).size(), int(sent));
        if (sent) {
            QVERIFY(sentChats(ws).first().startsWith(QString("%1:http").arg(a)));
            QCOMPARE(ws.server.requestsTo("upload")[0].body.count(
                         file.isEmpty() ? QByteArray("filename=\"paste_") : QByteArray(size, 'i')),
                     1);
            QCOMPARE(ws.cell(a, 1), "[图片]");
        }
    }

    void draftsAndTransferNotices()
    {
        Workspace ws;
        const int a = ws.add("a"), b = ws.add("b");
        QVERIFY(ws.start() && ws.open(a));
        auto editor = [&ws] { return ws.w()->findChild<QTextEdit *>("messageEdit"); };
        QTest::keyClicks(editor(), "for a");
        QVERIFY(ws.open(b));
        QCOMPARE(editor()->toPlainText(), QString());
        QTest::keyClicks(editor(), "for b");
        QTest::keyClick(editor(), Qt::Key_Return); // sent: b's draft is gone
        QTest::keyClicks(editor(), "b again");
        QVERIFY(ws.open(a));
        QCOMPARE(editor()->toPlainText(), "for a");
        // Not written per keystroke, but on quitting.
        const QString draftOfA = QString("drafts/12/%1").arg(a);
        QTest::keyClicks(editor(), "!");
        QCOMPARE(QSettings().value(draftOfA).toString(), "for a");

        // A restart keeps them.
        ws.window.reset();
        QCOMPARE(QSettings().value(draftOfA).toString(), "for a!");
        QVERIFY(ws.start() && ws.open(b));
        QCOMPARE(editor()->toPlainText(), "b again");
        QVERIFY(ws.open(a));
        QCOMPARE(editor()->toPlainText(), "for a!");
        QSettings().setValue("notify/enabled", false);

        // Removed from the agent while open: gone from the list and the
        // panel, and its draft with it.
        ws.server.pushFrame(
            {{"type", "session_transferred"}, {"session_id", a}, {"action", "removed"}});
        QTRY_COMPARE(ws.names(), QStringList {"b"});
        QVERIFY(!QSettings().contains(draftOfA));
        QCOMPARE(ws.w()->currentSession(), 0);
        QCOMPARE(ws.text("chatAvatarLabel"), "?");
        QVERIFY(!ws.w()->store()->isCached(a));

        // Assigned: a sound, and page 1 again.
        const int sounds = ws.plays(NotifySound::Event::Transfer),
                  pages = ws.requests("channel-sessions", "page=1");
        ws.server.pushFrame(
            {{"type", "session_transferred"}, {"session_id", a}, {"action", "assigned"}});
        QTRY_COMPARE(ws.requests("channel-sessions", "page=1"), pages + 1);
        // Played once its player is ready, which a slow start may delay.
        QTRY_COMPARE(ws.plays(NotifySound::Event::Transfer), sounds + 1);
        QTRY_COMPARE(ws.names().size(), 2);
        // Page 1 again replaces the list: sessions the service dropped go.
        ws.server.clearChannel();
        const int c = ws.add("c");
        ws.server.pushFrame(
            {{"type", "session_transferred"}, {"session_id", c}, {"action", "assigned"}});
        QTRY_COMPARE(ws.names(), QStringList {"c"});
    }

    // None, three and ten colleagues, with the list's minimum height. The
    // dialog names the visitor of the session "转接" was pressed on and hands
    // that one over, though another is open by then.
    void transfer()
    {
        for (auto [colleagues, minimumHeight] : {std::pair {0, 96}, {3, 216}, {10, 320}}) {
            Workspace ws;
            // Itself and offline colleagues are not offered, a repeated id once.
            QJsonArray agents {QJsonObject {{"id", 12}, {"name", "me"}, {"online", 1}},
                               QJsonObject {{"id", 90}, {"name", "away"}, {"online", 0}}};
            for (int i = 0; i < colleagues; ++i)
                agents.append(QJsonObject {
                    {"id", 100 + i}, {"name", QString("<b>c%1</b>").arg(i)}, {"online", 1}});
            if (colleagues)
                agents.append(QJsonObject {{"id", 100}, {"name", "duplicate"}, {"online", 1}});
            ws.server.setRawReply(
                "/agent/list", 200,
                QJsonDocument(QJsonObject {{"code", 200}, {"data", agents}}).toJson());
            const int id = ws.add("<i>a</i>"), other = ws.add("b");
            QVERIFY(ws.start() && ws.open(id));
            QStringList shown; // the visitor, the offered names, the list's minimum height
            Answerer answers;
            QPointer<QDialog> asked;
            answers.onOther = [&](QDialog *dialog) {
                asked = dialog;
                for (auto *w : dialog->findChildren<QWidget *>(
                         QRegularExpression("visitorLabel|agentBtn|emptyLabel")))
                    shown << w->property("text").toString();
                shown << QString::number(dialog->findChild<QScrollArea *>()->minimumHeight());
                // The first colleague, or cancel.
                dialog->findChildren<QPushButton *>().first()->click();
                return true;
            };
            Access::transfer(ws.w());
            Access::select(ws.w(), other);
            QTRY_COMPARE(shown.size(), qMax(colleagues, 1) + 2);
            QTRY_VERIFY(!asked); // answered is gone, not hidden
            QCOMPARE(shown.first() + shown.at(1) + shown.last(),
                     "转接访客：<i>a</i>"
                         + QString(colleagues ? "●  <b>c0</b>" : "暂无可转接的在线坐席")
                         + QString::number(minimumHeight));
            const QString sent = R"({"session_id":%1,"target_agent_id":100,"type":"transfer"})";
            QTRY_COMPARE(ws.server.receivedFrames().filter("transfer"),
                         colleagues ? QStringList {sent.arg(id)} : QStringList());
            // Handed away before the list arrives: nothing goes, and the agent is told.
            ws.server.delayReplies("/agent/list", 500);
            Access::transfer(ws.w());
            ws.server.pushFrame(
                {{"type", "session_transferred"}, {"session_id", other}, {"action", "removed"}});
            QTRY_COMPARE(ws.text("statusLabel"), "该会话已结束或已转出，未转接");
            QCOMPARE(ws.frames("transfer"), colleagues ? 1 : 0);
        }
    }
};

ORVANTIS_TEST_MAIN(TestRealtime)
#include "tst_realtime.moc"
