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
    void metaTypesRegisteredByClient();

    void sessionLastMessage_data();
    void sessionLastMessage();
    void sessionLastTime_data();
    void sessionLastTime();
    void sessionCreatedAt_data();
    void sessionCreatedAt();
    void sessionStatus_data();
    void sessionStatus();
    void displayName_data();
    void displayName();
    void sessionLenientConversions();
    void sessionDefaults();

    void messageSenderFallbacks_data();
    void messageSenderFallbacks();
    void messageTypeAndDeletion_data();
    void messageTypeAndDeletion();
    void messageTime_data();
    void messageTime();
    void messageDebugLine();
    void messageDefaults();
};

void TestChatRecords::metaTypesRegisteredByClient()
{
    // Constructing the REST client is enough for the records to travel
    // through queued connections under their names.
    ApiClient client;
    QVERIFY(QMetaType::fromName("ChatSession").isValid());
    QVERIFY(QMetaType::fromName("QList<ChatSession>").isValid());
    QVERIFY(QMetaType::fromName("QList<ChatMessage>").isValid());
    QCOMPARE(QMetaType::fromName("QList<ChatSession>"), QMetaType::fromType<QList<ChatSession>>());

    // Repeated registration is harmless.
    registerChatRecordTypes();
    registerChatRecordTypes();

    ChatSession session;
    session.id = 5;
    session.remark = QStringLiteral("r");
    const QVariant wrapped = QVariant::fromValue(QList<ChatSession> {session});
    const auto unwrapped = wrapped.value<QList<ChatSession>>();
    QCOMPARE(unwrapped.size(), 1);
    QCOMPARE(unwrapped.first().id, 5);
    QCOMPARE(unwrapped.first().remark, QStringLiteral("r"));
}

void TestChatRecords::sessionLastMessage_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("expected");
    QTest::newRow("only last_msg")
        << QByteArray(R"({"last_msg":"你好"})") << QStringLiteral("你好");
    QTest::newRow("only last_message")
        << QByteArray(R"({"last_message":"在吗"})") << QStringLiteral("在吗");
    QTest::newRow("last_msg empty falls back")
        << QByteArray(R"({"last_msg":"","last_message":"在吗"})") << QStringLiteral("在吗");
    QTest::newRow("both: last_msg wins")
        << QByteArray(R"({"last_msg":"a","last_message":"b"})") << QStringLiteral("a");
    QTest::newRow("number as text") << QByteArray(R"({"last_msg":42})") << QStringLiteral("42");
    QTest::newRow("neither") << QByteArray("{}") << QString();
    QTest::newRow("object is no text")
        << QByteArray(R"({"last_msg":{"x":1},"last_message":"b"})") << QStringLiteral("b");
}

void TestChatRecords::sessionLastMessage()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, expected);
    QCOMPARE(ChatSession::fromMap(fromJson(json)).lastMessage, expected);
}

void TestChatRecords::sessionLastTime_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("expected");
    QTest::newRow("number") << QByteArray(R"({"last_time":1700000000})") << localIso(1700000000);
    QTest::newRow("digit string") << QByteArray(R"({"last_time":"1700000000"})")
                                  << localIso(1700000000);
    QTest::newRow("one second") << QByteArray(R"({"last_time":1})") << localIso(1);
    QTest::newRow("zero number") << QByteArray(R"({"last_time":0})") << QStringLiteral("0");
    QTest::newRow("zero text") << QByteArray(R"({"last_time":"0"})") << QStringLiteral("0");
    QTest::newRow("negative") << QByteArray(R"({"last_time":"-5"})") << QStringLiteral("-5");
    QTest::newRow("empty") << QByteArray(R"({"last_time":""})") << QString();
    QTest::newRow("missing") << QByteArray("{}") << QString();
    QTest::newRow("iso unchanged") << QByteArray(R"({"last_time":"2024-03-01T08:09:10"})")
                                   << QStringLiteral("2024-03-01T08:09:10");
    QTest::newRow("service format unchanged")
        << QByteArray(R"({"last_time":"2024-03-01 08:09:10"})")
        << QStringLiteral("2024-03-01 08:09:10");
    QTest::newRow("fraction unchanged")
        << QByteArray(R"({"last_time":"1700000000.5"})") << QStringLiteral("1700000000.5");
    QTest::newRow("hex is not base 10")
        << QByteArray(R"({"last_time":"0x10"})") << QStringLiteral("0x10");
    // Too far in the future for a date: keep what was received rather than nothing.
    QTest::newRow("beyond any date") << QByteArray(R"({"last_time":"9000000000000000000"})")
                                     << QStringLiteral("9000000000000000000");
}

void TestChatRecords::sessionLastTime()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, expected);
    QCOMPARE(ChatSession::fromMap(fromJson(json)).lastTime, expected);
}

void TestChatRecords::sessionCreatedAt_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QDateTime>("expected");
    QTest::newRow("iso") << QByteArray(R"({"created_at":"2024-03-01T08:09:10"})")
                         << QDateTime(QDate(2024, 3, 1), QTime(8, 9, 10));
    QTest::newRow("unparsable created_at beats create_time")
        << QByteArray(R"({"created_at":"yesterday","create_time":1700000000})") << QDateTime();
    QTest::newRow("empty created_at uses create_time")
        << QByteArray(R"({"created_at":"","create_time":1700000000})")
        << QDateTime::fromSecsSinceEpoch(1700000000);
    QTest::newRow("create_time as digit string") << QByteArray(R"({"create_time":"1700000000"})")
                                                 << QDateTime::fromSecsSinceEpoch(1700000000);
    QTest::newRow("create_time zero") << QByteArray(R"({"create_time":0})") << QDateTime();
    QTest::newRow("create_time text")
        << QByteArray(R"({"create_time":"2024-03-01T08:09:10"})") << QDateTime();
    QTest::newRow("nothing") << QByteArray("{}") << QDateTime();
}

void TestChatRecords::sessionCreatedAt()
{
    QFETCH(QByteArray, json);
    QFETCH(QDateTime, expected);
    const ChatSession session = ChatSession::fromMap(fromJson(json));
    QCOMPARE(session.createdAt.isValid(), expected.isValid());
    if (expected.isValid())
        QCOMPARE(session.createdAt, expected);
}

void TestChatRecords::sessionStatus_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("online");
    QTest::addColumn<QString>("statusText");
    QTest::newRow("online") << QByteArray(R"({"status":"online"})") << true
                            << QStringLiteral("在线");
    QTest::newRow("Online") << QByteArray(R"({"status":"Online"})") << false
                            << QStringLiteral("离线");
    QTest::newRow("ONLINE") << QByteArray(R"({"status":"ONLINE"})") << false
                            << QStringLiteral("离线");
    QTest::newRow("closed") << QByteArray(R"({"status":"closed"})") << false
                            << QStringLiteral("已结束");
    QTest::newRow("offline") << QByteArray(R"({"status":"offline"})") << false
                             << QStringLiteral("离线");
    QTest::newRow("empty") << QByteArray("{}") << false << QStringLiteral("离线");
    // The record never asks the map for an online flag of its own.
    QTest::newRow("online key ignored")
        << QByteArray(R"({"status":"offline","online":true})") << false << QStringLiteral("离线");
}

void TestChatRecords::sessionStatus()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, online);
    QFETCH(QString, statusText);
    const ChatSession session = ChatSession::fromMap(fromJson(json));
    QCOMPARE(session.online, online);
    QCOMPARE(session.statusText(), statusText);
}

void TestChatRecords::displayName_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("expected");
    QTest::newRow("remark wins") << QByteArray(
        R"({"remark":"老客户","visitor_id":"abc","visitor_name":"张三"})")
                                 << QStringLiteral("老客户");
    QTest::newRow("12-char id beats name")
        << QByteArray(R"({"visitor_id":"abcde1234567","visitor_name":"张三"})")
        << QStringLiteral("1234567");
    QTest::newRow("7-char id whole")
        << QByteArray(R"({"visitor_id":"v123456"})") << QStringLiteral("v123456");
    QTest::newRow("8-char id") << QByteArray(R"({"visitor_id":"v1234567"})")
                               << QStringLiteral("1234567");
    QTest::newRow("short id") << QByteArray(R"({"visitor_id":"v1"})") << QStringLiteral("v1");
    QTest::newRow("numeric id") << QByteArray(R"({"visitor_id":123456789012})")
                                << QStringLiteral("6789012");
    QTest::newRow("name") << QByteArray(R"({"visitor_name":"张三"})") << QStringLiteral("张三");
    QTest::newRow("name 访客") << QByteArray(R"({"visitor_name":"访客"})")
                               << QStringLiteral("访客");
    QTest::newRow("nothing") << QByteArray("{}") << QStringLiteral("访客");
    QTest::newRow("empty remark and id")
        << QByteArray(R"({"remark":"","visitor_id":"","visitor_name":"李四"})")
        << QStringLiteral("李四");
    QTest::newRow("markup stays text")
        << QByteArray(R"({"visitor_name":"<b>x</b>"})") << QStringLiteral("<b>x</b>");
}

void TestChatRecords::displayName()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, expected);
    QCOMPARE(ChatSession::fromMap(fromJson(json)).displayName(), expected);
}

void TestChatRecords::sessionLenientConversions()
{
    const ChatSession session = ChatSession::fromMap(fromJson(R"({
        "id": "17", "channel_id": 3, "channel_code": "demo", "member_uid": 9.0,
        "visitor_id": 88, "ip_address": "10.0.0.1", "unread_count": "4",
        "message_count": 12, "remark": null, "visitor_name": ["x"]
    })"));
    QCOMPARE(session.id, 17);
    QCOMPARE(session.channelId, 3);
    QCOMPARE(session.channelCode, QStringLiteral("demo"));
    QCOMPARE(session.memberUid, 9);
    QCOMPARE(session.visitorId, QStringLiteral("88"));
    QCOMPARE(session.ipAddress, QStringLiteral("10.0.0.1"));
    QCOMPARE(session.unreadCount, 4);
    QCOMPARE(session.messageCount, 12);
    QVERIFY(session.remark.isEmpty());
    QVERIFY(session.visitorName.isEmpty());

    const ChatSession garbage
        = ChatSession::fromMap(fromJson(R"({"id":"abc","unread_count":{"a":1}})"));
    QCOMPARE(garbage.id, 0);
    QCOMPARE(garbage.unreadCount, 0);
}

void TestChatRecords::sessionDefaults()
{
    const ChatSession built = ChatSession::fromMap({});
    const ChatSession constructed;
    for (const ChatSession &session : {built, constructed}) {
        QCOMPARE(session.id, 0);
        QVERIFY(session.visitorId.isEmpty());
        QVERIFY(session.lastTime.isEmpty());
        QCOMPARE(session.unreadCount, 0);
        QCOMPARE(session.online, false);
        QVERIFY(!session.createdAt.isValid());
        QCOMPARE(session.displayName(), QStringLiteral("访客"));
    }
}

void TestChatRecords::messageSenderFallbacks_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("senderId");
    QTest::addColumn<QString>("senderName");
    QTest::addColumn<QString>("senderType");
    QTest::newRow("from_* keys") << QByteArray(
        R"({"from_id":5,"from_name":"A","from_type":"visitor"})")
                                 << 5 << QStringLiteral("A") << QStringLiteral("visitor");
    QTest::newRow("sender_* keys")
        << QByteArray(R"({"sender_id":6,"sender_name":"B","sender_type":"agent"})") << 6
        << QStringLiteral("B") << QStringLiteral("agent");
    QTest::newRow("from_id 0 falls back")
        << QByteArray(R"({"from_id":0,"sender_id":9})") << 9 << QString() << QString();
    QTest::newRow("empty from_type falls back")
        << QByteArray(R"({"from_type":"","sender_type":"agent","from_name":"","sender_name":"C"})")
        << 0 << QStringLiteral("C") << QStringLiteral("agent");
    QTest::newRow("from_* win over sender_*")
        << QByteArray(R"({"from_id":1,"sender_id":2,"from_name":"x","sender_name":"y",
                             "from_type":"admin","sender_type":"visitor"})")
        << 1 << QStringLiteral("x") << QStringLiteral("admin");
    QTest::newRow("id as digit string")
        << QByteArray(R"({"from_id":"21"})") << 21 << QString() << QString();
}

void TestChatRecords::messageSenderFallbacks()
{
    QFETCH(QByteArray, json);
    QFETCH(int, senderId);
    QFETCH(QString, senderName);
    QFETCH(QString, senderType);
    const ChatMessage message = ChatMessage::fromMap(fromJson(json));
    QCOMPARE(message.senderId, senderId);
    QCOMPARE(message.senderName, senderName);
    QCOMPARE(message.senderType, senderType);
}

void TestChatRecords::messageTypeAndDeletion_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("msgType");
    QTest::addColumn<bool>("deleted");
    QTest::newRow("missing type") << QByteArray("{}") << QStringLiteral("text") << false;
    QTest::newRow("empty type") << QByteArray(R"({"msg_type":""})") << QStringLiteral("text")
                                << false;
    QTest::newRow("image") << QByteArray(R"({"msg_type":"image"})") << QStringLiteral("image")
                           << false;
    QTest::newRow("deleted 1") << QByteArray(R"({"is_deleted":1})") << QStringLiteral("text")
                               << true;
    QTest::newRow("deleted true") << QByteArray(R"({"is_deleted":true})") << QStringLiteral("text")
                                  << true;
    QTest::newRow("deleted \"1\"")
        << QByteArray(R"({"is_deleted":"1"})") << QStringLiteral("text") << true;
    QTest::newRow("deleted 2") << QByteArray(R"({"is_deleted":2})") << QStringLiteral("text")
                               << false;
    QTest::newRow("deleted false")
        << QByteArray(R"({"is_deleted":false})") << QStringLiteral("text") << false;
    QTest::newRow("deleted 0") << QByteArray(R"({"is_deleted":0})") << QStringLiteral("text")
                               << false;
}

void TestChatRecords::messageTypeAndDeletion()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, msgType);
    QFETCH(bool, deleted);
    const ChatMessage message = ChatMessage::fromMap(fromJson(json));
    QCOMPARE(message.msgType, msgType);
    QCOMPARE(message.isDeleted, deleted);
}

void TestChatRecords::messageTime_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("createTime");
    QTest::addColumn<QDateTime>("createdAt");
    QTest::newRow("number") << QByteArray(R"({"create_time":1700000000})")
                            << QStringLiteral("1700000000")
                            << QDateTime::fromSecsSinceEpoch(1700000000);
    QTest::newRow("digit string") << QByteArray(R"({"create_time":"1700000001"})")
                                  << QStringLiteral("1700000001")
                                  << QDateTime::fromSecsSinceEpoch(1700000001);
    QTest::newRow("iso text kept verbatim")
        << QByteArray(R"({"create_time":"2024-03-01T08:09:10"})")
        << QStringLiteral("2024-03-01T08:09:10") << QDateTime(QDate(2024, 3, 1), QTime(8, 9, 10));
    QTest::newRow("other format kept, no date")
        << QByteArray(R"({"create_time":"01/03/2024 08:09"})") << QStringLiteral("01/03/2024 08:09")
        << QDateTime();
    QTest::newRow("garbage") << QByteArray(R"({"create_time":"soon"})") << QStringLiteral("soon")
                             << QDateTime();
    QTest::newRow("zero") << QByteArray(R"({"create_time":0})") << QStringLiteral("0")
                          << QDateTime();
    QTest::newRow("missing") << QByteArray("{}") << QString() << QDateTime();
}

void TestChatRecords::messageTime()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, createTime);
    QFETCH(QDateTime, createdAt);
    const ChatMessage message = ChatMessage::fromMap(fromJson(json));
    QCOMPARE(message.createTime, createTime);
    QCOMPARE(message.createdAt.isValid(), createdAt.isValid());
    if (createdAt.isValid())
        QCOMPARE(message.createdAt, createdAt);
}

void TestChatRecords::messageDebugLine()
{
    previousFilter = QLoggingCategory::installFilter(enableDefaultDebug);
    QTest::ignoreMessage(QtDebugMsg,
                         "[DEBUG] ChatMessage::fromMap: id=7 from_type='' sender_type='agent' "
                         "final senderType='agent'");
    const ChatMessage message
        = ChatMessage::fromMap(fromJson(R"({"id":7,"sender_type":"agent","content":"hi"})"));
    QLoggingCategory::installFilter(previousFilter);
    QCOMPARE(message.id, 7);
    QCOMPARE(message.content, QStringLiteral("hi"));
}

void TestChatRecords::messageDefaults()
{
    const ChatMessage built = ChatMessage::fromMap(fromJson(R"({"session_id":"x","id":null})"));
    QCOMPARE(built.id, 0);
    QCOMPARE(built.sessionId, 0);
    QVERIFY(built.msgUuid.isEmpty());
    QCOMPARE(built.msgType, QStringLiteral("text"));
    QVERIFY(!built.createdAt.isValid());
    QCOMPARE(built.isDeleted, false);

    const ChatMessage full = ChatMessage::fromMap(
        fromJson(R"({"id":3,"msg_uuid":"u-1","session_id":12,"content":"<img src=x>"})"));
    QCOMPARE(full.id, 3);
    QCOMPARE(full.msgUuid, QStringLiteral("u-1"));
    QCOMPARE(full.sessionId, 12);
    QCOMPARE(full.content, QStringLiteral("<img src=x>"));

    ChatMessage copy = full;
    QCOMPARE(copy.msgUuid, full.msgUuid);
    QCOMPARE(copy.content, full.content);
}

ORVANTIS_TEST_MAIN(TestChatRecords)
#include "tst_chatrecords.moc"
