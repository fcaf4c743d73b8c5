#include "testsupport.h"

#include "net/chatrecords.h"

#include <QJsonDocument>
#include <QJsonObject>

class TestChatRecords : public QObject
{
    Q_OBJECT

private slots:
    // One field of the records built from the JSON (parsed the way the program
    // does), as text: one table covers every rule.
    void fields()
    {
        const auto localIso = [](qint64 seconds) {
            return QDateTime::fromSecsSinceEpoch(seconds).toString(Qt::ISODate);
        };
        const auto content
            = [](const QByteArray &text) { return "{\"content\":\"" + text + "\"}"; };
        const QList<std::tuple<QByteArray, QByteArray, QString>> rows {
            {content(QByteArray(20000, 'a')), "content", QString(20000, 'a')},
            // Cut before a character outside the basic plane, never through it.
            {content(QByteArray(19999, 'a') + "😀b"), "content",
             QString(19999, 'a') + "…（消息过长，已截断）"},
            {R"({"id":"17","channel_id":3,"channel_code":"c","member_uid":9.0,"ip_address":"1.2.3.4",)"
             R"("unread_count":"4","message_count":6,"visitor_name":"张"})",
             "session", "17 3 c 9 1.2.3.4 4 6 张"},
            {R"({"id":7,"msg_uuid":"u-1","session_id":12,"content":"<b>","is_deleted":1})",
             "message", "7 u-1 12 <b> text true"},
            {R"({"last_msg":"","last_message":"在吗"})", "lastMsg", "在吗"},
            {R"({"last_msg":"a","last_message":"b"})", "lastMsg", "a"},
            {R"({"last_time":1700000000})", "lastTime", localIso(1700000000)},
            {R"({"last_time":0})", "lastTime", "0"},
            {R"({"created_at":"yesterday","create_time":1700000000})", "created", ""},
            {R"({"created_at":"","create_time":"1"})", "created", localIso(1)},
            {R"({"remark":"老客户","visitor_id":"abc","visitor_name":"张三"})", "name", "老客户"},
            {R"({"remark":"","visitor_id":"","visitor_name":"李四"})", "name", "李四"},
            {"{}", "name", "访客"},
            // Malformed records and the from_* names are met by the workspace tests.
            {R"({"sender_id":6,"sender_name":"B","sender_type":"agent"})", "sender", "6 B agent"},
            {R"({"create_time":"1"})", "time", "1|" + localIso(1)},
            {R"({"create_time":"01/03/2024 08:09"})", "time", "01/03/2024 08:09|"}};
        const auto joined
            = [](const QVariantList &values) { return QVariant(values).toStringList().join(' '); };
        for (const auto &[json, field, expected] : rows) {
            const QVariantMap map = QJsonDocument::fromJson(json).object().toVariantMap();
            const ChatSession s = ChatSession::fromMap(map);
            const ChatMessage m = ChatMessage::fromMap(map);
            const QMap<QByteArray, QString> fields {
                {"lastMsg", s.lastMessage},
                {"lastTime", s.lastTime},
                {"created", s.createdAt.toString(Qt::ISODate)},
                {"status", QLatin1String(s.online ? "online " : "- ") + s.statusText()},
                {"name", s.displayName()},
                {"session",
                 joined({s.id, s.channelId, s.channelCode, s.memberUid, s.ipAddress, s.unreadCount,
                         s.messageCount, s.visitorName})},
                {"message",
                 joined({m.id, m.msgUuid, m.sessionId, m.content, m.msgType, m.isDeleted})},
                {"content", m.content},
                {"sender", joined({m.senderId, m.senderName, m.senderType})},
                {"time", m.createTime + QLatin1Char('|') + m.createdAt.toString(Qt::ISODate)}};
            const QString actual = fields.value(field, QStringLiteral("no such field"));
            QVERIFY2(actual == expected, qPrintable(field + ' ' + json + ": " + actual));
        }
    }
};

ORVANTIS_TEST_MAIN(TestChatRecords)
#include "tst_chatrecords.moc"
