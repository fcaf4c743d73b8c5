#pragma once

#include <QPixmap>
#include <QString>

// The tray icon with the unread total painted as a red pill in its top-right
// corner ("99+" above 99). A total below 1 gives the icon unchanged.
QPixmap paintTrayBadge(const QPixmap &icon, int total);

// The per-user autostart entry: on Windows the value "QuvelaKefu" of the
// Run key, on other desktops an XDG autostart entry. "Enabled" means the entry
// starts this very executable.
bool isAutoStartEnabled();
void setAutoStartEnabled(bool enabled);

// Where the XDG autostart entry lives (unused on Windows).
QString autoStartEntryPath();
