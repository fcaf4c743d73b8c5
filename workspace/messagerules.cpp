#include "workspace/messagerules.h"

bool isFromSelf(const ChatMessage &msg)
{
    return msg.senderType == QLatin1String("agent") || msg.senderType == QLatin1String("admin");
}

bool isDuplicateMessage(const QList<ChatMessage> &cached, const ChatMessage &msg)
{
    for (const ChatMessage &known : cached) {
        // What the agent wrote here and the service has not stored yet is
        // no message of the service's.
        if (!known.localId.isEmpty() && known.msgUuid.isEmpty())
            continue;
        if (!msg.msgUuid.isEmpty()) {
            if (known.msgUuid == msg.msgUuid)
                return true;
        } else if (msg.id >= 1) {
            if (known.id == msg.id)
                return true;
        } else if (known.createTime == msg.createTime && known.content == msg.content) {
            return true;
        }
    }
    return false;
}

QList<ChatMessage> mergeMessages(QList<ChatMessage> &cached, const QList<ChatMessage> &page)
{
    QList<ChatMessage> added;
    for (const ChatMessage &msg : page) {
        if (msg.isDeleted || isDuplicateMessage(cached, msg))
            continue;
        qsizetype at = cached.size();
        if (msg.createdAt.isValid()) {
            while (at > 0 && cached.at(at - 1).createdAt.isValid()
                   && cached.at(at - 1).createdAt > msg.createdAt)
                --at;
        }
        cached.insert(at, msg);
        added.append(msg);
    }
    return added;
}

QString messagePreview(const ChatMessage &msg)
{
    constexpr int maxLength = 60;
    if (msg.msgType == QLatin1String("image"))
        return QStringLiteral("[图片]");
    QString text = msg.content.simplified();
    if (text.size() <= maxLength)
        return text;
    const int cut = text.at(maxLength - 1).isHighSurrogate() ? maxLength - 1 : maxLength;
    return text.left(cut) + QChar(0x2026);
}

QString messageTimeText(const ChatMessage &msg, const QDateTime &now)
{
    // Epoch seconds would sort before every ISO text of the list.
    if (msg.createdAt.isValid()) {
        QString iso = msg.createdAt.toString(Qt::ISODate);
        if (!iso.isEmpty())
            return iso;
    }
    return msg.createTime.isEmpty() ? now.toString(Qt::ISODate) : msg.createTime;
}

QDateTime visitorWaitingSince(const QList<ChatMessage> &messages, const QDateTime &now)
{
    QDateTime since;
    for (auto it = messages.crbegin(); it != messages.crend() && !isFromSelf(*it); ++it) {
        if (!it->isDeleted)
            since = it->createdAt.isValid() && it->createdAt <= now ? it->createdAt : now;
    }
    return since;
}
