#pragma once

#include <QString>

// Texts the window and the widgets show in more than one place, made once.
namespace DisplayText {

// The first character as a person reads it, upper case (a surrogate pair
// stays whole); "?" for an empty text, as an avatar shows nobody.
QString firstLetterUpper(const QString &text);

// "N个会话" as the list's header shows it.
QString sessionCountHtml(int count);

// The agent's link state beside the name: "● 在线" or "● 离线".
QString linkStateHtml(bool online);

} // namespace DisplayText
