#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include "net/chatrecords.h"

// The agent side's own messages: sender type exactly "agent" or "admin".
bool isFromSelf(const ChatMessage &msg);

// Whether `msg` is already among `cached`. A message with a service identity
// (a uuid, or an id of at least 1) is the same message only when that identity
// matches: two equal short texts in one second are two messages. Without one,
// the same creation time and text make a repeat.
bool isDuplicateMessage(const QList<ChatMessage> &cached, const ChatMessage &msg);

// Puts the messages of `page` that `cached` lacks (and that are not deleted)
// into it in time order, each after every cached message of its time or
// earlier; returns them, oldest first.
QList<ChatMessage> mergeMessages(QList<ChatMessage> &cached, const QList<ChatMessage> &page);

// A visitor message as a toast shows it: "[图片]" for an image, white space
// simplified, at most 60 UTF-16 units and then "…" (a surrogate pair is not split).
QString messagePreview(const ChatMessage &msg);

// The session's "last time" after this message, as the list sorts it: ISO
// text (epoch seconds converted), or `now` when the message carries no time.
QString messageTimeText(const ChatMessage &msg, const QDateTime &now);

// Since when the visitor waits for an answer after `messages` (in time
// order): the time of the first visitor message after the agent side's last
// one; invalid when the newest message is the agent side's, or there is none.
QDateTime visitorWaitingSince(const QList<ChatMessage> &messages, const QDateTime &now);
