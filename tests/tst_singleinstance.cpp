#include "testsupport.h"

#include "app/singleinstance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <sys/stat.h>
#include <unistd.h>

using Outcome = SingleInstanceGuard::Outcome;

namespace {

bool answers(const QString &serverName)
{
    QLocalSocket socket;
    socket.connectToServer(serverName);
    return socket.waitForConnected(200);
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

    // A stand-in service nobody listens on: never the real one.
    static QProcessEnvironment programEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORVANTIS_API_URL", "http://127.0.0.1:1/api");
        env.insert("ORVANTIS_WSS_URL", "ws://127.0.0.1:1/wss");
        return env;
    }

private slots:
    // The guard in this process, against a running instance made of its parts;
    // the plain first and second start are left to the real program below.
    void acquire_data()
    {
        QTest::addColumn<QString>("lock"); // "free", "held" by a live process, "dead" owner's
        QTest::addColumn<bool>("listening"); // the hand-over server of the running instance
        QTest::addColumn<Outcome>("outcome");
        QTest::newRow("nobody") << "free" << false << Outcome::Primary;
        QTest::newRow("running, deaf") << "held" << false << Outcome::NoAnswer;
        QTest::newRow("running") << "held" << true << Outcome::HandedOver;
        QTest::newRow("killed, its socket left") << "dead" << false << Outcome::Primary;
    }
    void acquire()
    {
        QFETCH(QString, lock);
        QFETCH(bool, listening);
        QFETCH(Outcome, outcome);
        QTemporaryDir folder;
        const QString lockPath = folder.filePath("instance.lock");

        QLockFile running(lockPath);
        QVERIFY(lock != "held" || running.tryLock(0));
        if (lock == "dead") {
            QFile file(lockPath); // as a killed instance leaves it: its pid is gone
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("2147483646\norvantis\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        }
        QLocalServer server;
        QVERIFY(!listening || server.listen(SingleInstanceGuard::serverName(folder.path())));
        if (lock == "dead")
            QVERIFY(
                QFile(SingleInstanceGuard::serverName(folder.path())).open(QIODevice::WriteOnly));

        auto guard = std::make_unique<SingleInstanceGuard>(folder.path());
        QCOMPARE(guard->acquire(), outcome);
        if (outcome == Outcome::HandedOver) {
            QVERIFY(server.waitForNewConnection(5000));
            QLocalSocket *socket = server.nextPendingConnection();
            QVERIFY(socket->bytesAvailable() || socket->waitForReadyRead(5000));
            QCOMPARE(socket->readAll(), QByteArray("SHOW")); // four bytes, nothing else
        }
        // A primary guard holds the lock until it goes, and lets go then.
        QCOMPARE(QLockFile(lockPath).tryLock(0), outcome != Outcome::Primary && lock != "held");
        guard.reset();
        QCOMPARE(SingleInstanceGuard(folder.path()).acquire(), outcome);
    }

    // The real program, twenty times in a row: whether the last one was
    // killed or ended, and whatever it left behind, the next one starts; a
    // later start meanwhile hands over to the live one and quietly exits.
    void everyStartAfterAnEndStarts()
    {
        const QString name = SingleInstanceGuard::serverName();
        for (int round = 0; round < 20; ++round) {
            QProcess instance;
            instance.setProcessEnvironment(programEnvironment());
            instance.start(ORVANTIS_EXECUTABLE, {});
            QTRY_VERIFY2_WITH_TIMEOUT(answers(name), qPrintable(QString::number(round)), 20000);
            if (round % 5 == 0) {
                QProcess later;
                later.setProcessEnvironment(programEnvironment());
                later.start(ORVANTIS_EXECUTABLE, {});
                QVERIFY(later.waitForFinished(20000)); // a box would keep it running
                QCOMPARE(later.exitCode(), 0);
                QCOMPARE(instance.state(), QProcess::Running);
            }
            if (round % 2)
                instance.kill();
            else
                instance.terminate();
            QVERIFY(instance.waitForFinished());
            QVERIFY(!answers(name));
        }
    }

    // Two users on one machine, with one shared temporary folder and no
    // runtime folders: each runs a client of their own.
    void twoUsersEachRunTheirOwn()
    {
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (::getuid() != 0 || setpriv.isEmpty())
            QSKIP("needs root and setpriv to run the program as a second user");
        const QStringList asNobody {"--reuid=65534", "--regid=65534", "--clear-groups"};
        if (QProcess::execute(setpriv, asNobody + QStringList {"test", "-x", ORVANTIS_EXECUTABLE}))
            QSKIP("the second user (65534) cannot run the program from this build folder");

        QTemporaryDir shared("/tmp/orvantis-users-XXXXXX"); // reachable by both users
        QVERIFY(::chmod(qPrintable(shared.path()), 01777) == 0);
        const QString otherHome = shared.filePath("home");
        QVERIFY(QDir().mkpath(otherHome) && ::chown(qPrintable(otherHome), 65534, 65534) == 0);
        QProcess mine, theirs;
        QProcessEnvironment env = programEnvironment();
        env.remove("XDG_RUNTIME_DIR");
        env.insert("TMPDIR", shared.path());
        mine.setProcessEnvironment(env);
        for (const char *key : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
            env.insert(key, otherHome);
        theirs.setProcessEnvironment(env);
        // The other user starts first and so could take any fixed name.
        theirs.start(setpriv, asNobody + QStringList {ORVANTIS_EXECUTABLE});
        const QString theirName = shared.filePath("orvantis-65534/ipc");
        QTRY_VERIFY_WITH_TIMEOUT(answers(theirName), 20000);
        mine.start(ORVANTIS_EXECUTABLE, {});
        const QString myName = shared.filePath("orvantis-0/ipc");
        QTRY_VERIFY_WITH_TIMEOUT(answers(myName), 20000);
        QCOMPARE(theirs.state(), QProcess::Running);
        QCOMPARE(QFileInfo(shared.filePath("orvantis-65534")).permissions()
                     & (QFile::ReadOther | QFile::ReadGroup),
                 QFile::Permissions());
        for (QProcess *p : {&mine, &theirs}) {
            p->kill();
            QVERIFY(p->waitForFinished());
        }
    }
};

ORVANTIS_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
