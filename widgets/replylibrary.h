#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

// One ready-made answer of the agent's: the title the strip and the lists
// show, an optional shortcut word for "/" search, and the text inserted.
struct Reply
{
    QString title;
    QString shortcut;
    QString text;

    bool operator==(const Reply &other) const
    {
        return title == other.title && shortcut == other.shortcut && text == other.text;
    }
};

// The agent's reply library: one JSON file per account in the user's private
// data folder. Nothing here knows a widget, so it is tested and measured
// without a screen.
namespace ReplyLibrary {

// Bounds of a library file, whether the agent's own or imported: whatever
// exceeds them is refused whole rather than cut.
constexpr qint64 maxFileBytes = 2 * 1024 * 1024;
constexpr int maxReplies = 5000;
constexpr int maxTitleLength = 60;
constexpr int maxShortcutLength = 20;
constexpr int maxTextLength = 2000;

// The five phrases of the strip before there was a library, in their order.
QList<Reply> defaults();

// <data folder>/orvantis/replies-<agentId>.json
QString filePath(int agentId);

// The agent's library; on first use the defaults, then written. A file that
// cannot be read is left for the agent to see and the defaults are used.
QList<Reply> load(int agentId);
// Written in the private folder under a temporary name and renamed.
bool save(int agentId, const QList<Reply> &replies);

QByteArray toJson(const QList<Reply> &replies);
// The replies of a library file, or nothing with `error` saying why (in words
// for the agent). A missing title is made from the text.
std::optional<QList<Reply>> fromJson(const QByteArray &data, QString *error);
// The same for a file, which is not read past the size bound.
std::optional<QList<Reply>> readFile(const QString &path, QString *error);

// What is wrong with one reply (empty when nothing): no text, or too long.
QString problem(const Reply &reply);
// The title, or the start of the text when there is none.
QString displayTitle(const Reply &reply);

} // namespace ReplyLibrary

// Indexes of the replies that match `query` (what follows the "/"), best
// first: exact shortcut, shortcut prefix, title prefix, title or shortcut
// containing it, text containing it; ties in library order, at most `limit`.
// Case is ignored; an empty query lists the library in order.
QList<int> matchReplies(const QList<Reply> &replies, const QString &query, int limit);

// The values of the variables a reply may hold: {访客} the visitor's name
// (left out when there is none), {客服} the agent's, {日期} and {时间} now.
QHash<QString, QString> replyVariables(const QString &visitor, const QString &agent,
                                       const QDateTime &now);
// `text` with each known "{name}" replaced by its value in one pass: a value
// is never read for variables itself; an unknown one stays as written.
QString fillReplyVariables(const QString &text, const QHash<QString, QString> &values);
