// The tray on a real desktop: an X server with a window manager and a tray
// host (see with-desktop.sh). Offscreen there is no tray at all.

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
    // A click on the icon as the tray host shows it.
    static void clickIcon(QSystemTrayIcon *tray, const char *button)
    {
        const QPoint at = tray->geometry().center();
        QProcess::execute(
            "xdotool",
            {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", button});
    }

private slots:
    void initTestCase()
    {
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
    }

    // The icon shows at sign-in; its badge and tooltip follow the unread
    // total; closing hides to the tray with one balloon per run; a click on
    // the icon brings the window back; the menu switches notifications.
    void trayFollowsTheAgent()
    {
        Workspace ws;
        const int a = ws.add("alice"), b = ws.add("bob");
        QVERIFY(ws.start());
        QSystemTrayIcon *tray = Access::tray(ws.w());
        ws.w()->show();
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

        for (int close = 0; close < 2; ++close) {
            QVERIFY(!ws.w()->close()); // refused: the window only hides
            QTRY_VERIFY(!ws.w()->isVisible());
            QTRY_COMPARE(balloon() != nullptr, close == 0);
            if (QWidget *tip = balloon())
                tip->close();
            clickIcon(tray, "1");
            QTRY_VERIFY(ws.w()->isVisible() && ws.w()->isActiveWindow());
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
