#include "testsupport.h"

#include "shell/traybadge.h"

#include <QFile>

namespace {

const QColor iconColour(30, 90, 200);

QPixmap plainIcon()
{
    QPixmap icon(64, 64);
    icon.fill(iconColour);
    return icon;
}

QImage badged(int total)
{
    return paintTrayBadge(plainIcon(), total).toImage();
}

} // namespace

class TestTrayBadge : public QObject
{
    Q_OBJECT

private slots:
    void badge_data()
    {
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("leftMin"); // the pill's left edge on its middle row
        QTest::addColumn<int>("leftMax");
        QTest::addColumn<bool>("largeDigits"); // 26 px digits; "99+" gets smaller ones
        // One digit gets the minimum width, 34.
        const struct
        {
            int total, leftMin, leftMax;
            bool large;
        } rows[]
            = {{1, 28, 29, true},   {9, 28, 29, true},    {42, 3, 27, true},  {99, 3, 27, true},
               {100, 0, 10, false}, {5000, 0, 10, false}, {0, 64, 64, false}, {-3, 64, 64, false}};
        for (const auto &[total, leftMin, leftMax, large] : rows)
            QTest::addRow("%d", total) << total << leftMin << leftMax << large;
    }

    void badge()
    {
        QFETCH(int, total);
        QFETCH(int, leftMin);
        QFETCH(int, leftMax);
        QFETCH(bool, largeDigits);
        const QImage image = badged(total);
        QCOMPARE(image == plainIcon().toImage(), total < 1); // no badge at all
        if (total < 1)
            return;
        const QColor red(244, 63, 94);
        int left = 0;
        while (left < 64 && image.pixelColor(left, 16) != red)
            ++left;
        QVERIFY2(left >= leftMin && left <= leftMax, qPrintable(QString::number(left)));
        // A pill 32 px high, 2 px from the right edge, with rounded ends.
        for (const QPoint &inside : {QPoint(60, 16), QPoint(45, 1), QPoint(45, 30)})
            QCOMPARE(image.pixelColor(inside), red);
        for (const QPoint &outside : {QPoint(63, 16), QPoint(45, 32), QPoint(left, 1)})
            QCOMPARE(image.pixelColor(outside), iconColour);

        // The white text sits in the middle of the pill.
        QRect text;
        for (int y = 0; y < 32; ++y) {
            for (int x = left; x < 62; ++x)
                text |= image.pixelColor(x, y).lightness() > 200 ? QRect(x, y, 1, 1) : QRect();
        }
        QVERIFY(qAbs(text.center().x() - (left + 61) / 2) <= 2);
        QVERIFY(qAbs(text.center().y() - 15) <= 2);
        QCOMPARE(text.height() >= 17, largeDigits);
        QVERIFY(paintTrayBadge(QPixmap(), total).isNull());
    }

    void autoStartFollowsThisExecutable()
    {
#ifdef Q_OS_WIN
        QSKIP("the registry entry is not touched by tests");
#endif
        const QString path = autoStartEntryPath();
        setAutoStartEnabled(true);
        QVERIFY(isAutoStartEnabled());
        // An entry that starts another copy of the program reads as off...
        QFile entry(path);
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nExec=\"/opt/other/orvantis\"\n");
        entry.close();
        QVERIFY(!isAutoStartEnabled());
        // ...and switching on points it at this one.
        setAutoStartEnabled(true);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        QVERIFY(entry.readAll().contains(
            "\nExec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\"\n"));
        entry.close();
        QVERIFY(isAutoStartEnabled());
        setAutoStartEnabled(false);
        QVERIFY(!isAutoStartEnabled());
        QVERIFY(!QFileInfo::exists(path));
    }
};

ORVANTIS_TEST_MAIN(TestTrayBadge)
#include "tst_traybadge.moc"
