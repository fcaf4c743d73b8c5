#include "testsupport.h"

#include "shell/traybadge.h"

#include <QColor>
#include <QFile>
#include <QImage>
#include <QPixmap>

namespace {

const QColor iconColour(30, 90, 200);
const QColor badgeColour(244, 63, 94);

QPixmap plainIcon(qreal dpr = 1.0)
{
    QPixmap icon(QSize(64, 64) * dpr);
    icon.setDevicePixelRatio(dpr);
    icon.fill(iconColour);
    return icon;
}

bool isBadge(const QImage &image, int x, int y)
{
    return QColor(image.pixel(x, y)) == badgeColour;
}

bool isIcon(const QImage &image, int x, int y)
{
    return QColor(image.pixel(x, y)) == iconColour;
}

// Leftmost badge-coloured pixel on the badge's middle row, -1 if none.
int badgeLeftEdge(const QImage &image, int row = 16)
{
    for (int x = 0; x < image.width(); ++x) {
        if (isBadge(image, x, row))
            return x;
    }
    return -1;
}

} // namespace

class TestTrayBadge : public QObject
{
    Q_OBJECT

private slots:
    void noBadgeWithoutUnread_data();
    void noBadgeWithoutUnread();
    void smallCountInTopRightCorner();
    void widthGrowsWithText();
    void capsAtNinetyNinePlus();
    void followsDevicePixelRatio();
    void nullIconStaysNull();
    void autoStartFollowsThisExecutable();
};

void TestTrayBadge::noBadgeWithoutUnread_data()
{
    QTest::addColumn<int>("total");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -3;
}

void TestTrayBadge::noBadgeWithoutUnread()
{
    QFETCH(int, total);
    const QPixmap icon = plainIcon();
    QCOMPARE(paintTrayBadge(icon, total).toImage(), icon.toImage());
}

void TestTrayBadge::smallCountInTopRightCorner()
{
    const QPixmap icon = plainIcon();
    const QImage image = paintTrayBadge(icon, 5).toImage();
    QCOMPARE(image.size(), QSize(64, 64));

    // The input is untouched (the badge goes on a copy).
    QVERIFY(isIcon(icon.toImage(), 50, 16));

    // A one-digit count gets the minimum width 34: x 28..62, y 0..31.
    QVERIFY(isBadge(image, 32, 16)); // left cap
    QVERIFY(isBadge(image, 59, 16)); // right cap
    QVERIFY(isBadge(image, 45, 3)); // top edge
    QVERIFY(isBadge(image, 45, 29)); // bottom edge
    QVERIFY(isIcon(image, 24, 16)); // left of the badge
    QVERIFY(isIcon(image, 63, 16)); // the 2 px right margin
    QVERIFY(isIcon(image, 45, 34)); // below the badge
    QVERIFY(isIcon(image, 5, 60)); // the rest of the icon
    QVERIFY(isIcon(image, 28, 1)); // rounded corner, not a square
    // Left edge at x 28, antialiased.
    QVERIFY(badgeLeftEdge(image) >= 28 && badgeLeftEdge(image) <= 29);

    // White digit in the middle.
    bool white = false;
    for (int x = 36; x < 56 && !white; ++x) {
        for (int y = 6; y < 26 && !white; ++y)
            white = QColor(image.pixel(x, y)).lightness() > 240;
    }
    QVERIFY(white);
}

void TestTrayBadge::widthGrowsWithText()
{
    const QPixmap icon = plainIcon();
    const int one = badgeLeftEdge(paintTrayBadge(icon, 5).toImage());
    const int two = badgeLeftEdge(paintTrayBadge(icon, 88).toImage());
    QVERIFY(one > 0);
    QVERIFY(two > 0);
    QVERIFY2(two <= one, "two digits never give a narrower badge");
    // The right edge stays put.
    QVERIFY(isBadge(paintTrayBadge(icon, 88).toImage(), 59, 16));
    QVERIFY(isIcon(paintTrayBadge(icon, 88).toImage(), 63, 16));
}

void TestTrayBadge::capsAtNinetyNinePlus()
{
    const QPixmap icon = plainIcon();
    const QImage at99 = paintTrayBadge(icon, 99).toImage();
    const QImage at100 = paintTrayBadge(icon, 100).toImage();
    const QImage at120 = paintTrayBadge(icon, 120).toImage();
    const QImage at5000 = paintTrayBadge(icon, 5000).toImage();

    // Everything above 99 reads "99+".
    QCOMPARE(at120, at100);
    QCOMPARE(at5000, at100);
    QVERIFY(at99 != at100);

    // "99+" is wider than a single digit, with the right edge unchanged.
    const int single = badgeLeftEdge(paintTrayBadge(icon, 5).toImage());
    const int capped = badgeLeftEdge(at120);
    QVERIFY(capped > 0);
    QVERIFY2(capped < single, qPrintable(QStringLiteral("%1 vs %2").arg(capped).arg(single)));
    QVERIFY(isIcon(at120, 63, 16));
    QVERIFY(isIcon(at120, 10, 40));
}

void TestTrayBadge::followsDevicePixelRatio()
{
    // A high-density icon keeps the badge in its top-right corner.
    const QImage image = paintTrayBadge(plainIcon(2.0), 5).toImage();
    QCOMPARE(image.size(), QSize(128, 128));
    QVERIFY(isBadge(image, 118, 32));
    QVERIFY(isIcon(image, 126, 32));
    QVERIFY(isIcon(image, 40, 32));
    QVERIFY(isIcon(image, 90, 80));
}

void TestTrayBadge::nullIconStaysNull()
{
    QVERIFY(paintTrayBadge(QPixmap(), 7).isNull());
}

void TestTrayBadge::autoStartFollowsThisExecutable()
{
#ifdef Q_OS_WIN
    QSKIP("the registry entry is not touched by tests");
#else
    const QString path = autoStartEntryPath();
    QVERIFY(path.contains(QStringLiteral("autostart")));
    QFile::remove(path);
    QVERIFY(!isAutoStartEnabled());

    setAutoStartEnabled(true);
    QVERIFY(isAutoStartEnabled());
    QFile entry(path);
    QVERIFY(entry.open(QIODevice::ReadOnly));
    const QByteArray contents = entry.readAll();
    entry.close();
    const QByteArray quoted
        = '"' + QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toUtf8() + '"';
    QVERIFY2(contents.contains("Exec=" + quoted), contents.constData());

    // An entry that starts another copy of the program reads as off...
    QVERIFY(entry.open(QIODevice::WriteOnly | QIODevice::Truncate));
    entry.write("[Desktop Entry]\nType=Application\nExec=\"/opt/other/orvantis\"\n");
    entry.close();
    QVERIFY(!isAutoStartEnabled());
    // ...and switching on points it at this one.
    setAutoStartEnabled(true);
    QVERIFY(isAutoStartEnabled());

    setAutoStartEnabled(false);
    QVERIFY(!isAutoStartEnabled());
    QVERIFY(!QFileInfo::exists(path));
    setAutoStartEnabled(false); // switching off twice is harmless
    QVERIFY(!isAutoStartEnabled());
#endif
}

ORVANTIS_TEST_MAIN(TestTrayBadge)
#include "tst_traybadge.moc"
