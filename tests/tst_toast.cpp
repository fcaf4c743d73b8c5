#include "testsupport.h"

#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTimer>

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

class TestToast : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { dismissAllToasts(); }

    void stacksFromTheCorner()
    {
        // Raised faster than they slide in, they must still end up stacked.
        QList<QWidget *> toasts = showToasts(4);
        for (int i = 0; i < 4; ++i)
            QTRY_COMPARE(toasts.at(i)->pos(), expectedPlace(toasts.at(i), i, 4));
        // A fifth closes the oldest at once; the others move up, the newest slides in.
        QPointer<QWidget> oldest = toasts.first();
        toasts = showToasts(1);
        QVERIFY(!oldest || !oldest->isVisible());
        QCOMPARE(toasts.at(0)->pos(), expectedPlace(toasts.at(0), 0, 4));
        QCOMPARE(toasts.at(3)->pos(), expectedPlace(toasts.at(3), 3, 4) + QPoint(60, 0));
        QTRY_COMPARE(toasts.at(3)->pos(), expectedPlace(toasts.at(3), 3, 4));
    }

    void clickRunsActionThenFades()
    {
        auto *anchor = new QWidget; // never shown
        int clicks = 0;
        showToast(anchor, QStringLiteral("a"), QStringLiteral("b"), [&clicks] { ++clicks; });
        QPointer<QWidget> clicked = activeToasts().first();
        QPointer<QWidget> plain = showToasts(1, anchor).last();
        QTRY_COMPARE(plain->pos(), expectedPlace(plain, 1, 2)); // on the primary screen
        delete anchor; // before its toasts: the re-layout when one dies must not use it
        QTest::mousePress(clicked, Qt::LeftButton, {}, QPoint(20, 20));
        QCOMPARE(clicks, 1);
        QTRY_VERIFY(!clicked);
        QCOMPARE(plain->pos(), expectedPlace(plain, 0, 1)); // the survivor closes the gap
        // An action may dismiss every toast, the clicked one included.
        showToast(nullptr, QStringLiteral("c"), QStringLiteral("d"), [] { dismissAllToasts(); });
        clicked = activeToasts().last();
        QTest::mousePress(clicked, Qt::LeftButton, {}, QPoint(20, 20));
        QVERIFY(activeToasts().isEmpty() && !plain);
        QTRY_VERIFY(!clicked);
    }

    // Under the pointer the stack holds still: a new toast takes a free place
    // and the aimed toast takes the click; the stack packs once the pointer leaves.
    void holdsStillUnderThePointer()
    {
        int opened = 0;
        const auto raise = [&opened](int id) {
            showToast(nullptr, "t", "b", [&opened, id] { opened = id; });
            return activeToasts().constLast();
        };
        QWidget *first = raise(1), *second = raise(2);
        QTRY_COMPARE(second->pos(), expectedPlace(second, 1, 2));
        QTest::mouseMove(first, QPoint(20, 20));
        QWidget *third = raise(3);
        QTRY_COMPARE_WITH_TIMEOUT(third->pos(), expectedPlace(third, 0, 3), 2000);
        QCOMPARE(first->pos(), expectedPlace(first, 0, 2));
        QCOMPARE(second->pos(), expectedPlace(second, 1, 2));
        QTest::mouseClick(QApplication::widgetAt(first->geometry().center()), Qt::LeftButton);
        QCOMPARE(opened, 1);
        QCursor::setPos(0, 0);
        QTRY_COMPARE(third->pos(), expectedPlace(third, 1, 2));
        QCOMPARE(second->pos(), expectedPlace(second, 0, 2));
    }

    // A long title and an unbroken word are cut with an ellipsis, at most
    // two lines of the body shown, nothing beyond the edge.
    void longTexts()
    {
        showToast(nullptr, QString(300, 'T'), "https://example.com/" + QString(2000, 'b'));
        for (const char *name : {"toastTitle", "toastBody"}) {
            auto *label = activeToasts().constFirst()->findChild<QLabel *>(name);
            const QFontMetrics metrics = label->fontMetrics();
            const QRect laidOut = metrics.boundingRect(
                label->contentsRect(), label->wordWrap() ? Qt::TextWordWrap : 0, label->text());
            QVERIFY(label->contentsRect().contains(laidOut));
            QVERIFY(laidOut.height() < 3 * metrics.lineSpacing());
            QVERIFY(label->text().endsWith(u'…'));
        }
    }

    // Held while hovered and given afresh when the pointer leaves.
    void lifetime()
    {
        QPointer<QWidget> toast = showToasts(1).first();
        auto *life = toast->findChild<QTimer *>(QStringLiteral("toastLifeTimer"));
        QVERIFY(life->isActive());
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(toast, &enter);
        QVERIFY(!life->isActive());
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(toast, &leave);
        QVERIFY(life->isActive());
        life->start(0); // its time is up
        QTRY_VERIFY(!toast && activeToasts().isEmpty());
    }
};

ORVANTIS_TEST_MAIN(TestToast)
#include "tst_toast.moc"
