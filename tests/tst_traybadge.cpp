#include "testsupport.h"

#include "shell/traybadge.h"

#include <QColor>
#include <QFile>
#include <QImage>
#include <QPixmap>

namespace {

const QColor iconColour(30, 90, 200);
const QColor badgeColour(244, 63, 94);

QPixmap plainIcon()
{
    QPixmap icon(64, 64);
    icon.fill(iconColour);
    return icon;
}

QImage badged(int total) { return paintTrayBadge(plainIcon(), total).toImage(); }
bool isBadge(const QImage &image, int x, int y) { return QColor(image.pixel(x, y)) == badgeColour; }
bool isIcon(const QImage &image, int x, int y) { return QColor(image.pixel(x, y)) == iconColour; }

// Leftmost badge-coloured pixel on the badge's middle row, -1 if none.
int badgeLeftEdge(const QImage &image)
{
    for (int x = 0; x < image.width(); ++x) {
        if (isBadge(image, x, 16))
            return x;
    }
    return -1;
}

} // namespace

class TestTrayBadge : public QObject
{
    Q_OBJECT

private slots:
    void noBadgeWithoutUnread();
    void smallCountInTopRightCorner();
    void capsAtNinetyNinePlus();
    void autoStartFollowsThisExecutable();
};

void TestTrayBadge::noBadgeWithoutUnread()
{
    QCOMPARE(badged(0), plainIcon().toImage());
    QCOMPARE(badged(-3), plainIcon().toImage());
    QVERIFY(paintTrayBadge(QPixmap(), 7).isNull());
}

void TestTrayBadge::smallCountInTopRightCorner()
{
    const QImage image = badged(5);
    QCOMPARE(image.size(), QSize(64, 64));
    // A one-digit count gets the minimum width 34: x 28..62, y 0..31, rounded.
    QVERIFY(isBadge(image, 32, 16) && isBadge(image, 59, 16));
    QVERIFY(isBadge(image, 45, 3) && isBadge(image, 45, 29));
    QVERIFY(isIcon(image, 24, 16)); // left of the badge
    QVERIFY(isIcon(image, 63, 16)); // the 2 px right margin
    QVERIFY(isIcon(image, 45, 34)); // below the badge
    QVERIFY(isIcon(image, 28, 1)); // rounded corner, not a square
    QVERIFY(badgeLeftEdge(image) >= 28 && badgeLeftEdge(image) <= 29);

    bool white = false; // the digit
    for (int x = 36; x < 56; ++x) {
        for (int y = 6; y < 26; ++y)
            white = white || QColor(image.pixel(x, y)).lightness() > 240;
    }
    QVERIFY(white);
}

void TestTrayBadge::capsAtNinetyNinePlus()
{
    const QImage capped = badged(120);
    // Everything above 99 reads "99+".
    QCOMPARE(badged(100), capped);
    QCOMPARE(badged(5000), capped);
    QVERIFY(badged(99) != capped);
    // "99+" is wider than a single digit, with the right edge unchanged.
    QVERIFY(badgeLeftEdge(capped) > 0);
    QVERIFY(badgeLeftEdge(capped) < badgeLeftEdge(badged(5)));
    QVERIFY(isIcon(capped, 63, 16));
    QVERIFY(isIcon(capped, 10, 40));
}

void TestTrayBadge::autoStartFollowsThisExecutable()
{
#ifdef Q_OS_WIN
    QSKIP("the registry entry is not touched by tests");
#else
    const QString path = autoStartEntryPath();
    setAutoStartEnabled(true);
    QVERIFY(isAutoStartEnabled());

    // An entry that starts another copy of the program reads as off...
    QFile entry(path);
    QVERIFY(entry.open(QIODevice::WriteOnly));
    entry.write("[Desktop Entry]\nType=Application\nExec=\"/opt/other/orvantis\"\n");
    entry.close();
    QVERIFY(!isAutoStartEnabled());
    // ...and switching on points it at this one.
    setAutoStartEnabled(true);
    QVERIFY(isAutoStartEnabled());
    QVERIFY(entry.open(QIODevice::ReadOnly));
    const QByteArray quoted
        = '"' + QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toUtf8() + '"';
    QVERIFY2(entry.readAll().contains("Exec=" + quoted), qPrintable(path));
    entry.close();

    setAutoStartEnabled(false);
    QVERIFY(!isAutoStartEnabled());
    QVERIFY(!QFileInfo::exists(path));
#endif
}

ORVANTIS_TEST_MAIN(TestTrayBadge)
#include "tst_traybadge.moc"
