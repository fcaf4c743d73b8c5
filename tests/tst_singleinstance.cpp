#include "testsupport.h"

#include "app/singleinstance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QUuid>

#include <memory>

using Outcome = SingleInstanceGuard::Outcome;

class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    // The guard in this process, against a running instance made of its parts.
    void acquire_data()
    {
        QTest::addColumn<QString>("lock"); // "free", "held" by a live process, "unusable"
        QTest::addColumn<bool>("segment"); // the shared memory of a running instance
        QTest::addColumn<bool>("listening"); // its hand-over server
        QTest::addColumn<Outcome>("outcome");
        QTest::newRow("nobody") << "free" << false << true << Outcome::Primary;
        QTest::newRow("running") << "held" << true << true << Outcome::HandedOver;
        QTest::newRow("running, deaf") << "held" << true << false << Outcome::NoAnswer;
        // Lock taken but no segment yet: an instance is starting up.
        QTest::newRow("starting") << "held" << false << true << Outcome::HandedOver;
        QTest::newRow("starting, deaf") << "held" << false << false << Outcome::NoAnswer;
        // The lock file went missing (a temp cleaner) while the instance runs.
        QTest::newRow("lock file removed") << "free" << true << true << Outcome::HandedOver;
        QTest::newRow("lock file removed, deaf") << "free" << true << false << Outcome::NoAnswer;
        // No lock file possible: the shared memory alone decides.
        QTest::newRow("no lock, nobody") << "unusable" << false << true << Outcome::Primary;
        QTest::newRow("no lock, running") << "unusable" << true << true << Outcome::HandedOver;
    }

    void acquire()
    {
        QFETCH(QString, lock);
        QFETCH(bool, segment);
        QFETCH(bool, listening);
        QFETCH(Outcome, outcome);
        const QString tag = QUuid::createUuid().toString(QUuid::Id128).left(12);
        SingleInstanceGuard::Names names;
        names.memoryKey = QStringLiteral("OrvantisTestGuard-") + tag;
        names.serverName = QStringLiteral("OrvantisTestIpc-") + tag;
        names.lockFilePath = m_dir.filePath(lock == "unusable" ? "missing/" + tag : tag);

        QLockFile running(names.lockFilePath);
        QVERIFY(lock != "held" || running.tryLock(0));
        QSharedMemory memory(names.memoryKey);
        QVERIFY(!segment || memory.create(1));
        QLocalServer server;
        QVERIFY(!listening || server.listen(names.serverName));

        auto guard = std::make_unique<SingleInstanceGuard>(names);
        QCOMPARE(guard->acquire(), outcome);
        QCOMPARE(guard->isPrimary(), outcome == Outcome::Primary);
        if (outcome == Outcome::HandedOver) {
            QVERIFY(server.waitForNewConnection(5000));
            QLocalSocket *socket = server.nextPendingConnection();
            QTRY_VERIFY(socket->bytesAvailable() >= 4
                        || socket->state() != QLocalSocket::ConnectedState);
            QCOMPARE(socket->readAll(), QByteArray("SHOW")); // four bytes, nothing else
        }
        QVERIFY(!server.hasPendingConnections());
        // A guard that does not run the client leaves a free lock free, and a
        // primary one holds it until it goes.
        QCOMPARE(QLockFile(names.lockFilePath).tryLock(0),
                 lock == "free" && outcome != Outcome::Primary);
        if (outcome == Outcome::Primary) {
            QCOMPARE(guard->acquire(), outcome); // asking again changes nothing
            guard.reset();
            QCOMPARE(SingleInstanceGuard(names).acquire(), Outcome::Primary);
        }
    }

    // The real program: a killed instance leaves its segment, lock file and
    // socket name behind, and must not block the next start.
    void killedInstanceDoesNotBlockNextStart()
    {
        QTemporaryDir tmp; // the programs' temporary directory and settings
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TMPDIR", tmp.path());
        env.insert("XDG_CONFIG_HOME", tmp.path());
        env.insert("ORVANTIS_API_URL", "http://127.0.0.1:1/api"); // never the real service
        env.insert("ORVANTIS_WSS_URL", "ws://127.0.0.1:1/wss");
        std::vector<std::unique_ptr<QProcess>> programs;
        const auto start = [&] {
            programs.push_back(std::make_unique<QProcess>());
            programs.back()->setProcessEnvironment(env);
            programs.back()->start(ORVANTIS_EXECUTABLE, {});
            return programs.back().get();
        };
        const auto answers = [&] {
            QLocalSocket socket;
            socket.connectToServer(tmp.filePath("QuvelaKefuIpc"));
            return socket.waitForConnected(200);
        };

        QProcess *first = start();
        QTRY_VERIFY_WITH_TIMEOUT(answers(), 20000); // up and waiting at the login dialog
        first->kill();
        QVERIFY(first->waitForFinished());
        QVERIFY(!answers());

        QProcess *next = start();
        QTRY_VERIFY_WITH_TIMEOUT(answers(), 20000);
        // A later start hands over to the live instance and quietly exits.
        QProcess *later = start();
        QVERIFY(later->waitForFinished(20000)); // a box would keep it running
        QCOMPARE(later->exitCode(), 0);
        QCOMPARE(next->state(), QProcess::Running);
        next->kill();
        QVERIFY(next->waitForFinished());
        // The segment the killed instances left goes with its last attachment.
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        QSharedMemory leftover(QStringLiteral("QuvelaKefuSingleInstance"));
        if (leftover.attach())
            leftover.detach();
    }
};

ORVANTIS_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
