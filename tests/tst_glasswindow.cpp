// The frameless glass window kit: its backdrop with and without a
// compositor, edge resizing and dragging by the title bar.

#include "testsupport.h"

#include "shell/glasswindow.h"

namespace {

// Fills its window and counts the presses that reach it.
struct Pad : QWidget
{
    using QWidget::QWidget;
    int presses = 0;
    void mousePressEvent(QMouseEvent *) override { ++presses; }
};

// A converted window of 400 x 300 at (100, 100), shown.
struct Window
{
    explicit Window(bool resizable = true)
    {
        window.setGeometry(100, 100, 400, 300);
        applyGlassFrameless(&window, resizable);
        pad->setGeometry(0, 46, 400, 254);
        window.show();
    }
    QWidget window;
    Pad *pad = new Pad(&window);
    TitleBarWidget *titleBar = new TitleBarWidget(&window, "标题");
};

} // namespace

class TestGlassWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { overrideDesktopComposites(true); }

    // The corner shows through only with a compositor, else it is square and
    // opaque, never black.
    void backdrop()
    {
        for (const auto &[composited, cornerAlpha] : {std::pair(true, 0), std::pair(false, 255)}) {
            overrideDesktopComposites(composited);
            Window w;
            const QImage image = w.window.grab().toImage();
            QCOMPARE(qAlpha(image.pixel(0, 0)), cornerAlpha);
            QCOMPARE(qAlpha(image.pixel(12, 150)), 255);
        }
    }

    // Points inside the pad, relative to the window. A press is consumed
    // exactly where the cursor shows a resize shape (-1: none of ours).
    void edges()
    {
        const QList<std::tuple<QPoint, bool, int>> rows {
            {{6, 150}, false, Qt::SizeHorCursor},     {{7, 150}, false, -1},
            {{393, 150}, false, Qt::SizeHorCursor},   {{0, 299}, false, Qt::SizeBDiagCursor},
            {{395, 295}, false, Qt::SizeFDiagCursor}, {{0, 150}, true, -1}};
        for (const auto &[point, maximised, cursor] : rows) {
            Window w;
            if (maximised) {
                w.window.showMaximized();
                QTRY_VERIFY(w.window.geometry().topLeft() != QPoint(100, 100));
            }
            const QPoint inPad = w.pad->mapFrom(&w.window, point);
            QTest::mouseMove(w.pad, inPad);
            QCursor *shown = QGuiApplication::overrideCursor();
            QCOMPARE(shown ? int(shown->shape()) : -1, cursor);
            QTest::mousePress(w.pad, Qt::LeftButton, {}, inPad);
            QTest::mouseRelease(w.pad, Qt::LeftButton, {}, inPad);
            QCOMPARE(w.pad->presses == 0, cursor != -1);
            QVERIFY(!QGuiApplication::overrideCursor());
        }
    }

    // A left double-click on the title bar maximises and restores, a right one
    // does nothing. Dragging a maximised window by its title bar restores it
    // under the cursor, at the same relative place across and half the bar down.
    void titleBar()
    {
        Window clicked;
        for (const auto &[button, maximised] :
             {std::pair(Qt::LeftButton, true), std::pair(Qt::LeftButton, false),
              std::pair(Qt::RightButton, false)}) {
            QTest::mouseDClick(clicked.titleBar, button, {}, QPoint(150, 20));
            QCOMPARE(clicked.window.isMaximized(), maximised);
        }
        for (const int x : {10, 700}) {
            Window w;
            w.window.showMaximized();
            QTRY_VERIFY(w.window.width() > 400);
            const QRect maximised = w.window.geometry();
            const QPoint press(x, 30);
            const QPoint gp = w.titleBar->mapToGlobal(press);
            QTest::mousePress(w.titleBar, Qt::LeftButton, {}, press);
            QVERIFY(w.window.isMaximized()); // a double-click may still follow
            QTest::mouseMove(w.titleBar, press + QPoint(3, 3));
            QVERIFY(!w.window.isMaximized());
            const double ratio = double(gp.x() - maximised.left()) / maximised.width();
            QTRY_COMPARE(w.window.pos(), QPoint(gp.x() - int(400 * ratio), gp.y() - 23));
            QTest::mouseRelease(w.titleBar, Qt::LeftButton);
        }
    }
};

ORVANTIS_TEST_MAIN(TestGlassWindow)
#include "tst_glasswindow.moc"
