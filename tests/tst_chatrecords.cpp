#include "testsupport.h"

#include "net/apiclient.h"
#include "net/chatrecords.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMetaType>

namespace {

// Maps are built the way the program builds them: JSON text, parsed, converted.
QVariantMap fromJson(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    Q_ASSERT(doc.isObject());
    return doc.object().toVariantMap();
}

QString localIso(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toString(Qt::ISODate);
}

QString dateText(const QDateTime &dateTime)
{
    return dateTime.isValid() ? dateTime.toString(Qt::ISODate) : QStringLiteral("invalid");
}

// One field of the records built from the JSON, as text: one table covers every rule.
QString fieldOf(const QByteArray &json, const QByteArray &field)
{
    const ChatSession s = ChatSession::fromMap(fromJson(json));
    const ChatMessage m = ChatMessage::fromMap(fromJson(json));
    const QMap<QByteArray, QString> fields {
        {"lastMessage", s.lastMessage},
        {"lastTime", s.lastTime},
        {"createdAt", dateText(s.createdAt)},
        {"status", QLatin1String(s.online ? "online " : "- ") + s.statusText()},
        {"displayName", s.displayName()},
        {"numbers", QStringLiteral("%1 %2 %3 %4").arg(s.id).arg(s.memberUid).arg(s.unreadCount)
                        .arg(s.visitorId)},
        {"sender", QStringLiteral("%1 %2 %3").arg(m.senderId).arg(m.senderName, m.senderType)},
        {"msgType", m.msgType},
        {"isDeleted", m.isDeleted ? QStringLiteral("deleted") : QStringLiteral("kept")},
        {"time", m.createTime + QLatin1Char('|') + dateText(m.createdAt)},
    };
    Q_ASSERT(fields.contains(field));
    return fields.value(field);
}

QLoggingCategory::CategoryFilter previousFilter = nullptr;

// The test main silences qDebug; the message builder's debug line is part of
// its behaviour, so it is switched back on here.
void enableDefaultDebug(QLoggingCategory *category)
{
    if (previousFilter)
        previousFilter(category);
    if (qstrcmp(category->categoryName(), "default") == 0)
        category->setEnabled(QtDebugMsg, true);
}

} // namespace

class TestChatRecords : public QObject
{
    Q_OBJECT

private slots:
    void metaTypesRegisteredByClient()
    {
        // Constructing the REST client is enough for the records to travel
        // through queued connections under their names.
        ApiClient client;
        QVERIFY(QMetaType::fromName("ChatSession").isValid());
        QCOMPARE(QMetaType::fromName("QList<ChatSession>"),
                 QMetaType::fromType<QList<ChatSession>>());
        QCOMPARE(QMetaType::fromName("QList<ChatMessage>"),
                 QMetaType::fromType<QList<ChatMessage>>());
        registerChatRecordTypes(); // repeated registration is harmless
    }

    void fields_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QString>("expected");
        auto row = [](const char *tag, const char *json, const char *field,
                      const QString &expected) {
            QTest::newRow(tag) << QByteArray(json) << QByteArray(field) << expected;
        };
        const QString iso = "2024-03-01T08:09:10";

        row("last_msg empty falls back", R"({"last_msg":"","last_message":"在吗"})", "lastMessage",
            "在吗");
        row("last_msg wins", R"({"last_msg":"a","last_message":"b"})", "lastMessage", "a");
        row("last_msg not text", R"({"last_msg":{"x":1},"last_message":"b"})", "lastMessage", "b");

        row("last_time number", R"({"last_time":1700000000})", "lastTime", localIso(1700000000));
        row("last_time digits", R"({"last_time":"1700000000"})", "lastTime", localIso(1700000000));
        row("last_time zero", R"({"last_time":0})", "lastTime", "0");
        row("last_time negative", R"({"last_time":"-5"})", "lastTime", "-5");
        row("last_time empty", R"({"last_time":""})", "lastTime", "");
        row("last_time iso", R"({"last_time":"2024-03-01T08:09:10"})", "lastTime", iso);
        // Too far in the future for a date: keep what was received rather than nothing.
        row("last_time beyond any date", R"({"last_time":"9000000000000000000"})", "lastTime",
            "9000000000000000000");

        row("created_at iso", R"({"created_at":"2024-03-01T08:09:10"})", "createdAt", iso);
        row("unparsable created_at beats create_time",
            R"({"created_at":"yesterday","create_time":1700000000})", "createdAt", "invalid");
        row("empty created_at uses create_time", R"({"created_at":"","create_time":"1700000000"})",
            "createdAt", localIso(1700000000));
        row("create_time zero", R"({"create_time":0})", "createdAt", "invalid");

        row("online", R"({"status":"online"})", "status", "online 在线");
        row("Online is not online", R"({"status":"Online"})", "status", "- 离线");
        row("closed", R"({"status":"closed"})", "status", "- 已结束");
        row("no status", "{}", "status", "- 离线");
        row("online key ignored", R"({"status":"offline","online":true})", "status", "- 离线");

        row("remark wins", R"({"remark":"老客户","visitor_id":"abc","visitor_name":"张三"})",
            "displayName", "老客户");
        row("12-char id beats name", R"({"visitor_id":"abcde1234567","visitor_name":"张三"})",
            "displayName", "1234567");
        row("7-char id whole", R"({"visitor_id":"v123456"})", "displayName", "v123456");
        row("numeric id", R"({"visitor_id":123456789012})", "displayName", "6789012");
        row("name", R"({"remark":"","visitor_id":"","visitor_name":"李四"})", "displayName", "李四");
        row("name 访客", R"({"visitor_name":"访客"})", "displayName", "访客");

        row("lenient numbers", R"({"id":"17","member_uid":9.0,"unread_count":"4","visitor_id":88})",
            "numbers", "17 9 4 88");
        row("garbage numbers", R"({"id":"abc","unread_count":{},"visitor_id":["x"]})", "numbers",
            "0 0 0 ");

        row("sender_* keys", R"({"sender_id":6,"sender_name":"B","sender_type":"agent"})", "sender",
            "6 B agent");
        row("from_* win", R"({"from_id":1,"sender_id":2,"from_name":"x","sender_name":"y",
                             "from_type":"admin","sender_type":"visitor"})",
            "sender", "1 x admin");
        row("empty from_* fall back",
            R"({"from_id":0,"sender_id":9,"from_type":"","sender_type":"agent",)"
            R"("from_name":"","sender_name":"C"})",
            "sender", "9 C agent");

        row("missing type", "{}", "msgType", "text");
        row("empty type", R"({"msg_type":""})", "msgType", "text");

        row("deleted 1", R"({"is_deleted":1})", "isDeleted", "deleted");
        row("deleted true", R"({"is_deleted":true})", "isDeleted", "deleted");
        row("deleted \"1\"", R"({"is_deleted":"1"})", "isDeleted", "deleted");
        row("deleted 2", R"({"is_deleted":2})", "isDeleted", "kept");

        row("time number", R"({"create_time":1700000000})", "time",
            "1700000000|" + localIso(1700000000));
        row("time digits", R"({"create_time":"1700000001"})", "time",
            "1700000001|" + localIso(1700000001));
        row("time iso kept verbatim", R"({"create_time":"2024-03-01T08:09:10"})", "time",
            "2024-03-01T08:09:10|2024-03-01T08:09:10");
        row("time other format", R"({"create_time":"01/03/2024 08:09"})", "time",
            "01/03/2024 08:09|invalid");
        row("time zero", R"({"create_time":0})", "time", "0|invalid");
    }

    void fields()
    {
        QFETCH(QByteArray, json);
        QFETCH(QByteArray, field);
        QFETCH(QString, expected);
        QCOMPARE(fieldOf(json, field), expected);
    }

    void messageDebugLine()
    {
        previousFilter = QLoggingCategory::installFilter(enableDefaultDebug);
        QTest::ignoreMessage(QtDebugMsg,
                             "[DEBUG] ChatMessage::fromMap: id=7 from_type='' sender_type='agent' "
                             "final senderType='agent'");
        const ChatMessage message = ChatMessage::fromMap(fromJson(
            R"({"id":7,"msg_uuid":"u-1","session_id":12,"sender_type":"agent","content":"<b>"})"));
        QLoggingCategory::installFilter(previousFilter);
        QCOMPARE(message.id, 7);
        QCOMPARE(message.msgUuid, QStringLiteral("u-1"));
        QCOMPARE(message.sessionId, 12);
        QCOMPARE(message.content, QStringLiteral("<b>"));
    }

    void defaults()
    {
        for (const ChatSession &session : {ChatSession::fromMap({}), ChatSession()}) {
            QCOMPARE(session.id, 0);
            QCOMPARE(session.online, false);
            QVERIFY(!session.createdAt.isValid());
            QCOMPARE(session.displayName(), QStringLiteral("访客"));
        }
        const ChatMessage built = ChatMessage::fromMap(fromJson(R"({"session_id":"x","id":null})"));
        for (const ChatMessage &message : {built, ChatMessage()}) {
            QCOMPARE(message.id + message.sessionId, 0);
            QCOMPARE(message.msgType, QStringLiteral("text"));
            QVERIFY(message.createTime.isEmpty() && !message.createdAt.isValid());
        }
    }
};

ORVANTIS_TEST_MAIN(TestChatRecords)
#include "tst_chatrecords.moc"
