#pragma once

#include <QByteArray>
#include <QString>

// Files of the client belong to the user who runs it: other local users can
// neither read them nor plant names or links the client would then use.
namespace UserFiles {

// A folder of this user's alone (owned by the user, mode 0700, not a link):
// $XDG_RUNTIME_DIR/orvantis where that is set, else orvantis-<uid> in the
// temporary folder, else one in the user's cache. Empty when none can be had.
QString runtimeDir();

// The folder `path` made or checked as private: created 0700 where missing;
// an existing one must be a real folder owned by the user, and is brought to
// 0700. False when it cannot be trusted.
bool ensurePrivateDir(const QString &path);

// From now on the process creates files 0600 and folders 0700, and the
// settings folders and files written before are brought to that.
void makeSettingsPrivate();

// Writes `data` under a temporary name beside `path` and renames it over
// `path`: a link found there is replaced, never followed.
bool replaceFile(const QString &path, const QByteArray &data);

} // namespace UserFiles
