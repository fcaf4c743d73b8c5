// Alerts an agent cannot miss: desktop notifications (or toasts), how long
// each visitor has waited, reminders until a waiting visitor is answered or
// opened, and quiet mode.

#include "workspace/orvantis.h"
#include "workspace/sessionstore.h"

#include "ui_orvantis.h"
#include "widgets/desktopnotifier.h"
#include "widgets/notifysound.h"
#include "widgets/sessionlistitem.h"
#include "widgets/toast.h"
#include "workspace/sessionlistview.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QSettings>
#include <QSignalBlocker>
#include <QTimer>

namespace {

const QString quietKey = QStringLiteral("notify/quiet");
const QString desktopKey = QStringLiteral("notify/desktop");
const QString remindKey = QStringLiteral("notify/remind_seconds");
const QString warnKey = QStringLiteral("notify/wait_warn_seconds");
const QString alarmKey = QStringLiteral("notify/wait_alarm_seconds");

} // namespace

void orvantis::setupAlerts()
{
    QSettings settings;
    alerts.quiet = settings.value(quietKey, false).toBool();
    alerts.remindSecs = qMax(0, settings.value(remindKey, 60).toInt());
    SessionListItem::setWaitingThresholds(qMax(1, settings.value(warnKey, 60).toInt()),
                                          qMax(1, settings.value(alarmKey, 180).toInt()));

    alerts.notifier = new DesktopNotifier(this);
    connect(alerts.notifier, &DesktopNotifier::activated, this, &orvantis::onToastClicked);

    // Waiting times move on every second, for the rows on screen only.
    alerts.ticker = new QTimer(this);
    alerts.ticker->setInterval(1000);
    connect(alerts.ticker, &QTimer::timeout, this, &orvantis::onAlertTick);
    alerts.ticker->start();

    connect(ui->quietBtn, &QPushButton::toggled, this, &orvantis::setQuietMode);

    if (tray.menu) {
        // The switches go above the separator that sets "退出程序" apart.
        QAction *before = nullptr;
        for (QAction *action : tray.menu->actions()) {
            if (action->isSeparator()) {
                before = action;
                break;
            }
        }
        tray.quietAction = new QAction(QStringLiteral("免打扰"), tray.menu);
        tray.quietAction->setCheckable(true);
        connect(tray.quietAction, &QAction::toggled, this, &orvantis::setQuietMode);
        tray.desktopNotifyAction = new QAction(QStringLiteral("使用系统通知"), tray.menu);
        tray.desktopNotifyAction->setCheckable(true);
        tray.desktopNotifyAction->setChecked(settings.value(desktopKey, true).toBool());
        tray.desktopNotifyAction->setToolTip(QStringLiteral("关闭时在屏幕右下角弹出提示"));
        connect(tray.desktopNotifyAction, &QAction::toggled, this,
                [](bool on) { QSettings().setValue(desktopKey, on); });
        auto *remindMenu = new QMenu(QStringLiteral("重复提醒"), tray.menu);
        auto *group = new QActionGroup(remindMenu);
        for (const auto &[secs, text] : {std::pair {0, "关闭"},
                                         {30, "每 30 秒"},
                                         {60, "每 1 分钟"},
                                         {120, "每 2 分钟"},
                                         {300, "每 5 分钟"}}) {
            QAction *choice = remindMenu->addAction(QString::fromUtf8(text));
            choice->setCheckable(true);
            choice->setChecked(secs == alerts.remindSecs);
            group->addAction(choice);
            connect(choice, &QAction::triggered, this, [this, secs = secs] {
                alerts.remindSecs = secs;
                QSettings().setValue(remindKey, secs);
            });
        }
        tray.menu->insertActions(before, {tray.quietAction, tray.desktopNotifyAction});
        tray.menu->insertMenu(before, remindMenu);
    }
    showQuietMode();
}

void orvantis::setQuietMode(bool quiet)
{
    if (quiet == alerts.quiet)
        return;
    alerts.quiet = quiet;
    QSettings().setValue(quietKey, quiet);
    showQuietMode();
    ui->statusLabel->setText(quiet ? QStringLiteral("已开启免打扰：不响铃、不弹通知")
                                   : QStringLiteral("已关闭免打扰"));
}

void orvantis::showQuietMode()
{
    if (tray.quietAction) {
        const QSignalBlocker blocker(tray.quietAction);
        tray.quietAction->setChecked(alerts.quiet);
    }
    {
        const QSignalBlocker blocker(ui->quietBtn);
        ui->quietBtn->setChecked(alerts.quiet);
    }
    ui->quietBtn->setText(alerts.quiet ? QStringLiteral("免打扰中") : QStringLiteral("免打扰"));
    NotifySound::instance()->setEnabled(tray.notifyEnabled && !alerts.quiet);
}

void orvantis::notifyMessage(const QString &title, const QString &body, int sessionId)
{
    // Quiet: the badge and the waiting times still count, nothing pops up.
    if (!tray.notifyEnabled || alerts.quiet)
        return;
    const bool desktop = alerts.notifier && alerts.notifier->isAvailable()
        && (!tray.desktopNotifyAction || tray.desktopNotifyAction->isChecked());
    if (desktop && !isInForeground() && sessionId > 0) {
        const ChatSession *session = findSession(sessionId);
        const int unread = session ? session->unreadCount : 0;
        alerts.notifier->notify(
            sessionId,
            unread > 1 ? QStringLiteral("%1（%2 条未读）").arg(title).arg(unread) : title, body);
        return;
    }
    if (!tray.icon)
        return;
    showToast(this, title, body, [this, sessionId] { onToastClicked(sessionId); });
    updateTrayBadge();
}

void orvantis::noteVisitorWaiting(int sessionId)
{
    if (!alerts.reminderDue.contains(sessionId))
        alerts.reminderDue.insert(sessionId,
                                  QDateTime::currentDateTime().addSecs(qMax(alerts.remindSecs, 1)));
}

void orvantis::stopReminders(int sessionId)
{
    alerts.reminderDue.remove(sessionId);
    if (alerts.notifier)
        alerts.notifier->withdraw(sessionId);
}

void orvantis::onAlertTick()
{
    if (!signIn.active)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    if (isVisible())
        sessionListView->showWaitingTimes(now);
    if (alerts.remindSecs <= 0)
        return;
    QList<int> due;
    for (auto it = alerts.reminderDue.begin(); it != alerts.reminderDue.end();) {
        const ChatSession *session = findSession(it.key());
        if (!session || !session->online || !session->waitingSince.isValid()) {
            it = alerts.reminderDue.erase(it);
            continue;
        }
        if (it.value() <= now) {
            it.value() = now.addSecs(alerts.remindSecs);
            due.append(it.key());
        }
        ++it;
    }
    // The chime and the notification again, until answered or opened.
    for (int id : std::as_const(due)) {
        const ChatSession session = *findSession(id);
        NotifySound::instance()->play();
        notifyMessage(QStringLiteral("%1 仍在等待回复").arg(session.displayName()),
                      QStringLiteral("已等待 %1")
                          .arg(SessionListItem::waitedText(session.waitingSince.secsTo(now))),
                      id);
    }
}
