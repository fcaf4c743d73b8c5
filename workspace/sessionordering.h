#pragma once

#include <QList>
#include <QString>

#include "net/chatrecords.h"

// Order of the session list: online before offline, then sessions with unread
// messages, then the most recent last message first. Empty times sort last.
bool sessionLessThan(const ChatSession &a, const ChatSession &b);

// The sessions whose display name contains `filter` (case-insensitive, trimmed;
// all of them when empty), sorted by sessionLessThan.
QList<ChatSession> visibleSessions(const QList<ChatSession> &sessions, const QString &filter);

// Indices into `sessions` of the visible sessions, filtered and sorted.
QList<int> sortedVisibleIndexes(const QList<ChatSession> &sessions, const QString &filter);
