#pragma once

#include <QString>

// The per-user autostart entry: on Windows the value "QuvelaKefu" of the
// Run key, on other desktops an XDG autostart entry. "Enabled" means the entry
// starts this very executable.
bool isAutoStartEnabled();
void setAutoStartEnabled(bool enabled);

// Where the XDG autostart entry lives (unused on Windows).
QString autoStartEntryPath();
