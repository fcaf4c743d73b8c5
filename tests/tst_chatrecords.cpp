#include "testsupport.h"

#include "net/chatrecords.h"

#include <QJsonDocument>
#include <QJsonObject>

class TestChatRecords : public QObject
{
    Q_OBJECT

private slots:
    // One field of the records built from the JSON (parsed the way the program
    // does), as its values: one table covers every rule.
    void fields_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QVariantList>("expected");
        const auto localIso = [](qint64 seconds) {
            return QDateTime::fromSecsSinceEpoch(seconds).toString(Qt::ISODate);
        };
        const auto content
            = [](const QByteArray &text) { return "{\"content\":\"" + text + "\"}"; };
        const auto row = [](const char *name, const QByteArray &json, const char *field,
                            const QVariantList &expected) {
            QTest::newRow(name) << json << QByteArray(field) << expected;
        };
        row("long content", content(QByteArray(20000, 'a')), "content", {QString(20000, 'a')});
        // Cut before a character outside the basic plane, never through it.
        row("content cut", content(QByteArray(19999, 'a') + "😀b"), "content",
            {QString(19999, 'a') + "…（消息过长，已截断）"});
        row("session, numbers as text and float",
            R"({"id":"17","channel_id":3,"channel_code":"c","member_uid":9.0,"ip_address":"1.2.3.4",)"
            R"("unread_count":"4","message_count":6,"visitor_name":"张"})",
            "session", {17, 3, "c", 9, "1.2.3.4", 4, 6, "张"});
        row("message",
            R"({"id":7,"msg_uuid":"u-1","session_id":12,"content":"<b>","is_deleted":1})",
            "message", {7, "u-1", 12, "<b>", "text", true});
        row("empty last_msg", R"({"last_msg":"","last_message":"在吗"})", "lastMsg", {"在吗"});
        row("last_msg first", R"({"last_msg":"a","last_message":"b"})", "lastMsg", {"a"});
        row("epoch last_time", R"({"last_time":1700000000})", "lastTime", {localIso(1700000000)});
        row("zero last_time", R"({"last_time":0})", "lastTime", {"0"});
        row("unreadable created_at", R"({"created_at":"yesterday","create_time":1700000000})",
            "created", {""});
        row("empty created_at", R"({"created_at":"","create_time":"1"})", "created", {localIso(1)});
        row("remark", R"({"remark":"老客户","visitor_id":"abc","visitor_name":"张三"})", "name",
            {"老客户"});
        row("visitor name", R"({"remark":"","visitor_id":"","visitor_name":"李四"})", "name",
            {"李四"});
        row("no name", "{}", "name", {"访客"});
        // Malformed records and the from_* names are met by the workspace tests.
        row("sender", R"({"sender_id":6,"sender_name":"B","sender_type":"agent"})", "sender",
            {6, "B", "agent"});
        row("epoch create_time", R"({"create_time":"1"})", "time", {"1", localIso(1)});
        row("other create_time", R"({"create_time":"01/03/2024 08:09"})", "time",
            {"01/03/2024 08:09", ""});
    }
    void fields()
    {
        QFETCH(QByteArray, json);
        QFETCH(QByteArray, field);
        const QVariantMap map = QJsonDocument::fromJson(json).object().toVariantMap();
        const ChatSession s = ChatSession::fromMap(map);
        const ChatMessage m = ChatMessage::fromMap(map);
        const QMap<QByteArray, QVariantList> fields {
            {"lastMsg", {s.lastMessage}},
            {"lastTime", {s.lastTime}},
            {"created", {s.createdAt.toString(Qt::ISODate)}},
            {"name", {s.displayName()}},
            {"session",
             {s.id, s.channelId, s.channelCode, s.memberUid, s.ipAddress, s.unreadCount,
              s.messageCount, s.visitorName}},
            {"message", {m.id, m.msgUuid, m.sessionId, m.content, m.msgType, m.isDeleted}},
            {"content", {m.content}},
            {"sender", {m.senderId, m.senderName, m.senderType}},
            {"time", {m.createTime, m.createdAt.toString(Qt::ISODate)}}};
        QTEST(fields.value(field, {"no such field"}), "expected");
    }
};

ORVANTIS_TEST_MAIN(TestChatRecords)
#include "tst_chatrecords.moc"
