#include "testsupport.h"

#include <QLabel>
#include <QPointer>
#include <QPropertyAnimation>
#include <QScreen>
#include <QTimer>

#include <memory>

#include "widgets/toast.h"

class ToastTest : public QObject
{
    Q_OBJECT

private:
    static QRect available() { return QGuiApplication::primaryScreen()->availableGeometry(); }

    // Where the toast at list index i of n toasts belongs (all toasts have the same height here).
    static QPoint expectedPlace(QWidget *toast, int i, int n)
    {
        const int fromCorner = n - 1 - i;
        const int bottom = available().bottom() - 12 - fromCorner * (toast->height() + 8);
        return QPoint(available().right() - 11 - toast->width(), bottom - toast->height());
    }

    static QTimer *lifeTimer(QWidget *toast) { return toast->findChild<QTimer *>("toastLifeTimer"); }

    static void press(QWidget *toast) { QTest::mousePress(toast, Qt::LeftButton, {}, QPoint(20, 20)); }

    static QList<QWidget *> showToasts(int n)
    {
        for (int i = 0; i < n; ++i)
            showToast(nullptr, QStringLiteral("t%1").arg(i), QStringLiteral("body"));
        return activeToasts();
    }

private slots:
    void initTestCase();
    void cleanup();
    void untrustedTextAndFocus();
    void stacksFromTheCorner();
    void burstDoesNotOverlap();
    void fifthToastClosesTheOldest();
    void dismissAllDeletesAtOnce();
    void clickRunsActionThenFades();
    void hoverPausesLife();
    void lifeEndsInFade();
};

void ToastTest::initTestCase()
{
    // The offscreen platform complains about every opacity step of a fade.
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &msg) {
        if (!msg.startsWith(QLatin1String("This plugin does not support")))
            previous(type, context, msg);
    });
}

void ToastTest::cleanup()
{
    dismissAllToasts();
    QVERIFY(activeToasts().isEmpty());
}

void ToastTest::untrustedTextAndFocus()
{
    showToast(nullptr, QStringLiteral("<b>bold</b>"), QStringLiteral("<img src=x>"));
    QWidget *toast = activeToasts().first();
    for (const char *name : {"toastTitle", "toastBody"})
        QCOMPARE(toast->findChild<QLabel *>(QLatin1String(name))->textFormat(), Qt::PlainText);
    QVERIFY(toast->testAttribute(Qt::WA_ShowWithoutActivating)); // never steals the focus
    QCOMPARE(lifeTimer(toast)->interval(), 6000);
    QVERIFY(lifeTimer(toast)->isActive());
}

void ToastTest::stacksFromTheCorner()
{
    for (int i = 0; i < 3; ++i) {
        showToast(nullptr, QStringLiteral("t%1").arg(i), QStringLiteral("body"));
        QWidget *newest = activeToasts().last();
        if (i < 2) // let it settle in the corner
            QTRY_COMPARE(newest->pos(), expectedPlace(newest, 0, 1));
    }
    const QList<QWidget *> toasts = activeToasts();
    QCOMPARE(toasts.size(), 3);
    // The older ones are moved at once; the newest slides in from 60 px to the right.
    QCOMPARE(toasts.at(0)->pos(), expectedPlace(toasts.at(0), 0, 3));
    QCOMPARE(toasts.at(1)->pos(), expectedPlace(toasts.at(1), 1, 3));
    const QPoint corner = expectedPlace(toasts.at(2), 2, 3);
    QCOMPARE(toasts.at(2)->pos(), corner + QPoint(60, 0));
    QTRY_COMPARE(toasts.at(2)->pos(), corner);
}

void ToastTest::burstDoesNotOverlap()
{
    // Toasts raised faster than the slide-in must still end up stacked.
    const QList<QWidget *> toasts = showToasts(3);
    for (int i = 0; i < 3; ++i)
        QTRY_COMPARE(toasts.at(i)->pos(), expectedPlace(toasts.at(i), i, 3));
    QTest::qWait(300); // the slides are over; nothing drifts back
    for (int i = 0; i < 3; ++i)
        QCOMPARE(toasts.at(i)->pos(), expectedPlace(toasts.at(i), i, 3));
}

void ToastTest::fifthToastClosesTheOldest()
{
    const QList<QWidget *> before = showToasts(4);
    for (int i = 0; i < 4; ++i)
        QTRY_COMPARE(before.at(i)->pos(), expectedPlace(before.at(i), i, 4));
    QPointer<QWidget> oldest = before.first();
    QPointer<QWidget> second = before.at(1);
    showToast(nullptr, QStringLiteral("t4"), QStringLiteral("body"));
    QCOMPARE(activeToasts().size(), 4);
    QCOMPARE(activeToasts().first(), second.data());
    QVERIFY(!oldest || !oldest->isVisible()); // closed without a fade
    // The remaining three moved up by one place at once; the new one slides in.
    const QList<QWidget *> toasts = activeToasts();
    for (int i = 0; i < 3; ++i)
        QCOMPARE(toasts.at(i)->pos(), expectedPlace(toasts.at(i), i, 4));
    QCOMPARE(toasts.at(3)->pos(), expectedPlace(toasts.at(3), 3, 4) + QPoint(60, 0));
    QTRY_VERIFY(!oldest);
    QTRY_COMPARE(toasts.at(3)->pos(), expectedPlace(toasts.at(3), 3, 4));
}

void ToastTest::dismissAllDeletesAtOnce()
{
    QList<QPointer<QWidget>> guards;
    for (QWidget *toast : showToasts(2))
        guards.append(toast);
    dismissAllToasts();
    QVERIFY(activeToasts().isEmpty());
    for (const QPointer<QWidget> &guard : guards)
        QVERIFY(!guard);
    dismissAllToasts(); // nothing left: harmless

    // A click action may dismiss every toast, the clicked one included.
    showToasts(1);
    showToast(nullptr, QStringLiteral("c"), QStringLiteral("d"), [] { dismissAllToasts(); });
    QPointer<QWidget> clicked = activeToasts().last();
    QPointer<QWidget> other = activeToasts().first();
    press(clicked);
    QVERIFY(activeToasts().isEmpty());
    QVERIFY(!other);
    QTRY_VERIFY(!clicked);
}

void ToastTest::clickRunsActionThenFades()
{
    int clicks = 0;
    showToast(nullptr, QStringLiteral("a"), QStringLiteral("b"), [&clicks] { ++clicks; });
    QPointer<QWidget> toast = activeToasts().first();
    press(toast);
    QCOMPARE(clicks, 1);
    QVERIFY(!lifeTimer(toast)->isActive());
    // A second press during the fade runs the action again but starts no second fade.
    press(toast);
    QCOMPARE(clicks, 2);
    int fades = 0;
    for (QPropertyAnimation *animation : toast->findChildren<QPropertyAnimation *>())
        fades += animation->propertyName() == "windowOpacity" ? 1 : 0;
    QCOMPARE(fades, 1);
    QTRY_VERIFY(!toast);
    QVERIFY(activeToasts().isEmpty());
}

void ToastTest::hoverPausesLife()
{
    showToast(nullptr, QStringLiteral("a"), QStringLiteral("b"));
    QWidget *toast = activeToasts().first();
    QTimer *timer = lifeTimer(toast);
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(toast, &enter);
    QVERIFY(!timer->isActive());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(toast, &leave);
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 6000);
    QVERIFY(timer->remainingTime() > 5000); // a fresh full lifetime

    // Leaving while fading does not bring the toast back to life.
    QPointer<QWidget> guard = toast;
    press(toast);
    QCoreApplication::sendEvent(toast, &leave);
    QVERIFY(!timer->isActive());
    QTRY_VERIFY(!guard);
}

void ToastTest::lifeEndsInFade()
{
    auto anchor = std::make_unique<QWidget>();
    showToast(anchor.get(), QStringLiteral("a"), QStringLiteral("b")); // anchor not shown
    showToast(anchor.get(), QStringLiteral("c"), QStringLiteral("d"));
    QPointer<QWidget> older = activeToasts().first();
    QWidget *newer = activeToasts().last();
    QTRY_COMPARE(newer->pos(), expectedPlace(newer, 1, 2)); // on the primary screen
    // The anchor goes before its toasts: the re-layout when one dies must not use it.
    anchor.reset();
    lifeTimer(older)->start(10); // instead of waiting six seconds
    QTRY_VERIFY(older && older->windowOpacity() < 1.0);
    QTRY_VERIFY(!older);
    // The survivor closes the gap.
    QCOMPARE(activeToasts(), QList<QWidget *>{newer});
    QCOMPARE(newer->pos(), expectedPlace(newer, 0, 1));
}

ORVANTIS_TEST_MAIN(ToastTest)
#include "tst_toast.moc"
