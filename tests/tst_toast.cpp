#include "testsupport.h"

#include <QAccessible>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include <memory>

#include "widgets/toast.h"

namespace {

// Where the toast at list index i of n belongs (all toasts are equally high here).
QPoint expectedPlace(QWidget *toast, int i, int n)
{
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const int bottom = available.bottom() - 12 - (n - 1 - i) * (toast->height() + 8);
    return QPoint(available.right() - 11 - toast->width(), bottom - toast->height());
}

QList<QWidget *> showToasts(int n, QWidget *anchor = nullptr)
{
    for (int i = 0; i < n; ++i)
        showToast(anchor, QStringLiteral("t%1").arg(i), QStringLiteral("body"));
    return activeToasts();
}

} // namespace

class ToastTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        dismissAllToasts();
        QVERIFY(activeToasts().isEmpty());
    }

    void untrustedTextIsPlain()
    {
        showToast(nullptr, QStringLiteral("<b>bold</b>"), QStringLiteral("<img src=x>"));
        QStringList read; // what a screen reader reads: the markup as it came
        for (QLabel *label : activeToasts().first()->findChildren<QLabel *>())
            read << QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name);
        QCOMPARE(read, QStringList({"<b>bold</b>", "<img src=x>", "点击查看会话"}));
    }

    void stacksFromTheCorner()
    {
        // Raised faster than they slide in, they must still end up stacked.
        QList<QWidget *> toasts = showToasts(4);
        for (int i = 0; i < 4; ++i)
            QTRY_COMPARE(toasts.at(i)->pos(), expectedPlace(toasts.at(i), i, 4));

        // A fifth closes the oldest at once, without a fade.
        QPointer<QWidget> oldest = toasts.first();
        showToast(nullptr, QStringLiteral("t4"), QStringLiteral("body"));
        QVERIFY(!oldest || !oldest->isVisible());
        toasts = activeToasts();
        // The others move up at once; the newest slides in from 60 px to the right.
        for (int i = 0; i < 3; ++i)
            QCOMPARE(toasts.at(i)->pos(), expectedPlace(toasts.at(i), i, 4));
        const QPoint corner = expectedPlace(toasts.at(3), 3, 4);
        QCOMPARE(toasts.at(3)->pos(), corner + QPoint(60, 0));
        QTRY_COMPARE(toasts.at(3)->pos(), corner);
        QTRY_VERIFY(!oldest);
    }

    void clickRunsActionThenFades()
    {
        auto anchor = std::make_unique<QWidget>(); // never shown
        int clicks = 0;
        showToast(anchor.get(), QStringLiteral("a"), QStringLiteral("b"), [&clicks] { ++clicks; });
        showToasts(1, anchor.get());
        QPointer<QWidget> clicked = activeToasts().first();
        QPointer<QWidget> plain = activeToasts().last();
        QTRY_COMPARE(plain->pos(), expectedPlace(plain, 1, 2)); // on the primary screen
        // The anchor goes before its toasts: the re-layout when one dies must not use it.
        anchor.reset();
        QTest::mousePress(clicked, Qt::LeftButton, {}, QPoint(20, 20));
        QCOMPARE(clicks, 1);
        QTRY_VERIFY(clicked && clicked->windowOpacity() < 1.0);
        QTRY_VERIFY(!clicked);
        QCOMPARE(activeToasts(), QList<QWidget *> {plain.data()});
        QCOMPARE(plain->pos(), expectedPlace(plain, 0, 1)); // the survivor closes the gap
        // Without an action a click only closes it.
        QTest::mousePress(plain, Qt::LeftButton, {}, QPoint(20, 20));
        QTRY_VERIFY(!plain);
        QCOMPARE(clicks, 1);
    }

    void dismissAll()
    {
        QPointer<QWidget> toast = showToasts(1).first();
        dismissAllToasts();
        QVERIFY(!toast && activeToasts().isEmpty()); // deleted at once

        // A click action may dismiss every toast, the clicked one included.
        showToasts(1);
        showToast(nullptr, QStringLiteral("c"), QStringLiteral("d"), [] { dismissAllToasts(); });
        QPointer<QWidget> other = activeToasts().first();
        QPointer<QWidget> clicked = activeToasts().last();
        QTest::mousePress(clicked, Qt::LeftButton, {}, QPoint(20, 20));
        QVERIFY(activeToasts().isEmpty());
        QVERIFY(!other);
        QVERIFY(clicked && !clicked->isVisible());
        QTRY_VERIFY(!clicked);
    }

    void livesSixSecondsUnlessHovered()
    {
        const QList<QWidget *> toasts = showToasts(2);
        QPointer<QWidget> plain = toasts.first();
        QPointer<QWidget> hovered = toasts.last();
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(hovered, &enter);
        QTest::qWait(5700);
        QVERIFY(plain && hovered);
        QTRY_VERIFY_WITH_TIMEOUT(!plain, 3000);
        QVERIFY(hovered);
        // Leaving starts the countdown again.
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(hovered, &leave);
        QVERIFY(hovered->findChild<QTimer *>(QStringLiteral("toastLifeTimer"))->isActive());
    }
};

ORVANTIS_TEST_MAIN(ToastTest)
#include "tst_toast.moc"
