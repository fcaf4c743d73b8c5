// Files of the client belong to its user: the private runtime folder, the
// chime written into it, and the settings.

#include "testsupport.h"

#include "shell/userfiles.h"
#include "widgets/notifysound.h"

#include <QSettings>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int modeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

} // namespace

class TestUserFiles : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void runtimeDir_data()
    {
        QTest::addColumn<QString>("xdg"); // "", or a folder below the test's own
        QTest::addColumn<QString>("planted"); // what waits at orvantis-<uid> in the temp folder
        QTest::addColumn<QString>("expected"); // where the folder ends up, below the test's own
        const QString own = QStringLiteral("tmp/orvantis-%1").arg(::getuid());
        const QString moved = "cache/orvantis/run";
        QTest::newRow("runtime folder") << QString("xdg") << QString() << "xdg/orvantis";
        QTest::newRow("no runtime folder") << QString() << QString() << own;
        QTest::newRow("left open by an older version") << QString() << "open" << own;
        QTest::newRow("a link planted by another user") << QString() << "link" << moved;
        QTest::newRow("a file planted") << QString() << "file" << moved;
    }
    void runtimeDir()
    {
        QFETCH(QString, xdg);
        QFETCH(QString, planted);
        QFETCH(QString, expected);
        QTemporaryDir root;
        QDir(root.path()).mkpath("tmp");
        QDir(root.path()).mkpath("elsewhere");
        const QString shared = root.filePath(QStringLiteral("tmp/orvantis-%1").arg(::getuid()));
        if (planted == "open")
            QVERIFY(QDir().mkpath(shared) && ::chmod(qPrintable(shared), 0755) == 0);
        if (planted == "link")
            QVERIFY(QFile::link(root.filePath("elsewhere"), shared));
        if (planted == "file")
            QVERIFY(QFile(shared).open(QIODevice::WriteOnly));
        if (!xdg.isEmpty())
            QDir(root.path()).mkpath(xdg);
        qputenv("XDG_RUNTIME_DIR", xdg.isEmpty() ? QByteArray() : root.filePath(xdg).toLocal8Bit());
        qputenv("TMPDIR", root.filePath("tmp").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", root.filePath("cache").toLocal8Bit());
        QStandardPaths::setTestModeEnabled(false); // the cache folder follows XDG_CACHE_HOME
        const QString dir = UserFiles::runtimeDir();
        QStandardPaths::setTestModeEnabled(true);

        QCOMPARE(dir, root.filePath(expected));
        QCOMPARE(modeOf(dir), 0700);
        // Nothing was written where the planted link pointed.
        QVERIFY(QDir(root.filePath("elsewhere")).isEmpty());
    }

    // The chime goes into the private folder under a temporary name and is
    // renamed over whatever was there: a link is replaced, its target untouched.
    void chimeReplacesALink()
    {
        const QString victim = m_dir.filePath("victim"), chime = m_dir.filePath("notify.wav");
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("precious") == 8);
        file.close();
        QVERIFY(QFile::link(victim, chime));
        QString chosen;
        QVERIFY(NotifySound::prepareSoundFile(m_dir.filePath("none.wav"), chime,
                                              NotifySound::synthesizeChimeWav(), &chosen));
        QCOMPARE(chosen, chime);
        QVERIFY(!QFileInfo(chime).isSymLink());
        QFile written(chime), kept(victim);
        QVERIFY(written.open(QIODevice::ReadOnly) && kept.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), NotifySound::synthesizeChimeWav());
        QCOMPARE(kept.readAll(), QByteArray("precious"));
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::System).size(), 2);
    }

    // Settings an older version left readable become private, and stay so
    // after later writes, new files included.
    void settingsArePrivate()
    {
        QSettings config("orvantis", "config"), window;
        config.setValue("token", "secret");
        window.setValue("drafts/12/7", "words of a visitor");
        config.sync();
        window.sync();
        const QString folder = QFileInfo(config.fileName()).absolutePath();
        QVERIFY(::chmod(qPrintable(folder), 0755) == 0);
        QVERIFY(::chmod(qPrintable(config.fileName()), 0644) == 0);
        QVERIFY(::chmod(qPrintable(window.fileName()), 0644) == 0);

        const mode_t before = ::umask(022);
        UserFiles::makeSettingsPrivate();
        QCOMPARE(QList<int>({modeOf(folder), modeOf(config.fileName()), modeOf(window.fileName())}),
                 QList<int>({0700, 0600, 0600}));
        config.setValue("token", "another");
        config.sync();
        QFile::remove(window.fileName());
        window.setValue("window/geometry", QByteArray("x"));
        window.sync();
        QCOMPARE(QList<int>({modeOf(config.fileName()), modeOf(window.fileName())}),
                 QList<int>({0600, 0600}));
        ::umask(before);
    }
};

ORVANTIS_TEST_MAIN(TestUserFiles)
#include "tst_userfiles.moc"
