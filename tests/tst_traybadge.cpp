#include "testsupport.h"

#include "shell/autostart.h"
#include "shell/traybadge.h"

#include <QFile>

class TestTrayBadge : public QObject
{
    Q_OBJECT

private slots:
    void badge()
    {
        QPixmap icon(64, 64);
        icon.fill(Qt::darkBlue);
        // The pill's left edge on its middle row: one digit gets the minimum
        // width, 34, "99+" the most; 64: no badge at all.
        const int rows[][3]
            = {{1, 28, 29}, {99, 3, 27}, {100, 0, 10}, {5000, 0, 10}, {0, 64, 64}, {-3, 64, 64}};
        for (const auto &[total, leftMin, leftMax] : rows) {
            const QImage image = paintTrayBadge(icon, total).toImage();
            int left = 0;
            while (left < 64 && image.pixelColor(left, 16) != QColor(244, 63, 94))
                ++left;
            QVERIFY2(left >= leftMin && left <= leftMax, qPrintable(QString::number(total)));
            QCOMPARE(image == icon.toImage(), total < 1);
            // A pill 32 px high, 2 px from the right edge, with white text in it.
            int white = 0;
            for (int x = left; x < 62; ++x)
                white += image.pixelColor(x, 15).lightness() > 200;
            QCOMPARE(white > 0, total > 0);
            for (const QPoint &outside : {QPoint(63, 16), QPoint(45, 32), QPoint(left, 1)})
                QVERIFY(total < 1 || image.pixelColor(outside) == QColor(Qt::darkBlue));
        }
    }

    void autoStartFollowsThisExecutable()
    {
        const QString self = QCoreApplication::applicationFilePath();
        QFile entry(autoStartEntryPath());
        QDir().mkpath(QFileInfo(entry).absolutePath());
        // An entry that starts another copy of the program reads as off, and
        // switching on points it at this one.
        for (const QString &exec : QStringList {"\"/opt/other/orvantis\"", "\"" + self + "-old\"",
                                                self.toUpper(), "\"" + self + "\""}) {
            QVERIFY(entry.open(QIODevice::WriteOnly | QIODevice::Truncate));
            entry.write("[Desktop Entry]\nExec=" + exec.toUtf8() + "\n");
            entry.close();
            QCOMPARE(isAutoStartEnabled(), exec == "\"" + self + "\"");
            setAutoStartEnabled(true);
            QVERIFY(isAutoStartEnabled());
        }
        setAutoStartEnabled(false);
        QVERIFY(!isAutoStartEnabled() && !entry.exists());
    }
};

ORVANTIS_TEST_MAIN(TestTrayBadge)
#include "tst_traybadge.moc"
