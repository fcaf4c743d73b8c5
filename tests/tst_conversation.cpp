// The conversation pane of the real main window against the stand-in
// service: history, sides, recall, remark, joins and odd message data.

#include "testsupport.h"

#include "sessionlist_fixture.h"

#include <QDialog>
#include <QLayout>
#include <QLineEdit>

using namespace Fixture;
using Access = OrvantisTestAccess;

namespace {

QJsonObject message(const QString &fromType, const QString &content, const QString &uuid,
                    const QString &fromName = QString())
{
    return {{QStringLiteral("from_type"), fromType},
            {QStringLiteral("content"), content},
            {QStringLiteral("from_name"), fromName},
            {QStringLiteral("msg_uuid"), uuid}};
}

QStringList bubbleTexts(const orvantis *w)
{
    QStringList texts;
    for (ChatBubble *b : w->bubbles())
        texts.append(b->contentLabel()->text());
    return texts;
}

QStringList cachedUuids(const orvantis *w, int sessionId)
{
    QStringList uuids;
    for (const ChatMessage &m : w->messages().value(sessionId))
        uuids.append(m.msgUuid);
    return uuids;
}

// A workspace with one session holding `messages`, opened and its history in.
int openSession(LiveWorkspace &ws, const QList<QJsonObject> &messages)
{
    const int id = ws.server.addSession(sessionFields("talk", true, 0, QString()));
    for (const QJsonObject &m : messages)
        ws.server.addMessage(id, m);
    if (!ws.start())
        return 0;
    Access::select(ws.w(), id);
    return ws.idle() ? id : 0;
}

} // namespace

class TestConversation : public QObject
{
    Q_OBJECT

private slots:
    void historyDropsDeletedMessages();
    void senderTypeDecidesSide_data();
    void senderTypeDecidesSide();
    void lateHistoryOfLeftSessionIsDropped();
    void recallRemovesOnlyNewestOfSameUuid();
    void recallWhileLinkDownKeepsMessage();
    void recallReceivedForOtherSession();
    void remarkStoresTextAtReplyTime();
    void markupInMessageTextIsLiteral();
    void joinSentOncePerSessionAndLink();
    void lightboxShowsFailureAndClosesOnClick_data();
    void lightboxShowsFailureAndClosesOnClick();
    void malformedMessagesAreShownSafely();
};

void TestConversation::historyDropsDeletedMessages()
{
    QJsonObject gone = message("visitor", "gone", "u2");
    gone.insert(QStringLiteral("is_deleted"), 1);
    QJsonObject goneToo = message("visitor", "gone too", "u4");
    goneToo.insert(QStringLiteral("is_deleted"), true);
    QJsonObject notDeleted = message("visitor", "five", "u5");
    notDeleted.insert(QStringLiteral("is_deleted"), 2);
    LiveWorkspace ws;
    const int id = openSession(ws, {message("visitor", "one", "u1"), gone, message("agent", "three", "u3"),
                                    goneToo, notDeleted});
    QVERIFY(id);
    QCOMPARE(bubbleTexts(ws.w()), (QStringList{"one", "three", "five"}));
    QCOMPARE(cachedUuids(ws.w(), id), (QStringList{"u1", "u3", "u5"}));
    const auto requests = ws.server.requestsTo(QStringLiteral("/chat/messages"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().query.queryItemValue(QStringLiteral("session_id")), QString::number(id));
    // The bubbles stand in the column in message order.
    QLayout *column = ws.w()->findChild<QWidget *>(QStringLiteral("chatContentWidget"))->layout();
    for (int i = 0; i < ws.w()->bubbles().size(); ++i)
        QCOMPARE(column->itemAt(i)->widget(), ws.w()->bubbles().at(i));
}

void TestConversation::senderTypeDecidesSide_data()
{
    QTest::addColumn<QString>("senderType");
    QTest::addColumn<bool>("fromSelf");
    QTest::newRow("agent") << "agent" << true;
    QTest::newRow("admin") << "admin" << true;
    QTest::newRow("Agent in other case") << "Agent" << false;
    QTest::newRow("visitor") << "visitor" << false;
}

void TestConversation::senderTypeDecidesSide()
{
    QFETCH(QString, senderType);
    QFETCH(bool, fromSelf);
    LiveWorkspace ws;
    QVERIFY(openSession(ws, {message(senderType, "text", "u1", "Someone")}));
    ChatBubble *bubble = ws.w()->bubbles().first();
    QCOMPARE(bubble->isFromSelf(), fromSelf);
    // Only the agent side's own messages offer recall.
    QCOMPARE(bubble->recallButton()->isVisibleTo(bubble), fromSelf);
}

void TestConversation::lateHistoryOfLeftSessionIsDropped()
{
    LiveWorkspace ws;
    const int first = ws.server.addSession(sessionFields("first", true, 0, QString()));
    const int second = ws.server.addSession(sessionFields("second", true, 0, QString()));
    ws.server.addMessage(first, message("visitor", "from first", "f1"));
    ws.server.addMessage(second, message("visitor", "from second", "s1"));
    QVERIFY(ws.start());

    ws.server.delayReplies(QStringLiteral("/chat/messages"), 300);
    Access::select(ws.w(), first);
    Access::select(ws.w(), second);
    QTRY_COMPARE(ws.w()->bubbles().size(), 1);
    QVERIFY(ws.idle());
    QCOMPARE(bubbleTexts(ws.w()), QStringList{"from second"});
    QVERIFY(!ws.w()->messages().contains(first));
}

void TestConversation::recallRemovesOnlyNewestOfSameUuid()
{
    LiveWorkspace ws;
    const int id = openSession(ws, {message("agent", "older", "dup"), message("visitor", "between", "v1"),
                                    message("agent", "newer", "dup")});
    QVERIFY(id);
    QTRY_COMPARE(ws.countFrames(QStringLiteral("join_session")), 1);

    // Through the bubble's own link, as the agent clicks it.
    ws.w()->bubbles().at(2)->recallButton()->click();
    QCOMPARE(bubbleTexts(ws.w()), (QStringList{"older", "between"}));
    QCOMPARE(cachedUuids(ws.w(), id), (QStringList{"dup", "v1"}));
    QCOMPARE(labelText(ws.w(), "statusLabel"), QStringLiteral("消息已撤回"));
    QTRY_COMPARE(ws.countFrames(QStringLiteral("\"recall\"")), 1);
    const QString frame = ws.server.receivedFrames().filter(QStringLiteral("\"recall\"")).first();
    QVERIFY(frame.contains(QStringLiteral("\"dup\"")));
    QVERIFY(frame.contains(QStringLiteral("\"session_id\":%1").arg(id)));

    // An empty or unknown uuid recalls nothing.
    Access::recallClicked(ws.w(), QString());
    Access::recallClicked(ws.w(), QStringLiteral("nope"));
    QCOMPARE(ws.w()->bubbles().size(), 2);
}

// The bubble used to vanish although the recall never reached the service.
void TestConversation::recallWhileLinkDownKeepsMessage()
{
    LiveWorkspace ws;
    const int id = openSession(ws, {message("agent", "mine", "m1")});
    QVERIFY(id);

    ws.w()->wss()->disconnectFromServer();
    QTRY_VERIFY(!ws.w()->wss()->isConnected());
    ws.server.clearReceivedFrames();
    Access::recallClicked(ws.w(), QStringLiteral("m1"));

    QCOMPARE(ws.w()->bubbles().size(), 1);
    QCOMPARE(cachedUuids(ws.w(), id), QStringList{"m1"});
    QCOMPARE(labelText(ws.w(), "statusLabel"), QStringLiteral("WSS 未连接，撤回失败，请稍后重试"));
    QTest::qWait(50);
    QVERIFY(ws.server.receivedFrames().isEmpty());
}

void TestConversation::recallReceivedForOtherSession()
{
    LiveWorkspace ws;
    const int open = ws.server.addSession(sessionFields("open", true, 0, QString()));
    const int other = ws.server.addSession(sessionFields("other", true, 0, QString()));
    ws.server.addMessage(other, message("visitor", "x", "shared"));
    ws.server.addMessage(other, message("visitor", "y", "keep"));
    ws.server.addMessage(open, message("visitor", "same uuid here", "shared"));
    QVERIFY(ws.start());
    Access::select(ws.w(), other);
    QTRY_COMPARE(ws.w()->bubbles().size(), 2);
    Access::select(ws.w(), open);
    QTRY_COMPARE(bubbleTexts(ws.w()), QStringList{"same uuid here"});

    // Only the cache of the other session changes; unknown sessions and
    // empty uuids are ignored.
    emit ws.w()->wss()->recallReceived(QStringLiteral("shared"), other);
    emit ws.w()->wss()->recallReceived(QStringLiteral("keep"), 4040);
    emit ws.w()->wss()->recallReceived(QString(), other);
    QCOMPARE(bubbleTexts(ws.w()), QStringList{"same uuid here"});
    QCOMPARE(cachedUuids(ws.w(), other), QStringList{"keep"});
    QVERIFY(!ws.w()->messages().contains(4040));

    // For the open session both the bubble and the cached message go.
    emit ws.w()->wss()->recallReceived(QStringLiteral("shared"), open);
    QVERIFY(ws.w()->bubbles().isEmpty());
    QVERIFY(cachedUuids(ws.w(), open).isEmpty());
}

void TestConversation::remarkStoresTextAtReplyTime()
{
    LiveWorkspace ws;
    const int id = openSession(ws, {});
    QVERIFY(id);

    auto *edit = ws.w()->findChild<QLineEdit *>(QStringLiteral("remarkEdit"));
    edit->setText(QStringLiteral("  first  "));
    ws.server.delayReplies(QStringLiteral("update-session"), 300);
    Access::saveRemark(ws.w());
    edit->setText(QStringLiteral(" <b>Edited</b> "));
    QTRY_COMPARE(labelText(ws.w(), "statusLabel"), QStringLiteral("备注已保存"));

    const auto requests = ws.server.requestsTo(QStringLiteral("update-session"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().jsonBody().value(QStringLiteral("remark")).toString(), QStringLiteral("first"));
    QCOMPARE(Access::map(ws.w()).value(id).remark, QStringLiteral("<b>Edited</b>"));
    QCOMPARE(ws.w()->sessionList().first().remark, QStringLiteral("<b>Edited</b>"));
    // The remark is the display name: header and row follow it, literally.
    QVERIFY(labelText(ws.w(), "chatNameLabel").contains(QStringLiteral("&lt;b&gt;Edited&lt;/b&gt;")));
    QCOMPARE(rowName(ws.row(id)), QStringLiteral("<b>Edited</b>"));
}

void TestConversation::markupInMessageTextIsLiteral()
{
    const QString text = QStringLiteral("<h1>big</h1><a href=\"http://evil\">link</a>");
    LiveWorkspace ws;
    QVERIFY(openSession(ws, {message("visitor", text, "h1", QStringLiteral("<i>n</i>"))}));
    ChatBubble *bubble = ws.w()->bubbles().first();
    QCOMPARE(bubble->contentLabel()->textFormat(), Qt::PlainText);
    QCOMPARE(bubble->contentLabel()->text(), text);
    QCOMPARE(bubble->avatarLabel()->text(), QStringLiteral("<"));
}

void TestConversation::joinSentOncePerSessionAndLink()
{
    LiveWorkspace ws;
    const int a = ws.server.addSession(sessionFields("a", true, 0, QString()));
    const int b = ws.server.addSession(sessionFields("b", true, 0, QString()));
    QVERIFY(ws.start());
    ws.server.clearReceivedFrames();
    const QString joinA = QStringLiteral("\"session_id\":%1,\"type\":\"join_session\"").arg(a);
    const QString joinB = QStringLiteral("\"session_id\":%1,\"type\":\"join_session\"").arg(b);

    for (int id : {a, a, b, a})
        Access::select(ws.w(), id);
    QTRY_COMPARE(ws.countFrames(joinA), 2);
    QCOMPARE(ws.countFrames(joinB), 1);

    // A new authenticated link joins the channel and the open session once more.
    ws.w()->wss()->setReconnectBaseDelayMs(50);
    ws.server.dropConnections();
    QTRY_COMPARE(ws.countFrames(joinA), 3);
    QTRY_COMPARE(ws.countFrames(QStringLiteral("\"channel\":\"%1\"").arg(ws.server.channelCode())), 1);
    QTest::qWait(100);
    QCOMPARE(ws.countFrames(joinA), 3);
    QCOMPARE(ws.countFrames(joinB), 1);
}

void TestConversation::lightboxShowsFailureAndClosesOnClick_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing file") << "/uploads/none.png";
    QTest::newRow("not an image") << "/api/agent/channel";
    QTest::newRow("not a url") << "::not a url::";
}

void TestConversation::lightboxShowsFailureAndClosesOnClick()
{
    QFETCH(QString, path);
    LiveWorkspace ws;
    QVERIFY(ws.start());
    if (path.startsWith(QLatin1Char('/')))
        path = QStringLiteral("http://127.0.0.1:%1%2").arg(ws.server.port()).arg(path);

    Access::lightbox(ws.w(), path);
    // Both the box and its picture carry the close-on-click marker.
    QPointer<QDialog> dialog;
    QLabel *label = nullptr;
    for (QWidget *w : ws.w()->findChildren<QWidget *>()) {
        if (!w->property("lightboxClose").toBool())
            continue;
        if (auto *d = qobject_cast<QDialog *>(w))
            dialog = d;
        if (auto *l = qobject_cast<QLabel *>(w))
            label = l;
    }
    QVERIFY(dialog && dialog->isVisible() && label);
    QTRY_COMPARE(label->text(), QStringLiteral("图片加载失败"));

    QTest::mouseClick(label, Qt::LeftButton);
    QTRY_VERIFY(!dialog);
}

void TestConversation::malformedMessagesAreShownSafely()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("bad", true, 0, QString()));
    QVERIFY(ws.start());
    const QJsonArray list{
            QJsonObject{{QStringLiteral("content"), QString(100000, QLatin1Char('y'))},
                        {QStringLiteral("msg_uuid"), QStringLiteral("h")}},
            QJsonObject{{QStringLiteral("content"), QString()}},
            QJsonObject{{QStringLiteral("from_type"), 5},
                        {QStringLiteral("content"), QJsonArray{1}},
                        {QStringLiteral("create_time"), QStringLiteral("not a time")},
                        {QStringLiteral("is_deleted"), QStringLiteral("no")}},
            QJsonObject{{QStringLiteral("msg_type"), QStringLiteral("image")},
                        {QStringLiteral("content"), QStringLiteral("http://127.0.0.1:1/broken.png")}},
            QJsonObject{{QStringLiteral("msg_type"), QStringLiteral("image")}, {QStringLiteral("content"), QString()}},
            QJsonObject{{QStringLiteral("msg_type"), QStringLiteral("video")},
                        {QStringLiteral("content"), QStringLiteral("clip")}},
            7,
            QJsonValue()};
    ws.server.setRawReply(QStringLiteral("/chat/messages"), 200, pageBody(list));
    Access::select(ws.w(), id);
    QTRY_COMPARE(ws.w()->bubbles().size(), 8);
    QCOMPARE(ws.w()->messages().value(id).size(), 8);
    QVERIFY(!ws.w()->bubbles().at(0)->contentLabel()->text().isEmpty());
    // The broken image falls back to a text bubble.
    QTRY_COMPARE(ws.w()->bubbles().at(3)->contentLabel()->text(), QStringLiteral("[图片加载失败]"));
    QVERIFY(!ws.w()->bubbles().at(5)->translateButton()->isVisibleTo(ws.w()->bubbles().at(5)));

    // A recall of the oversized message still finds it.
    emit ws.w()->wss()->recallReceived(QStringLiteral("h"), id);
    QCOMPARE(ws.w()->bubbles().size(), 7);
}

ORVANTIS_TEST_MAIN(TestConversation)
#include "tst_conversation.moc"
