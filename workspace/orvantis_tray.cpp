#include "workspace/orvantis.h"
#include "workspace/sessionstore.h"

#include "app/singleinstance.h"
#include "net/wssclient.h"
#include "shell/autostart.h"
#include "shell/traybadge.h"
#include "widgets/notifysound.h"

#include <QAction>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QWindow>

#include <algorithm>

namespace {

const QString trayTitle = QStringLiteral("Quvela在线客服");
const QString iconResource = QStringLiteral(":/img/favicon.png");
const QString notifyKey = QStringLiteral("notify/enabled");
const QString geometryKey = QStringLiteral("window/geometry");
constexpr int badgeIconSize = 64;

} // namespace

QPixmap paintTrayBadge(const QPixmap &icon, int total)
{
    if (icon.isNull() || total < 1)
        return icon;

    QPixmap pixmap = icon;
    const QString text = total > 99 ? QStringLiteral("99+") : QString::number(total);

    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);

    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(text.size() <= 2 ? 26 : 20);
    painter.setFont(font);

    const QFontMetrics metrics(font);
    const int width = std::max(metrics.horizontalAdvance(text) + 16, 34);
    // Logical width, so the badge stays in the corner on high-density icons.
    const int pixmapWidth = qRound(pixmap.deviceIndependentSize().width());
    const QRect badge(pixmapWidth - 2 - width, 0, width, 32);

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(244, 63, 94));
    painter.drawRoundedRect(badge, 16, 16);

    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, text);
    painter.end();
    return pixmap;
}

void orvantis::setupTray()
{
    if (std::exchange(tray.setUp, true))
        return;
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        QGuiApplication::setQuitOnLastWindowClosed(true);
        // Still let a second start bring this window up: many Linux desktops
        // have no tray, and a box there would only confuse.
        setupIpcServer();
        return;
    }

    // The sound itself is loaded at sign-in (startAgentSession): nothing
    // rings before then, and its audio backend would only slow the login
    // dialog down.
    tray.notifyEnabled = QSettings().value(notifyKey, true).toBool();

    tray.icon = new QSystemTrayIcon(QIcon(iconResource), this);
    tray.icon->setToolTip(trayTitle);

    tray.menu = new QMenu(this);
    tray.showAction = tray.menu->addAction(QStringLiteral("打开主界面"));
    tray.notifyAction = tray.menu->addAction(QStringLiteral("新消息提醒"));
    tray.notifyAction->setCheckable(true);
    tray.notifyAction->setChecked(tray.notifyEnabled);
    tray.autoStartAction = tray.menu->addAction(QStringLiteral("开机自动启动"));
    tray.autoStartAction->setCheckable(true);
    tray.autoStartAction->setChecked(isAutoStartEnabled());
    tray.menu->addSeparator();
    tray.quitAction = tray.menu->addAction(QStringLiteral("退出程序"));

    connect(tray.autoStartAction, &QAction::toggled, this, [this](bool on) {
        setAutoStartEnabled(on);
        // The mark shows what is really stored, even when the write was refused.
        const QSignalBlocker blocker(tray.autoStartAction);
        tray.autoStartAction->setChecked(isAutoStartEnabled());
    });
    connect(tray.notifyAction, &QAction::toggled, this, [this](bool on) {
        tray.notifyEnabled = on;
        NotifySound::instance()->setEnabled(on && !alerts.quiet);
        QSettings().setValue(notifyKey, on);
    });
    connect(tray.showAction, &QAction::triggered, this, &orvantis::showMainWindow);
    connect(tray.quitAction, &QAction::triggered, this, [this] {
        quitting = true;
        wssClient->disconnectFromServer();
        tray.icon->hide();
        QCoreApplication::quit();
    });
    connect(tray.icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    showMainWindow();
            });

    tray.icon->setContextMenu(tray.menu);
    setupIpcServer();
}

void orvantis::setupIpcServer()
{
    // In the user's private runtime folder: another user can neither take the
    // name first nor reach this instance through it.
    const QString name = SingleInstanceGuard::serverName();
    if (name.isEmpty())
        return;
    tray.ipcServer = new QLocalServer(this);
    tray.ipcServer->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left behind by a killed instance would block listen().
    QLocalServer::removeServer(name);
    if (!tray.ipcServer->listen(name)) {
        qDebug() << "[UI] IPC 服务启动失败:" << tray.ipcServer->errorString();
        return;
    }
    connect(tray.ipcServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = tray.ipcServer->nextPendingConnection())
            handleIpcConnection(socket);
    });
}

void orvantis::handleIpcConnection(QLocalSocket *socket)
{
    auto handle = [this, socket] {
        const QByteArray data = socket->readAll();
        if (data.contains("SHOW") && signIn.active)
            showMainWindow();
        socket->disconnectFromServer();
    };
    connect(socket, &QLocalSocket::readyRead, this, handle);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (socket->bytesAvailable() > 0)
        handle();
}

void orvantis::showMainWindow()
{
    if (!signIn.active)
        return;
    // Set while hidden in the constructor; the native window keeps a copy of
    // its own, which would keep the window manager from giving it the keys.
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    if (QWindow *handle = windowHandle())
        handle->setProperty("_q_showWithoutActivating", false);
    if (isHidden()) {
        // Hidden while minimised, it would come back minimised, out of sight.
        // A frameless window shown again is placed anew: back where it was.
        Qt::WindowStates state = windowState() & ~Qt::WindowMinimized;
        if (tray.hiddenGeometry.isValid()) {
            setWindowState(Qt::WindowNoState);
            setGeometry(tray.hiddenGeometry);
            state = tray.hiddenState;
        }
        setWindowState(state);
        show();
    } else if (windowState() & Qt::WindowMinimized) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
    }
    raise();
    activateWindow();
    clearCurrentUnread();
    updateTrayBadge();
}

void orvantis::hideToTray()
{
    // Where it goes back on the next click of the tray icon.
    tray.hiddenGeometry = normalGeometry();
    tray.hiddenState = windowState() & Qt::WindowMaximized;
    hide();
    if (!tray.hintShown && tray.icon) {
        tray.hintShown = true;
        tray.icon->showMessage(
            trayTitle,
            QStringLiteral("已最小化到托盘，有新消息时会在这里提醒。退出请右键托盘图标。"),
            QSystemTrayIcon::Information, 4000);
    }
}

void orvantis::updateTrayBadge()
{
    if (!tray.icon)
        return;

    const int total = sessionStore->totalUnread();

    tray.icon->setToolTip(total < 1 ? trayTitle
                                    : QStringLiteral("Quvela在线客服 — %1 条未读").arg(total));

    if (total == tray.lastBadgeCount)
        return;
    tray.lastBadgeCount = total;

    QPixmap pixmap = QIcon(iconResource).pixmap(badgeIconSize, badgeIconSize);
    if (pixmap.isNull())
        pixmap = windowIcon().pixmap(badgeIconSize, badgeIconSize);
    if (pixmap.isNull())
        return;
    tray.icon->setIcon(QIcon(paintTrayBadge(pixmap, total)));
}

void orvantis::restoreWindowGeometry()
{
    const QByteArray geometry = QSettings().value(geometryKey).toByteArray();
    if (geometry.isEmpty())
        return;
    restoreGeometry(geometry);

    // A geometry saved on a screen that is gone would put the window out of reach.
    const QRect frame = frameGeometry();
    const auto screens = QGuiApplication::screens();
    const bool visible = std::any_of(screens.cbegin(), screens.cend(), [&frame](QScreen *screen) {
        return screen->availableGeometry().intersects(frame);
    });
    if (visible)
        return;
    if (QScreen *primary = QGuiApplication::primaryScreen())
        move(primary->availableGeometry().center() - rect().center());
}

void orvantis::saveWindowGeometry()
{
    QSettings().setValue(geometryKey, saveGeometry());
}
