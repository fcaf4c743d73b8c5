// The main window, its dialogs and the toasts on a real desktop without a
// compositor: an X server, openbox and a tray host at the bottom right (see
// with-desktop.sh). What is checked is what the X server shows.

#include "workspace_fixture.h"

#include "shell/glasswindow.h"
#include "widgets/toast.h"

using namespace Fixture;

namespace {

void xdo(const QStringList &args)
{
    QProcess::execute("xdotool", args);
}

QStringList at(QPoint p)
{
    return {"mousemove", QString::number(p.x()), QString::number(p.y())};
}

// One pixel of the screen as the X server has it.
QColor screenPixel(QPoint p)
{
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, p.x(), p.y(), 1, 1)
        .toImage()
        .pixelColor(0, 0);
}

// The hint shown at the first close, over the tray icon.
QWidget *balloon()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->inherits("QBalloonTip"))
            return w;
    return nullptr;
}

} // namespace

class DesktopWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { dismissAllToasts(); }

    void initTestCase()
    {
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
        QVERIFY(!desktopComposites());
    }

    // One click on the tray icon shows the window where it was closed, in
    // front and with the keyboard, whatever happened to it before the close.
    void trayShowsWhereClosed_data()
    {
        QTest::addColumn<QString>("before");
        QTest::newRow("nothing") << "";
        QTest::newRow("minimised") << "minimise";
        QTest::newRow("minimised, restored by the desktop") << "restore";
        QTest::newRow("maximised") << "maximise";
    }
    void trayShowsWhereClosed()
    {
        QFETCH(QString, before);
        Workspace ws;
        QVERIFY(ws.start());
        orvantis *w = ws.w();
        QSystemTrayIcon *tray = Access::tray(w);
        QTRY_VERIFY(tray->isVisible() && tray->geometry().isValid() && w->isActiveWindow());
        w->move(230, 170);
        QTRY_COMPARE(w->pos(), QPoint(230, 170));
        if (before == "maximise") {
            w->showMaximized();
            QTRY_VERIFY(w->isMaximized() && w->pos() != QPoint(230, 170));
        }
        const QRect closedAt = w->geometry();
        for (int cycle = 0; cycle < 10; ++cycle) {
            if (before == "minimise" || before == "restore") {
                w->showMinimized();
                QTRY_VERIFY(!w->windowHandle()->isExposed());
            }
            if (before == "restore") {
                xdo({"windowactivate", QString::number(w->winId())});
                QTRY_VERIFY(w->windowHandle()->isExposed());
            }
            QVERIFY(!w->close());
            // As for an agent, who clicks later: the desktop has taken the
            // focus away (Qt ignores it coming back to the window it last had).
            QTRY_VERIFY(!w->isVisible() && !QGuiApplication::focusWindow());
            if (cycle == 0) {
                QTRY_VERIFY(balloon());
                balloon()->close();
            }
            xdo(at(tray->geometry().center()) << "click"
                                              << "1");
            QTRY_VERIFY(w->isVisible() && w->isActiveWindow() && !w->isMinimized());
            QTRY_COMPARE(w->geometry(), closedAt);
            QCOMPARE(w->isMaximized(), before == "maximise");
        }
    }

    // Shown after a start from a stored token or a sign-in, the window takes
    // the keys at once: Ctrl+F goes to the search, typing fills it.
    void keysWorkAtOnce_data()
    {
        QTest::addColumn<bool>("resumed");
        QTest::newRow("resumed") << true;
        QTest::newRow("signed in") << false;
    }
    void keysWorkAtOnce()
    {
        QFETCH(bool, resumed);
        Workspace ws;
        ws.add("alice");
        Answerer answers;
        answers.onLogin = [](LoginDialog *d) { return signIn(d, "demo", "demo123"); };
        if (resumed)
            QVERIFY(ws.start());
        else
            ws.window.reset(new orvantis);
        QTRY_VERIFY(ws.w()->isLoggedIn() && ws.w()->isActiveWindow());
        QVERIFY(ws.w()->focusWidget());
        xdo({"key", "ctrl+f", "type", "alice"});
        QTRY_COMPARE(ws.line("searchEdit")->text(), "alice");
    }

    // A double-click on the title bar maximises and restores; a drag moves
    // the window with the pointer.
    void titleBar()
    {
        QWidget window;
        window.setGeometry(300, 200, 500, 360);
        applyGlassFrameless(&window, true);
        auto *bar = new TitleBarWidget(&window, "标题");
        window.show();
        QTRY_VERIFY(window.isActiveWindow());
        const QRect normal = window.geometry();
        for (const bool maximised : {true, false}) {
            xdo(at(bar->mapToGlobal(QPoint(150, 20)))
                + QStringList {"click", "--repeat", "2", "1"});
            // Until the window manager has given the window its new place.
            QTRY_VERIFY(window.isMaximized() == maximised
                        && (window.geometry() == normal) != maximised);
        }

        const QPoint from = bar->mapToGlobal(QPoint(150, 20));
        xdo(at(from) + QStringList {"mousedown", "1"});
        xdo(at(from + QPoint(20, 15)));
        QTRY_COMPARE(window.pos(), normal.topLeft() + QPoint(20, 15));
        xdo(at(from + QPoint(100, 70)));
        QTRY_COMPARE(window.pos(), normal.topLeft() + QPoint(100, 70));
        xdo({"mouseup", "1"});
        QVERIFY(!window.isMaximized());
    }

    // Without a compositor the toasts show no black around their rounded
    // card, and their stack keeps clear of the tray icon.
    void toasts()
    {
        Workspace ws;
        QVERIFY(ws.start());
        QSystemTrayIcon *tray = Access::tray(ws.w());
        QTRY_VERIFY(tray->isVisible() && tray->geometry().isValid());
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QWidget backdrop(nullptr, Qt::FramelessWindowHint);
        backdrop.setPalette(QPalette(QColor(30, 160, 60)));
        backdrop.setAutoFillBackground(true);
        backdrop.setGeometry(available.adjusted(available.width() / 2, 0, 0, 0));
        backdrop.show();
        QTRY_VERIFY(backdrop.isActiveWindow());

        for (int i = 0; i < 4; ++i)
            showToast(ws.w(), "访客", "你好");
        // Read where each toast is at the time: they slide in. Checked in
        // time, before their life ends.
        for (const QPointer<QWidget> t : activeToasts()) {
            QTRY_VERIFY(t && available.contains(t->frameGeometry()));
            QVERIFY(!t->frameGeometry().intersects(tray->geometry()));
            QTRY_COMPARE(screenPixel(t->frameGeometry().topLeft()), QColor(30, 160, 60));
            QTRY_COMPARE(screenPixel(t->frameGeometry().bottomRight()), QColor(30, 160, 60));
            QTRY_COMPARE(screenPixel(t->frameGeometry().center() + QPoint(0, t->height() / 3)),
                         QColor(Qt::white));
        }
    }

    // The transfer picker and the reception records open centred on the window.
    void dialogsCentred_data()
    {
        QTest::addColumn<bool>("transfer");
        QTest::newRow("transfer") << true;
        QTest::newRow("records") << false;
    }
    void dialogsCentred()
    {
        QFETCH(bool, transfer);
        Workspace ws;
        const int a = ws.add("alice");
        ws.server.setAgentOnline(13, true);
        QVERIFY(ws.start() && ws.open(a));
        ws.w()->move(400, 250);
        QTRY_COMPARE(ws.w()->pos(), QPoint(400, 250));
        if (transfer)
            Access::transfer(ws.w());
        else
            ws.w()->findChild<QPushButton *>("historyBtn")->click();
        QDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = ws.w()->findChild<QDialog *>()) && dialog->isVisible());
        QTRY_VERIFY(
            (dialog->frameGeometry().center() - ws.w()->frameGeometry().center()).manhattanLength()
            <= 2);
        dialog->reject();
    }
};

ORVANTIS_TEST_MAIN(DesktopWindowTest)
#include "tst_desktopwindow.moc"
