#include "shell/userfiles.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>

#ifdef Q_OS_UNIX
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace UserFiles {

bool ensurePrivateDir(const QString &path)
{
    if (path.isEmpty())
        return false;
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    struct stat info
    {
    };
    if (::lstat(native.constData(), &info) != 0) {
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        if (::mkdir(native.constData(), 0700) != 0)
            return false;
        if (::lstat(native.constData(), &info) != 0)
            return false;
    }
    // A link or a folder of somebody else's could be swapped or read under us.
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
        return false;
    if ((info.st_mode & 0777) != 0700 && ::chmod(native.constData(), 0700) != 0)
        return false;
    return true;
#else
    return QDir().mkpath(path);
#endif
}

QString runtimeDir()
{
    QStringList candidates;
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty() && QFileInfo(xdg).isDir())
        candidates << xdg + QStringLiteral("/orvantis");
#ifdef Q_OS_UNIX
    candidates << QDir::tempPath() + QStringLiteral("/orvantis-%1").arg(::getuid());
#else
    candidates << QDir::tempPath() + QStringLiteral("/orvantis");
#endif
    // Another user may have taken the name in the shared folder first.
    candidates << QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
            + QStringLiteral("/orvantis/run");
    for (const QString &dir : std::as_const(candidates)) {
        if (ensurePrivateDir(dir))
            return dir;
        qDebug() << "[App] 运行目录不可用（不是本用户的私有目录）:" << dir;
    }
    return QString();
}

void makeSettingsPrivate()
{
#ifdef Q_OS_UNIX
    ::umask(077);
    // Both stores: the token and the remembered sign-in, and the agent's
    // drafts and window state. Folders and files an older version left open.
    const QStringList files {
        QSettings(QStringLiteral("orvantis"), QStringLiteral("config")).fileName(),
        QSettings().fileName()};
    for (const QString &file : files) {
        ensurePrivateDir(QFileInfo(file).absolutePath());
        const QByteArray native = QFile::encodeName(file);
        struct stat info
        {
        };
        if (::lstat(native.constData(), &info) == 0 && S_ISREG(info.st_mode)
            && info.st_uid == ::getuid() && (info.st_mode & 0777) != 0600)
            ::chmod(native.constData(), 0600);
    }
#endif
}

bool replaceFile(const QString &path, const QByteArray &data)
{
    QTemporaryFile temporary(path + QStringLiteral(".XXXXXX"));
    if (!temporary.open() || temporary.write(data) != data.size() || !temporary.flush())
        return false;
    temporary.close();
#ifdef Q_OS_UNIX
    // rename() swaps the directory entry, whatever it was, for the new file.
    if (::rename(QFile::encodeName(temporary.fileName()).constData(),
                 QFile::encodeName(path).constData())
        != 0)
        return false;
#else
    QFile::remove(path);
    if (!temporary.rename(path))
        return false;
#endif
    temporary.setAutoRemove(false);
    return true;
}

} // namespace UserFiles
