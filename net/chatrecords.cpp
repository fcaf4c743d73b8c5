#include "net/chatrecords.h"

#include <QDebug>

namespace {

QString text(const QVariantMap &map, const QString &key)
{
    return map.value(key).toString();
}

int number(const QVariantMap &map, const QString &key)
{
    return map.value(key).toInt();
}

// A message is kept up to this many characters: it is cached, laid out and
// searched, and a visitor decides its length.
constexpr qsizetype kMaxContentLength = 20000;

QString cappedContent(const QString &content)
{
    if (content.size() <= kMaxContentLength)
        return content;
    qsizetype cut = kMaxContentLength;
    if (content.at(cut - 1).isHighSurrogate())
        --cut;
    return content.left(cut) + QStringLiteral("…（消息过长，已截断）");
}

// The service sends "last_time" either as epoch seconds or as ISO text; the
// rest of the program only ever sees ISO text.
QString normalisedLastTime(const QString &received)
{
    bool isWhole = false;
    const qint64 seconds = received.toLongLong(&isWhole, 10);
    if (!isWhole || seconds < 1)
        return received;
    // A second count beyond what an ISO text can say (after the year 9999, or
    // beyond QDateTime altogether) formats as ""; the received value says
    // more than nothing.
    const QString formatted = QDateTime::fromSecsSinceEpoch(seconds).toString(Qt::ISODate);
    return formatted.isEmpty() ? received : formatted;
}

} // namespace

Colleague Colleague::fromMap(const QVariantMap &map)
{
    Colleague colleague;
    colleague.id = number(map, QStringLiteral("id"));
    colleague.name = text(map, QStringLiteral("name"));
    colleague.online = number(map, QStringLiteral("online")) == 1;
    return colleague;
}

ChatSession ChatSession::fromMap(const QVariantMap &map)
{
    ChatSession session;
    session.id = number(map, QStringLiteral("id"));
    session.channelId = number(map, QStringLiteral("channel_id"));
    session.channelCode = text(map, QStringLiteral("channel_code"));
    session.memberUid = number(map, QStringLiteral("member_uid"));
    session.visitorName = text(map, QStringLiteral("visitor_name"));
    session.visitorId = text(map, QStringLiteral("visitor_id"));
    session.status = text(map, QStringLiteral("status"));
    session.ipAddress = text(map, QStringLiteral("ip_address"));
    session.remark = text(map, QStringLiteral("remark"));
    session.lastMessage = text(map, QStringLiteral("last_msg"));
    if (session.lastMessage.isEmpty())
        session.lastMessage = text(map, QStringLiteral("last_message"));
    session.lastTime = normalisedLastTime(text(map, QStringLiteral("last_time")));
    session.unreadCount = number(map, QStringLiteral("unread_count"));
    session.messageCount = number(map, QStringLiteral("message_count"));
    session.online = session.status == QLatin1String("online");

    const QString createdAtText = text(map, QStringLiteral("created_at"));
    if (!createdAtText.isEmpty()) {
        // Deliberately no fallback to "create_time": a present but broken
        // "created_at" means the service's record is broken.
        session.createdAt = QDateTime::fromString(createdAtText, Qt::ISODate);
    } else {
        const qint64 seconds = map.value(QStringLiteral("create_time")).toLongLong();
        if (seconds >= 1)
            session.createdAt = QDateTime::fromSecsSinceEpoch(seconds);
    }
    return session;
}

QString ChatSession::displayName() const
{
    if (!remark.isEmpty())
        return remark;
    if (!visitorId.isEmpty())
        return visitorId.size() <= 7 ? visitorId : visitorId.right(7);
    static const QString anonymous = QStringLiteral("访客");
    if (!visitorName.isEmpty() && visitorName != anonymous)
        return visitorName;
    return anonymous;
}

QString ChatSession::statusText() const
{
    if (status == QLatin1String("online"))
        return QStringLiteral("在线");
    if (status == QLatin1String("closed"))
        return QStringLiteral("已结束");
    return QStringLiteral("离线");
}

ChatMessage ChatMessage::fromMap(const QVariantMap &map)
{
    ChatMessage message;
    message.id = number(map, QStringLiteral("id"));
    message.msgUuid = text(map, QStringLiteral("msg_uuid"));
    message.sessionId = number(map, QStringLiteral("session_id"));

    const QString rawFromType = text(map, QStringLiteral("from_type"));
    const QString rawSenderType = text(map, QStringLiteral("sender_type"));
    message.senderType = rawFromType.isEmpty() ? rawSenderType : rawFromType;

    message.senderId = number(map, QStringLiteral("from_id"));
    if (message.senderId == 0)
        message.senderId = number(map, QStringLiteral("sender_id"));
    message.senderName = text(map, QStringLiteral("from_name"));
    if (message.senderName.isEmpty())
        message.senderName = text(map, QStringLiteral("sender_name"));

    message.content = cappedContent(text(map, QStringLiteral("content")));
    message.msgType = text(map, QStringLiteral("msg_type"));
    if (message.msgType.isEmpty())
        message.msgType = QStringLiteral("text");
    message.isDeleted = number(map, QStringLiteral("is_deleted")) == 1;

    qDebug().noquote().nospace() << "[DEBUG] ChatMessage::fromMap: id=" << message.id
                                 << " from_type='" << rawFromType << "' sender_type='"
                                 << rawSenderType << "' final senderType='" << message.senderType
                                 << "'";

    // The realtime duplicate test compares createTime verbatim, so neither
    // branch reformats what the service sent.
    const QVariant createTime = map.value(QStringLiteral("create_time"));
    const qint64 seconds = createTime.toLongLong();
    if (seconds >= 1) {
        message.createdAt = QDateTime::fromSecsSinceEpoch(seconds);
        message.createTime = QString::number(seconds);
    } else {
        message.createTime = createTime.toString();
        message.createdAt = QDateTime::fromString(message.createTime, Qt::ISODate);
    }
    return message;
}

void registerChatRecordTypes()
{
    qRegisterMetaType<ChatSession>("ChatSession");
    qRegisterMetaType<ChatMessage>("ChatMessage");
    qRegisterMetaType<QList<ChatSession>>("QList<ChatSession>");
    qRegisterMetaType<QList<ChatMessage>>("QList<ChatMessage>");
}
