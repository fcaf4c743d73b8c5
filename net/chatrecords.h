#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

// One visitor conversation as the service describes it. Built only through
// fromMap so that the service's two spellings of several keys and its two
// time formats are absorbed in one place.
struct ChatSession
{
    int id = 0;
    int channelId = 0;
    QString channelCode;
    int memberUid = 0;
    QString visitorName;
    QString visitorId;
    QString status;
    QString ipAddress;
    QString remark;
    QString lastMessage;
    QString lastTime; // ISO 8601 text (epoch seconds are converted on the way in)
    int unreadCount = 0;
    int messageCount = 0;
    bool online = false;
    QDateTime createdAt;
    // Kept by the client, not sent by the service: since when the visitor's
    // newest messages wait for an answer (invalid: nobody waits).
    QDateTime waitingSince;

    static ChatSession fromMap(const QVariantMap &map);

    // The one name under which a visitor is shown everywhere.
    QString displayName() const;
    QString statusText() const;
};

// One message of a session.
struct ChatMessage
{
    int id = 0;
    QString msgUuid;
    int sessionId = 0;
    int senderId = 0;
    QString senderName;
    QString senderType;
    QString content;
    QString msgType = QStringLiteral("text");
    QString createTime; // exactly as received: compared verbatim by the duplicate test
    QDateTime createdAt;
    bool isDeleted = false;
    // Kept by the client for the agent's own messages written here: their
    // local identity, and whether the service has stored them yet.
    enum class Delivery { Stored, Sending, Failed };
    Delivery delivery = Delivery::Stored;
    QString localId;
    QString failReason; // why a Failed message was not sent

    static ChatMessage fromMap(const QVariantMap &map);
};

// A colleague of the agent's channel, as the agent list describes one.
struct Colleague
{
    int id = 0;
    QString name;
    bool online = false;

    static Colleague fromMap(const QVariantMap &map);
};

Q_DECLARE_METATYPE(ChatSession)
Q_DECLARE_METATYPE(ChatMessage)

// Registers "ChatSession", "QList<ChatSession>" and "QList<ChatMessage>" so
// that the records travel as queued signal arguments. Safe to call repeatedly.
void registerChatRecordTypes();
