#pragma once

#include <QPixmap>

// The tray icon with the unread total painted as a red pill in its top-right
// corner ("99+" above 99). A total below 1 gives the icon unchanged.
QPixmap paintTrayBadge(const QPixmap &icon, int total);
