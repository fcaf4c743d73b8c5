#include "testsupport.h"

#include "sessionlist_fixture.h"

#include <QDialog>
#include <QLayout>
#include <QLineEdit>

using namespace Fixture;

namespace {

QJsonObject message(const QString &fromType, const QString &content, const QString &uuid = QString(),
                    const QString &fromName = QString())
{
    QJsonObject m{{QStringLiteral("from_type"), fromType},
                  {QStringLiteral("content"), content},
                  {QStringLiteral("from_name"), fromName}};
    if (!uuid.isEmpty())
        m.insert(QStringLiteral("msg_uuid"), uuid);
    return m;
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

QDialog *openLightbox(orvantis *w)
{
    for (QDialog *d : w->findChildren<QDialog *>()) {
        if (d->property("lightboxClose").toBool())
            return d;
    }
    return nullptr;
}

} // namespace

class TestConversation : public QObject
{
    Q_OBJECT

private slots:
    void historyDropsDeletedMessages();
    void senderTypeDecidesSide_data();
    void senderTypeDecidesSide();
    void defaultSenderNameTakesSessionName();
    void lateHistoryOfLeftSessionIsDropped();
    void headerShowsSessionAndEscapesIt();
    void recallRemovesOnlyNewestOfSameUuid();
    void recallWhileLinkDownKeepsMessage();
    void recallReceivedForOtherSession();
    void remarkStoresTextAtReplyTime();
    void markupInMessageTextIsLiteral();
    void joinSentOncePerSessionAndLink();
    void clearCurrentUnreadMarksRead();
    void lightboxShowsFailureAndClosesOnClick_data();
    void lightboxShowsFailureAndClosesOnClick();
    void malformedMessagesAreShownSafely();
};

void TestConversation::historyDropsDeletedMessages()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("hist", true, 0, QString()));
    ws.server.addMessage(id, message("visitor", "one", "u1"));
    QJsonObject gone = message("visitor", "gone", "u2");
    gone.insert(QStringLiteral("is_deleted"), 1);
    ws.server.addMessage(id, gone);
    ws.server.addMessage(id, message("agent", "three", "u3"));
    QJsonObject goneToo = message("visitor", "gone too", "u4");
    goneToo.insert(QStringLiteral("is_deleted"), true);
    ws.server.addMessage(id, goneToo);
    QJsonObject notDeleted = message("visitor", "five", "u5");
    notDeleted.insert(QStringLiteral("is_deleted"), 2);
    ws.server.addMessage(id, notDeleted);
    QVERIFY(ws.start());

    OrvantisTestAccess::select(ws.window.get(), id);
    QTRY_COMPARE(ws.window->bubbles().size(), 3);
    QCOMPARE(bubbleTexts(ws.window.get()), (QStringList{"one", "three", "five"}));
    QCOMPARE(cachedUuids(ws.window.get(), id), (QStringList{"u1", "u3", "u5"}));
    const auto requests = ws.server.requestsTo(QStringLiteral("/chat/messages"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().query.queryItemValue(QStringLiteral("session_id")), QString::number(id));
    // The bubbles stand in the column in message order.
    auto *layout = child<QWidget>(ws.window.get(), "chatContentWidget")->layout();
    for (int i = 0; i < ws.window->bubbles().size(); ++i)
        QCOMPARE(layout->itemAt(i)->widget(), ws.window->bubbles().at(i));
}

void TestConversation::senderTypeDecidesSide_data()
{
    QTest::addColumn<QString>("senderType");
    QTest::addColumn<bool>("fromSelf");
    QTest::newRow("agent") << "agent" << true;
    QTest::newRow("admin") << "admin" << true;
    QTest::newRow("Agent in other case") << "Agent" << false;
    QTest::newRow("ADMIN") << "ADMIN" << false;
    QTest::newRow("visitor") << "visitor" << false;
    QTest::newRow("empty") << "" << false;
}

void TestConversation::senderTypeDecidesSide()
{
    QFETCH(QString, senderType);
    QFETCH(bool, fromSelf);
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("side", true, 0, QString()));
    ws.server.addMessage(id, message(senderType, "text", "u1", "Someone"));
    QVERIFY(ws.start());
    OrvantisTestAccess::select(ws.window.get(), id);
    QTRY_COMPARE(ws.window->bubbles().size(), 1);
    ChatBubble *bubble = ws.window->bubbles().first();
    QCOMPARE(bubble->isFromSelf(), fromSelf);
    // Only the agent side's own messages offer recall.
    QCOMPARE(bubble->recallButton()->isVisibleTo(bubble), fromSelf);
    QCOMPARE(bubble->memberId(), 3);
}

void TestConversation::defaultSenderNameTakesSessionName()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("zoe", true, 0, QString()));
    ws.server.addMessage(id, message("visitor", "a", "u1", QStringLiteral("访客")));
    ws.server.addMessage(id, message("visitor", "b", "u2", QString()));
    ws.server.addMessage(id, message("visitor", "c", "u3", QStringLiteral("mallory")));
    ws.server.addMessage(id, message("agent", "d", "u4", QString()));
    QVERIFY(ws.start());
    OrvantisTestAccess::select(ws.window.get(), id);
    QTRY_COMPARE(ws.window->bubbles().size(), 4);
    QCOMPARE(ws.window->bubbles().at(0)->avatarLabel()->text(), QStringLiteral("Z"));
    QCOMPARE(ws.window->bubbles().at(1)->avatarLabel()->text(), QStringLiteral("Z"));
    QCOMPARE(ws.window->bubbles().at(2)->avatarLabel()->text(), QStringLiteral("M"));
    // The cache keeps the messages as the service sent them.
    QCOMPARE(ws.window->messages().value(id).first().senderName, QStringLiteral("访客"));
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
    OrvantisTestAccess::select(ws.window.get(), first);
    OrvantisTestAccess::select(ws.window.get(), second);
    QTRY_COMPARE(ws.window->bubbles().size(), 1);
    QVERIFY(ws.idle());
    QCOMPARE(bubbleTexts(ws.window.get()), QStringList{"from second"});
    QVERIFY(!ws.window->messages().contains(first));
}

void TestConversation::headerShowsSessionAndEscapesIt()
{
    LiveWorkspace ws;
    QJsonObject fields = sessionFields("<b>bold</b>", true, 0, QString());
    fields.insert(QStringLiteral("remark"), QStringLiteral("<script>x</script>"));
    fields.insert(QStringLiteral("ip_address"), QStringLiteral("1.2.3.4\"><img src=x>"));
    const int id = ws.server.addSession(fields);
    QJsonObject offline = sessionFields("off", false, 0, QString());
    offline.insert(QStringLiteral("status"), QStringLiteral("closed"));
    offline.insert(QStringLiteral("ip_address"), QString());
    const int closed = ws.server.addSession(offline);
    QVERIFY(ws.start());

    OrvantisTestAccess::select(ws.window.get(), id);
    QCOMPARE(labelText(ws.window.get(), "chatAvatarLabel"), QStringLiteral("<"));
    QCOMPARE(labelText(ws.window.get(), "chatNameLabel"),
             QStringLiteral("<span style='font-size:14px;font-weight:bold;color:#2f3441;'>"
                            "&lt;script&gt;x&lt;/script&gt;</span>"));
    QCOMPARE(labelText(ws.window.get(), "chatStatusDot"),
             QStringLiteral("<span style='font-size:12px;color:#22a06b;'>● 在线</span>"));
    QCOMPARE(labelText(ws.window.get(), "ipValueLabel"),
             QStringLiteral("<html><head/><body><p><span style=\"font-size:12px;color:#4b5264;\">"
                            "1.2.3.4&quot;&gt;&lt;img src=x&gt;</span></p></body></html>"));
    QCOMPARE(child<QLineEdit>(ws.window.get(), "remarkEdit")->text(),
             QStringLiteral("<script>x</script>"));

    OrvantisTestAccess::select(ws.window.get(), closed);
    QCOMPARE(labelText(ws.window.get(), "chatStatusDot"),
             QStringLiteral("<span style='font-size:12px;color:#8b93a5;'>● 已结束</span>"));
    QVERIFY(labelText(ws.window.get(), "ipValueLabel").contains(QStringLiteral(">-</span>")));
    QCOMPARE(labelText(ws.window.get(), "chatAvatarLabel"), QStringLiteral("O"));
}

void TestConversation::recallRemovesOnlyNewestOfSameUuid()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("recall", true, 0, QString()));
    ws.server.addMessage(id, message("agent", "older", "dup"));
    ws.server.addMessage(id, message("visitor", "between", "v1"));
    ws.server.addMessage(id, message("agent", "newer", "dup"));
    QVERIFY(ws.start());
    OrvantisTestAccess::select(ws.window.get(), id);
    QTRY_COMPARE(ws.window->bubbles().size(), 3);
    QTRY_VERIFY(ws.countFrames(QStringLiteral("join_session")) == 1);

    // Through the bubble's own link, as the agent clicks it.
    ws.window->bubbles().at(2)->recallButton()->click();
    QCOMPARE(bubbleTexts(ws.window.get()), (QStringList{"older", "between"}));
    QCOMPARE(cachedUuids(ws.window.get(), id), (QStringList{"dup", "v1"}));
    QCOMPARE(labelText(ws.window.get(), "statusLabel"), QStringLiteral("消息已撤回"));
    QTRY_COMPARE(ws.countFrames(QStringLiteral("\"recall\"")), 1);
    const QString frame = ws.server.receivedFrames().filter(QStringLiteral("\"recall\"")).first();
    QVERIFY(frame.contains(QStringLiteral("\"dup\"")));
    QVERIFY(frame.contains(QStringLiteral("\"session_id\":%1").arg(id)));

    // An empty uuid recalls nothing.
    OrvantisTestAccess::recallClicked(ws.window.get(), QString());
    QCOMPARE(ws.window->bubbles().size(), 2);
    // A uuid that matches nothing changes nothing on screen.
    OrvantisTestAccess::recallClicked(ws.window.get(), QStringLiteral("nope"));
    QCOMPARE(ws.window->bubbles().size(), 2);
}

void TestConversation::recallWhileLinkDownKeepsMessage()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("down", true, 0, QString()));
    ws.server.addMessage(id, message("agent", "mine", "m1"));
    QVERIFY(ws.start());
    OrvantisTestAccess::select(ws.window.get(), id);
    QTRY_COMPARE(ws.window->bubbles().size(), 1);

    ws.window->wss()->disconnectFromServer();
    QTRY_VERIFY(!ws.window->wss()->isConnected());
    ws.server.clearReceivedFrames();
    OrvantisTestAccess::recallClicked(ws.window.get(), QStringLiteral("m1"));

    QCOMPARE(ws.window->bubbles().size(), 1);
    QCOMPARE(cachedUuids(ws.window.get(), id), QStringList{"m1"});
    QCOMPARE(labelText(ws.window.get(), "statusLabel"),
             QStringLiteral("WSS 未连接，撤回失败，请稍后重试"));
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

    OrvantisTestAccess::select(ws.window.get(), other);
    QTRY_COMPARE(ws.window->bubbles().size(), 2);
    OrvantisTestAccess::select(ws.window.get(), open);
    QTRY_COMPARE(bubbleTexts(ws.window.get()), QStringList{"same uuid here"});

    emit ws.window->wss()->recallReceived(QStringLiteral("shared"), other);
    QCOMPARE(bubbleTexts(ws.window.get()), QStringList{"same uuid here"});
    QCOMPARE(cachedUuids(ws.window.get(), other), QStringList{"keep"});
    QCOMPARE(cachedUuids(ws.window.get(), open), QStringList{"shared"});

    // For the open session both the bubble and the cached message go.
    emit ws.window->wss()->recallReceived(QStringLiteral("shared"), open);
    QVERIFY(ws.window->bubbles().isEmpty());
    QVERIFY(cachedUuids(ws.window.get(), open).isEmpty());
    // Unknown sessions and empty uuids are ignored.
    emit ws.window->wss()->recallReceived(QStringLiteral("keep"), 4040);
    emit ws.window->wss()->recallReceived(QString(), other);
    QCOMPARE(cachedUuids(ws.window.get(), other), QStringList{"keep"});
    QVERIFY(!ws.window->messages().contains(4040));
}

void TestConversation::remarkStoresTextAtReplyTime()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("remarked", true, 0, QString()));
    QVERIFY(ws.start());

    // Without an open session nothing is sent.
    OrvantisTestAccess::saveRemark(ws.window.get());
    QVERIFY(ws.idle());
    QCOMPARE(ws.countRequests(QStringLiteral("update-session")), 0);

    OrvantisTestAccess::select(ws.window.get(), id);
    auto *edit = child<QLineEdit>(ws.window.get(), "remarkEdit");
    edit->setText(QStringLiteral("  first  "));
    ws.server.delayReplies(QStringLiteral("update-session"), 300);
    OrvantisTestAccess::saveRemark(ws.window.get());
    edit->setText(QStringLiteral(" <b>Edited</b> "));
    QTRY_COMPARE(labelText(ws.window.get(), "statusLabel"), QStringLiteral("备注已保存"));

    const auto requests = ws.server.requestsTo(QStringLiteral("update-session"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().jsonBody().value(QStringLiteral("remark")).toString(),
             QStringLiteral("first"));
    QCOMPARE(OrvantisTestAccess::map(ws.window.get()).value(id).remark, QStringLiteral("<b>Edited</b>"));
    QCOMPARE(ws.window->sessionList().first().remark, QStringLiteral("<b>Edited</b>"));
    // The remark is the display name: header and row follow it.
    QVERIFY(labelText(ws.window.get(), "chatNameLabel").contains(QStringLiteral("&lt;b&gt;Edited&lt;/b&gt;")));
    QCOMPARE(rowName(OrvantisTestAccess::rows(ws.window.get()).value(id)), QStringLiteral("<b>Edited</b>"));
}

void TestConversation::markupInMessageTextIsLiteral()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("html", true, 0, QString()));
    const QString text = QStringLiteral("<h1>big</h1><a href=\"http://evil\">link</a>");
    ws.server.addMessage(id, message("visitor", text, "h1", QStringLiteral("<i>n</i>")));
    QVERIFY(ws.start());
    OrvantisTestAccess::select(ws.window.get(), id);
    QTRY_COMPARE(ws.window->bubbles().size(), 1);
    ChatBubble *bubble = ws.window->bubbles().first();
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

    OrvantisTestAccess::select(ws.window.get(), a);
    OrvantisTestAccess::select(ws.window.get(), a);
    QTRY_COMPARE(ws.countFrames(joinA), 1);
    QCOMPARE(OrvantisTestAccess::joinedSessionId(ws.window.get()), a);
    OrvantisTestAccess::select(ws.window.get(), b);
    OrvantisTestAccess::select(ws.window.get(), a);
    QTRY_COMPARE(ws.countFrames(joinA), 2);
    QCOMPARE(ws.countFrames(joinB), 1);

    // A new authenticated link joins the open session once more.
    ws.window->wss()->setReconnectBaseDelayMs(50);
    ws.server.dropConnections();
    QTRY_VERIFY(ws.countFrames(joinA) == 3);
    QTest::qWait(100);
    QCOMPARE(ws.countFrames(joinA), 3);
    QCOMPARE(ws.countFrames(joinB), 1);
}

void TestConversation::clearCurrentUnreadMarksRead()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("u", true, 0, QString()));
    QVERIFY(ws.start());

    // Nothing open, nothing unread: no request.
    OrvantisTestAccess::clearCurrentUnread(ws.window.get());
    OrvantisTestAccess::select(ws.window.get(), id);
    QVERIFY(ws.idle());
    const int marks = ws.countRequests(QStringLiteral("mark-read"));
    OrvantisTestAccess::clearCurrentUnread(ws.window.get());
    QVERIFY(ws.idle());
    QCOMPARE(ws.countRequests(QStringLiteral("mark-read")), marks);

    OrvantisTestAccess::setUnread(ws.window.get(), id, 3);
    OrvantisTestAccess::rebuild(ws.window.get());
    OrvantisTestAccess::clearCurrentUnread(ws.window.get());
    QCOMPARE(OrvantisTestAccess::map(ws.window.get()).value(id).unreadCount, 0);
    QCOMPARE(ws.window->sessionList().first().unreadCount, 0);
    auto *badge = OrvantisTestAccess::rows(ws.window.get()).value(id)->findChild<QLabel *>(
            QStringLiteral("unreadBadge"));
    QVERIFY(badge);
    QVERIFY(!badge->isVisibleTo(badge->parentWidget()));
    QTRY_COMPARE(ws.countRequests(QStringLiteral("mark-read")), marks + 1);
}

void TestConversation::lightboxShowsFailureAndClosesOnClick_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing file") << "/uploads/none.png";
    QTest::newRow("not an image") << "/api/agent/channel";
    QTest::newRow("not a url") << "::not a url::";
    QTest::newRow("empty") << "";
}

void TestConversation::lightboxShowsFailureAndClosesOnClick()
{
    QFETCH(QString, path);
    LiveWorkspace ws;
    QVERIFY(ws.start());
    const QString url = path.startsWith(QLatin1Char('/'))
            ? QStringLiteral("http://127.0.0.1:%1%2").arg(ws.server.port()).arg(path)
            : path;

    OrvantisTestAccess::lightbox(ws.window.get(), url);
    QPointer<QDialog> dialog = openLightbox(ws.window.get());
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QLabel *label = nullptr;
    for (QLabel *l : dialog->findChildren<QLabel *>()) {
        if (l->property("lightboxClose").toBool())
            label = l;
    }
    QVERIFY(label);
    QTRY_COMPARE(label->text(), QStringLiteral("图片加载失败"));
    auto *close = dialog->findChild<QPushButton *>();
    QCOMPARE(close->text(), QString(QChar(0x00D7)));

    QTest::mouseClick(label, Qt::LeftButton);
    QTRY_VERIFY(!dialog);
}

void TestConversation::malformedMessagesAreShownSafely()
{
    LiveWorkspace ws;
    const int id = ws.server.addSession(sessionFields("bad", true, 0, QString()));
    QVERIFY(ws.start());

    const QString huge(100000, QLatin1Char('y'));
    const QJsonArray list{
            QJsonObject{{QStringLiteral("content"), huge}, {QStringLiteral("msg_uuid"), QStringLiteral("h")}},
            QJsonObject{{QStringLiteral("content"), QString()}},
            QJsonObject{{QStringLiteral("from_type"), 5},
                        {QStringLiteral("content"), QJsonArray{1}},
                        {QStringLiteral("create_time"), QStringLiteral("not a time")},
                        {QStringLiteral("is_deleted"), QStringLiteral("no")}},
            QJsonObject{{QStringLiteral("msg_type"), QStringLiteral("image")},
                        {QStringLiteral("content"), QStringLiteral("http://127.0.0.1:1/broken.png")}},
            QJsonObject{{QStringLiteral("msg_type"), QStringLiteral("image")},
                        {QStringLiteral("content"), QString()}},
            QJsonObject{{QStringLiteral("msg_type"), QStringLiteral("video")},
                        {QStringLiteral("content"), QStringLiteral("clip")}},
            7,
            QJsonValue()};
    const QByteArray body = QJsonDocument(QJsonObject{
            {QStringLiteral("code"), 200},
            {QStringLiteral("data"), QJsonObject{{QStringLiteral("list"), list},
                                                 {QStringLiteral("total"), 8},
                                                 {QStringLiteral("has_more"), false}}}})
                                    .toJson(QJsonDocument::Compact);
    ws.server.setRawReply(QStringLiteral("/chat/messages"), 200, body);
    OrvantisTestAccess::select(ws.window.get(), id);
    QTRY_COMPARE(ws.window->bubbles().size(), 8);
    QCOMPARE(ws.window->messages().value(id).size(), 8);
    QVERIFY(!ws.window->bubbles().at(0)->contentLabel()->text().isEmpty());
    // The broken image falls back to a text bubble.
    QTRY_COMPARE(ws.window->bubbles().at(3)->contentLabel()->text(), QStringLiteral("[图片加载失败]"));
    QVERIFY(!ws.window->bubbles().at(5)->translateButton()->isVisibleTo(ws.window->bubbles().at(5)));

    // A recall of the oversized message still finds it.
    emit ws.window->wss()->recallReceived(QStringLiteral("h"), id);
    QCOMPARE(ws.window->bubbles().size(), 7);
}

ORVANTIS_TEST_MAIN(TestConversation)
#include "tst_conversation.moc"
