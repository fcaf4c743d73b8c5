#include "sessionordering.h"

#include <algorithm>
#include <vector>

namespace {

// Groups in display order: online with unread, online, offline with unread, offline.
int groupOf(const ChatSession &s)
{
    return (s.online ? 0 : 2) + (s.unreadCount > 0 ? 0 : 1);
}

bool matchesFilter(const ChatSession &s, const QString &trimmedFilter)
{
    return trimmedFilter.isEmpty() || s.displayName().contains(trimmedFilter, Qt::CaseInsensitive);
}

// The comparison key is computed once per session so that sorting thousands of
// sessions does not recompute the group or compare whole texts in every step.
struct SortKey
{
    int group;
    qint64 timeNumber; // digits of a canonical time, or -1
    const QString *lastTime;
    int index;
};

// For texts of the exact form "YYYY-MM-DDTHH:MM:SS", text order equals the
// order of the fourteen digits read as one number, so those compare as
// integers; anything else falls back to comparing the texts.
qint64 canonicalTimeNumber(const QString &text)
{
    static constexpr char pattern[] = "dddd-dd-ddTdd:dd:dd";
    if (text.size() != qsizetype(sizeof(pattern) - 1))
        return -1;
    qint64 number = 0;
    const QChar *chars = text.constData();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = chars[i].unicode();
        if (pattern[i] == 'd') {
            if (c < u'0' || c > u'9')
                return -1;
            number = number * 10 + (c - u'0');
        } else if (c != char16_t(pattern[i])) {
            return -1;
        }
    }
    return number;
}

bool keyLessThan(const SortKey &a, const SortKey &b)
{
    if (a.group != b.group)
        return a.group < b.group;
    if (a.timeNumber >= 0 && b.timeNumber >= 0)
        return a.timeNumber > b.timeNumber;
    return QString::compare(*a.lastTime, *b.lastTime, Qt::CaseSensitive) > 0;
}

} // namespace

bool sessionLessThan(const ChatSession &a, const ChatSession &b)
{
    const int ga = groupOf(a);
    const int gb = groupOf(b);
    if (ga != gb)
        return ga < gb;
    // ISO 8601 texts compare chronologically; newer first, empty last.
    return QString::compare(a.lastTime, b.lastTime, Qt::CaseSensitive) > 0;
}

QList<int> sortedVisibleIndexes(const QList<ChatSession> &sessions, const QString &filter)
{
    const QString needle = filter.trimmed();
    std::vector<SortKey> keys;
    keys.reserve(size_t(sessions.size()));
    for (int i = 0; i < sessions.size(); ++i) {
        const ChatSession &s = sessions.at(i);
        if (matchesFilter(s, needle))
            keys.push_back({groupOf(s), canonicalTimeNumber(s.lastTime), &s.lastTime, i});
    }
    // Stable, so that sessions that compare equal keep their arrival order and
    // rows do not swap places between two rebuilds.
    std::stable_sort(keys.begin(), keys.end(), keyLessThan);
    QList<int> result;
    result.reserve(qsizetype(keys.size()));
    for (const SortKey &k : keys)
        result.append(k.index);
    return result;
}

QList<ChatSession> visibleSessions(const QList<ChatSession> &sessions, const QString &filter)
{
    QList<ChatSession> result;
    const QList<int> order = sortedVisibleIndexes(sessions, filter);
    result.reserve(order.size());
    for (int index : order)
        result.append(sessions.at(index));
    return result;
}
