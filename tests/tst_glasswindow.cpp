// The frameless glass window kit: its backdrop with and without a
// compositor, edge resizing, dragging and the painted window buttons.

#include "testsupport.h"

#include <QPushButton>

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

class GlassWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { overrideDesktopComposites(true); }

    void convertedOnce()
    {
        QWidget window;
        applyGlassFrameless(&window, true);
        applyGlassFrameless(&window, true);
        QCOMPARE(window.findChildren<QWidget *>("glassBackdrop").size(), 1);
        QCOMPARE(window.findChildren<QObject *>("glassResizeController").size(), 1);
    }

    void backdrop_data()
    {
        QTest::addColumn<bool>("composited");
        QTest::addColumn<int>("cornerAlpha");
        QTest::newRow("compositor") << true << 0;
        QTest::newRow("none") << false << 255; // square and opaque, never black
    }

    void backdrop()
    {
        QFETCH(bool, composited);
        overrideDesktopComposites(composited);
        Window w;
        const QImage image = w.window.grab().toImage();
        QTEST(qAlpha(image.pixel(0, 0)), "cornerAlpha");
        QCOMPARE(qAlpha(image.pixel(12, 150)), 255);
    }

    // Points inside the pad, relative to the window. A press is consumed
    // exactly where the cursor shows a resize shape (-1: none of ours).
    void edges_data()
    {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<bool>("maximised");
        QTest::addColumn<int>("cursor");
        QTest::newRow("left") << QPoint(6, 150) << false << int(Qt::SizeHorCursor);
        QTest::newRow("inside left") << QPoint(7, 150) << false << -1;
        QTest::newRow("right") << QPoint(393, 150) << false << int(Qt::SizeHorCursor);
        QTest::newRow("bottom left") << QPoint(0, 299) << false << int(Qt::SizeBDiagCursor);
        QTest::newRow("bottom right") << QPoint(395, 295) << false << int(Qt::SizeFDiagCursor);
        QTest::newRow("maximised") << QPoint(0, 150) << true << -1;
    }

    void edges()
    {
        QFETCH(QPoint, point);
        QFETCH(bool, maximised);
        QFETCH(int, cursor);
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

    void doubleClick_data()
    {
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::addColumn<bool>("maximised");
        QTest::newRow("left") << Qt::LeftButton << false;
        QTest::newRow("left again") << Qt::LeftButton << true;
        QTest::newRow("right") << Qt::RightButton << false;
    }

    void doubleClick()
    {
        QFETCH(Qt::MouseButton, button);
        QFETCH(bool, maximised);
        Window w;
        if (maximised)
            w.window.showMaximized();
        QTest::mouseDClick(w.titleBar, button, {}, QPoint(150, 20));
        QCOMPARE(w.window.isMaximized(), maximised != (button == Qt::LeftButton));
    }

    // Dragging a maximised window by its title bar restores it under the
    // cursor, at the same relative place across and half the bar down.
    void dragRestores_data()
    {
        QTest::addColumn<int>("x");
        QTest::newRow("left") << 10;
        QTest::newRow("right") << 700;
    }

    void dragRestores()
    {
        QFETCH(int, x);
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

    // The glyph's colour where its pen covers a whole pixel.
    void glyphs_data()
    {
        QTest::addColumn<int>("index"); // minimise, maximise, close
        QTest::addColumn<bool>("hovered");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QPoint>("onGlyph");
        QTest::addColumn<QColor>("glyph");
        QTest::newRow("close hovered") << 2 << true << true << QPoint(18, 13) << QColor(Qt::white);
        QTest::newRow("minimise hovered")
            << 0 << true << true << QPoint(18, 13) << QColor(43, 49, 64);
        QTest::newRow("maximise disabled")
            << 1 << false << false << QPoint(13, 12) << QColor(91, 100, 122, 110);
    }

    void glyphs()
    {
        QFETCH(int, index);
        QFETCH(bool, hovered);
        QFETCH(bool, enabled);
        QFETCH(QPoint, onGlyph);
        QFETCH(QColor, glyph);
        QCursor::setPos(0, 0); // away from any window
        QWidget window;
        auto *group = new WindowButtonGroup(&window, true);
        window.setGeometry(200, 200, 200, 60);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QPushButton *button = group->findChildren<QPushButton *>().at(index);
        button->setEnabled(enabled);
        if (hovered)
            QTest::mouseMove(button, button->rect().center());
        QTRY_COMPARE(button->underMouse(), hovered);
        const QColor c = button->grab().toImage().pixelColor(onGlyph);
        QVERIFY2(qAbs(c.red() - glyph.red()) + qAbs(c.green() - glyph.green())
                         + qAbs(c.blue() - glyph.blue()) + qAbs(c.alpha() - glyph.alpha())
                     < 12,
                 qPrintable(c.name(QColor::HexArgb)));
    }
};

ORVANTIS_TEST_MAIN(GlassWindowTest)
#include "tst_glasswindow.moc"
