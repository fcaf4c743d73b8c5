#include "widgets/replylibrary.h"

#include "shell/userfiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <array>

namespace {

const QString formatName = QStringLiteral("orvantis-replies");
constexpr int titleFromTextLength = 20;

// At most `length` UTF-16 units, a surrogate pair never halved.
QString cut(const QString &text, int length)
{
    if (text.size() <= length)
        return text;
    return text.left(text.at(length - 1).isHighSurrogate() ? length - 1 : length);
}

QString folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/orvantis");
}

} // namespace

namespace ReplyLibrary {

QList<Reply> defaults()
{
    const QStringList phrases {
        QStringLiteral("您好，请问有什么可以帮您？"), QStringLiteral("请稍等，我为您查询"),
        QStringLiteral("感谢您的耐心等待"), QStringLiteral("还有其他问题吗？"),
        QStringLiteral("祝您生活愉快！")};
    QList<Reply> replies;
    for (const QString &phrase : phrases)
        replies.append({phrase, QString(), phrase});
    return replies;
}

QString filePath(int agentId)
{
    return folder() + QStringLiteral("/replies-%1.json").arg(agentId);
}

QList<Reply> load(int agentId)
{
    const QString path = filePath(agentId);
    if (!QFileInfo::exists(path)) {
        const QList<Reply> replies = defaults();
        if (!save(agentId, replies))
            qDebug() << "[UI] 快捷回复库无法写入:" << path;
        return replies;
    }
    QString error;
    if (std::optional<QList<Reply>> replies = readFile(path, &error))
        return *replies;
    // Kept as it is: the agent's own replies may still be saved from it by hand.
    qDebug() << "[UI] 快捷回复库无法读取，使用默认回复:" << path << error;
    return defaults();
}

bool save(int agentId, const QList<Reply> &replies)
{
    if (!UserFiles::ensurePrivateDir(folder()))
        return false;
    return UserFiles::replaceFile(filePath(agentId), toJson(replies));
}

QByteArray toJson(const QList<Reply> &replies)
{
    QJsonArray list;
    for (const Reply &reply : replies) {
        QJsonObject entry {{QStringLiteral("title"), reply.title},
                           {QStringLiteral("text"), reply.text}};
        if (!reply.shortcut.isEmpty())
            entry.insert(QStringLiteral("shortcut"), reply.shortcut);
        list.append(entry);
    }
    return QJsonDocument(QJsonObject {{QStringLiteral("format"), formatName},
                                      {QStringLiteral("version"), 1},
                                      {QStringLiteral("replies"), list}})
        .toJson(QJsonDocument::Indented);
}

std::optional<QList<Reply>> fromJson(const QByteArray &data, QString *error)
{
    const auto refuse = [error](const QString &why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (data.size() > maxFileBytes)
        return refuse(QStringLiteral("文件超过 2 MiB"));
    const QJsonDocument document = QJsonDocument::fromJson(data);
    const QJsonObject root = document.object();
    const QJsonValue format = root.value(QStringLiteral("format"));
    const QJsonValue list = root.value(QStringLiteral("replies"));
    if (!document.isObject() || !list.isArray()
        || (!format.isUndefined() && format.toString() != formatName))
        return refuse(QStringLiteral("不是有效的快捷回复文件"));
    const QJsonArray entries = list.toArray();
    if (entries.size() > maxReplies)
        return refuse(QStringLiteral("回复超过 %1 条").arg(maxReplies));
    QList<Reply> replies;
    replies.reserve(entries.size());
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QJsonObject entry = entries.at(i).toObject();
        const QJsonValue title = entry.value(QStringLiteral("title"));
        const QJsonValue shortcut = entry.value(QStringLiteral("shortcut"));
        const QJsonValue text = entry.value(QStringLiteral("text"));
        const auto optionalText
            = [](const QJsonValue &v) { return v.isUndefined() || v.isString(); };
        if (!entries.at(i).isObject() || !text.isString() || !optionalText(title)
            || !optionalText(shortcut))
            return refuse(QStringLiteral("不是有效的快捷回复文件"));
        Reply reply {title.toString().trimmed(), shortcut.toString().trimmed(), text.toString()};
        reply.title = displayTitle(reply);
        const QString why = problem(reply);
        if (!why.isEmpty())
            return refuse(QStringLiteral("第 %1 条回复%2").arg(i + 1).arg(why));
        replies.append(reply);
    }
    return replies;
}

std::optional<QList<Reply>> readFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("无法读取文件");
        return std::nullopt;
    }
    // One byte past the bound is enough to refuse it.
    return fromJson(file.read(maxFileBytes + 1), error);
}

QString problem(const Reply &reply)
{
    if (reply.text.trimmed().isEmpty())
        return QStringLiteral("没有内容");
    if (reply.title.size() > maxTitleLength)
        return QStringLiteral("标题超过 %1 字").arg(maxTitleLength);
    if (reply.shortcut.size() > maxShortcutLength)
        return QStringLiteral("快捷词超过 %1 字").arg(maxShortcutLength);
    if (reply.text.size() > maxTextLength)
        return QStringLiteral("内容超过 %1 字").arg(maxTextLength);
    return QString();
}

QString displayTitle(const Reply &reply)
{
    if (!reply.title.isEmpty())
        return reply.title;
    return cut(reply.text.simplified(), titleFromTextLength);
}

} // namespace ReplyLibrary

QList<int> matchReplies(const QList<Reply> &replies, const QString &query, int limit)
{
    const QString q = query.trimmed();
    QList<int> found;
    if (q.isEmpty()) {
        for (int i = 0; i < replies.size() && found.size() < limit; ++i)
            found.append(i);
        return found;
    }
    // One list per rank keeps the library order within a rank.
    std::array<QList<int>, 5> ranks;
    constexpr Qt::CaseSensitivity anyCase = Qt::CaseInsensitive;
    for (int i = 0; i < replies.size(); ++i) {
        const Reply &r = replies.at(i);
        if (r.shortcut.compare(q, anyCase) == 0)
            ranks[0].append(i);
        else if (r.shortcut.startsWith(q, anyCase))
            ranks[1].append(i);
        else if (r.title.startsWith(q, anyCase))
            ranks[2].append(i);
        else if (r.title.contains(q, anyCase) || r.shortcut.contains(q, anyCase))
            ranks[3].append(i);
        else if (r.text.contains(q, anyCase))
            ranks[4].append(i);
    }
    for (const QList<int> &rank : ranks) {
        for (int i : rank) {
            if (found.size() >= limit)
                return found;
            found.append(i);
        }
    }
    return found;
}

QHash<QString, QString> replyVariables(const QString &visitor, const QString &agent,
                                       const QDateTime &now)
{
    QHash<QString, QString> values {
        {QStringLiteral("客服"), agent},
        {QStringLiteral("日期"), now.toString(QStringLiteral("yyyy-MM-dd"))},
        {QStringLiteral("时间"), now.toString(QStringLiteral("HH:mm"))}};
    if (!visitor.isEmpty())
        values.insert(QStringLiteral("访客"), visitor);
    return values;
}

QString fillReplyVariables(const QString &text, const QHash<QString, QString> &values)
{
    QString out;
    out.reserve(text.size());
    qsizetype from = 0;
    while (from < text.size()) {
        const qsizetype open = text.indexOf(QLatin1Char('{'), from);
        if (open < 0)
            break;
        const qsizetype close = text.indexOf(QLatin1Char('}'), open + 1);
        if (close < 0)
            break;
        // The name between the braces; a later "{" starts the next candidate.
        const qsizetype nextOpen = text.indexOf(QLatin1Char('{'), open + 1);
        out += QStringView(text).mid(from, open - from);
        if (nextOpen >= 0 && nextOpen < close) {
            out += QStringView(text).mid(open, nextOpen - open);
            from = nextOpen;
            continue;
        }
        const auto value = values.constFind(text.mid(open + 1, close - open - 1));
        out += value != values.constEnd() ? *value : QStringView(text).mid(open, close - open + 1);
        from = close + 1;
    }
    out += QStringView(text).mid(from);
    return out;
}
