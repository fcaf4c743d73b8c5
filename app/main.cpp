#include <QApplication>

#include <memory>

#include "app/applicationstyle.h"
#include "app/singleinstance.h"
#include "shell/userfiles.h"
#include "workspace/orvantis.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Hiding the window to the tray must not end the process.
    QGuiApplication::setQuitOnLastWindowClosed(false);

    SingleInstanceGuard guard;
    if (!acquireSingleInstance(guard))
        return 0;

    QCoreApplication::setApplicationName(QStringLiteral("Quvela客服系统"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    QCoreApplication::setOrganizationName(QStringLiteral("Quvela客服系统"));
    // The settings hold the token, a password and visitors' words in drafts.
    UserFiles::makeSettingsPrivate();

    applyApplicationStyle();
    initResources();

    auto window = std::make_unique<orvantis>();
    const int exitCode = app.exec();
    window.reset(); // saves the geometry and takes the tray icon down before the guard goes
    return exitCode;
}
