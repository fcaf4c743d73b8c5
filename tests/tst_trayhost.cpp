// The tray and the window on a real desktop without a compositor: an X server
// with openbox and a tray host (see with-desktop.sh). Offscreen there is no
// tray at all.

#include "workspace_fixture.h"

#include "widgets/toast.h"

using namespace Fixture;

class TestTrayHost : public QObject
{
    Q_OBJECT

    static QWidget *balloon()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->inherits("QBalloonTip"))
                return w;
        return nullptr;
    }
    // The badge's pill colour at its left end, clear of the digits.
    static bool badged(QSystemTrayIcon *tray)
    {
        return tray->icon().pixmap(64, 64).toImage().pixelColor(31, 16) == QColor(244, 63, 94);
    }
    // Runs xdotool with %x and %y replaced by the point's coordinates.
    static void xdo(const QString &command, QPoint p = {})
    {
        const QString x = QString::number(p.x()), y = QString::number(p.y());
        QProcess::execute("xdotool", QString(command).replace("%x", x).replace("%y", y).split(' '));
    }
    // A click on the icon as the tray host shows it.
    static void clickIcon(QSystemTrayIcon *tray, const char *button)
    {
        xdo("mousemove %x %y click " + QString(button), tray->geometry().center());
    }

private slots:
    void initTestCase()
    {
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
    }

    // The icon shows at sign-in; its badge and tooltip follow the unread
    // total; toasts, dialogs and the top bar behave; closing hides to the tray
    // with one balloon per run; a click on the icon brings the window back
    // where it was; the menu switches notifications.
    void trayFollowsTheAgent()
    {
        Workspace ws;
        const int a = ws.add("alice"), b = ws.add("bob");
        QVERIFY(ws.start());
        QSystemTrayIcon *tray = Access::tray(ws.w());
        // Resumed from a stored token, the window takes the keys at once.
        QTRY_VERIFY(ws.w()->isActiveWindow());
        xdo("key ctrl+f");
        QTRY_VERIFY(ws.line("searchEdit")->hasFocus());
        QTRY_VERIFY(tray->isVisible() && tray->geometry().isValid());
        QCOMPARE(tray->toolTip(), "Quvela在线客服");
        QVERIFY(!badged(tray));

        ws.server.visitorSays(a, "one");
        ws.server.visitorSays(b, "two");
        ws.server.visitorSays(b, "three");
        QTRY_COMPARE(tray->toolTip(), "Quvela在线客服 — 3 条未读");
        QVERIFY(badged(tray));
        const qint64 painted = tray->icon().cacheKey();
        Access::rebuild(ws.w()); // the same total: the icon is not painted again
        QCOMPARE(tray->icon().cacheKey(), painted);

        // A session handed over by a colleague is announced by a toast.
        dismissAllToasts();
        ws.server.pushFrame(
            {{"type", "session_transferred"}, {"session_id", a}, {"action", "assigned"}});
        QTRY_COMPARE(activeToasts().size(), 1);
        QCOMPARE(activeToasts().first()->findChild<QLabel *>()->text(), "会话转入");
        // Without a compositor no black around its card, and clear of the icon.
        QWidget green(nullptr, Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
        green.setStyleSheet("background: #1ea03c");
        green.setGeometry(800, 0, 800, 960); // short of the tray
        green.show();
        const auto corner = [toast = QPointer<QWidget>(activeToasts().first())] {
            const QPoint p = toast ? toast->geometry().bottomRight() : QPoint();
            return QGuiApplication::primaryScreen()->grabWindow(0, p.x(), p.y(), 1, 1).toImage();
        };
        QTRY_COMPARE(corner().pixelColor(0, 0), QColor(30, 160, 60));
        QVERIFY(!activeToasts().first()->geometry().intersects(tray->geometry()));

        // The transfer picker and the records open centred on the window.
        QVERIFY(ws.open(a));
        for (const char *button : {"transferBtn", "historyBtn"}) {
            ws.w()->findChild<QPushButton *>(button)->click();
            QTRY_VERIFY(QApplication::activeModalWidget());
            QTRY_COMPARE(QApplication::activeModalWidget()->geometry().center(),
                         ws.w()->geometry().center());
            delete QApplication::activeModalWidget();
        }

        // Under openbox a double-click on the top bar maximises and restores,
        // and a drag moves the window with the pointer.
        const QRect normal = ws.w()->geometry();
        QWidget *bar = ws.w()->findChild<QWidget *>("topBar");
        for (const bool maximised : {true, false}) {
            xdo("mousemove %x %y click --repeat 2 1", bar->mapToGlobal(QPoint(400, 20)));
            QTRY_VERIFY(ws.w()->isMaximized() == maximised
                        && (ws.w()->geometry() == normal) != maximised);
        }
        xdo("mousemove %x %y mousedown 1 mousemove_relative 100 70 mouseup 1",
            bar->mapToGlobal(QPoint(400, 20)));
        QTRY_COMPARE(ws.w()->geometry(), normal.translated(100, 70));

        for (int close = 0; close < 10; ++close) {
            if (close % 2) { // minimised, and restored by the desktop
                ws.w()->showMinimized();
                xdo("windowactivate --sync " + QString::number(ws.w()->winId()));
                QTRY_VERIFY(ws.w()->windowHandle()->isExposed());
            }
            QVERIFY(!ws.w()->close()); // refused: the window only hides
            // Clicked later, as by an agent: the desktop has taken the focus
            // (Qt overlooks it coming back to the window it last had).
            QTRY_VERIFY(!ws.w()->isVisible() && !QGuiApplication::focusWindow());
            QTRY_COMPARE(balloon() != nullptr, close == 0);
            if (QWidget *tip = balloon())
                tip->close();
            clickIcon(tray, "1");
            QTRY_VERIFY(ws.w()->isVisible() && ws.w()->isActiveWindow() && !ws.w()->isMinimized());
            QCOMPARE(ws.w()->geometry(), normal.translated(100, 70)); // where it was closed
        }

        clickIcon(tray, "3");
        QTRY_VERIFY(Workspace::openMenu());
        QMenu *menu = Workspace::openMenu();
        QCOMPARE(menu->actions().at(1)->text(), "新消息提醒");
        menu->actions().at(1)->trigger();
        menu->close();
        QCOMPARE(QSettings().value("notify/enabled").toBool(), false);
        QVERIFY(!NotifySound::instance()->isEnabled());
    }

    // An expired sign-in leaves no icon, balloon or toast for nobody.
    void expiryTakesTheTrayDown()
    {
        Workspace ws;
        QVERIFY(ws.start());
        QSystemTrayIcon *tray = Access::tray(ws.w());
        QTRY_VERIFY(tray->isVisible());
        showToast(ws.w(), "访客", "旧访客的话");
        ws.server.revokeTokens();
        ws.w()->api()->sendGetRequest("/agent/channel"); // meets a 401
        QTRY_VERIFY(!ws.w()->isLoggedIn());
        QVERIFY(!tray->isVisible() && activeToasts().isEmpty() && !balloon());
    }
};

ORVANTIS_TEST_MAIN(TestTrayHost)
#include "tst_trayhost.moc"
