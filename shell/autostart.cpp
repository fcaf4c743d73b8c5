#include "shell/autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {

QString executableNativePath()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

#ifdef Q_OS_WIN
const QString runKey
    = QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString runValueName = QStringLiteral("QuvelaKefu");
#endif

} // namespace

QString autoStartEntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/QuvelaKefu.desktop");
}

bool isAutoStartEnabled()
{
#ifdef Q_OS_WIN
    QSettings run(runKey, QSettings::NativeFormat);
    const QString value = run.value(runValueName).toString();
    return !value.isEmpty() && value.contains(executableNativePath(), Qt::CaseInsensitive);
#else
    QFile entry(autoStartEntryPath());
    if (!entry.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const QString contents = QString::fromUtf8(entry.readAll());
    for (const QString &line : contents.split(QLatin1Char('\n'))) {
        // The whole command, not a part of it: "/usr/bin/orvantis" must not
        // match "/usr/bin/orvantis-old". Paths here are case-sensitive.
        if (line.startsWith(QLatin1String("Exec=")))
            return line.mid(5).trimmed().remove(QLatin1Char('"')) == executableNativePath();
    }
    return false;
#endif
}

void setAutoStartEnabled(bool enabled)
{
    const QString quotedPath = QLatin1Char('"') + executableNativePath() + QLatin1Char('"');
#ifdef Q_OS_WIN
    QSettings run(runKey, QSettings::NativeFormat);
    if (enabled)
        run.setValue(runValueName, quotedPath);
    else
        run.remove(runValueName);
    run.sync();
#else
    // Windows keeps this in the registry; other desktops follow the XDG
    // autostart convention. Failures are not reported: the caller re-reads.
    const QString path = autoStartEntryPath();
    if (!enabled) {
        QFile::remove(path);
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile entry(path);
    if (!entry.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return;
    entry.write("[Desktop Entry]\n"
                "Type=Application\n"
                "Name=Quvela客服系统\n"
                "Exec="
                + quotedPath.toUtf8()
                + "\n"
                  "X-GNOME-Autostart-enabled=true\n");
#endif
}
