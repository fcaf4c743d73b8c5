#include "testsupport.h"

#include "app/singleinstance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QUuid>

using Outcome = SingleInstanceGuard::Outcome;

class TestSingleInstance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    // The guard in this process, against a running instance made of its parts;
    // the plain first and second start are left to the real program below.
    void acquire()
    {
        // The lock file ("free" or "held" by a live process), the shared
        // memory of a running instance, its hand-over server listening, the outcome.
        const QList<std::tuple<const char *, QString, bool, bool, Outcome>> rows {
            {"nobody", "free", false, true, Outcome::Primary},
            {"running, deaf", "held", true, false, Outcome::NoAnswer},
            // Lock taken but no segment yet: an instance is starting up.
            {"starting", "held", false, true, Outcome::HandedOver},
            // The lock file went missing (a temp cleaner) while the instance runs.
            {"lock file removed", "free", true, true, Outcome::HandedOver}};
        for (const auto &[row, lock, segment, listening, outcome] : rows) {
            const auto label = TestSupport::rowLabel(row);
            const QString tag = QUuid::createUuid().toString(QUuid::Id128).left(12);
            const SingleInstanceGuard::Names names {"OrvantisTestGuard-" + tag,
                                                    "OrvantisTestIpc-" + tag, m_dir.filePath(tag)};

            QLockFile running(names.lockFilePath);
            QVERIFY(lock != "held" || running.tryLock(0));
            QSharedMemory memory(names.memoryKey);
            QVERIFY(!segment || memory.create(1));
            QLocalServer server;
            QVERIFY(!listening || server.listen(names.serverName));

            auto guard = std::make_unique<SingleInstanceGuard>(names);
            QCOMPARE(guard->acquire(), outcome);
            if (outcome == Outcome::HandedOver) {
                QVERIFY(server.waitForNewConnection(5000));
                QLocalSocket *socket = server.nextPendingConnection();
                QVERIFY(socket->bytesAvailable() || socket->waitForReadyRead(5000));
                QCOMPARE(socket->readAll(), QByteArray("SHOW")); // four bytes, nothing else
            }
            // A guard that does not run the client leaves a free lock free, and a
            // primary one holds it until it goes.
            QCOMPARE(QLockFile(names.lockFilePath).tryLock(0),
                     lock == "free" && outcome != Outcome::Primary);
            guard.reset(); // a primary guard lets go when it goes
            QCOMPARE(SingleInstanceGuard(names).acquire(), outcome);
        }
    }

    // The real program: a killed instance leaves its segment, lock file and
    // socket name behind, and must not block the next start.
    void killedInstanceDoesNotBlockNextStart()
    {
        // Programs and test share a temporary folder of their own (see TestSupport).
        qputenv("ORVANTIS_API_URL", "http://127.0.0.1:1/api"); // never the real service
        qputenv("ORVANTIS_WSS_URL", "ws://127.0.0.1:1/wss");
        QProcess first, next, later;
        const auto answers = [] {
            QLocalSocket socket;
            socket.connectToServer(QStringLiteral("QuvelaKefuIpc"));
            return socket.waitForConnected(200);
        };
        first.start(ORVANTIS_EXECUTABLE, {});
        QTRY_VERIFY_WITH_TIMEOUT(answers(), 20000); // up and waiting at the login dialog
        first.kill();
        QVERIFY(first.waitForFinished() && !answers());
        next.start(ORVANTIS_EXECUTABLE, {});
        QTRY_VERIFY_WITH_TIMEOUT(answers(), 20000);
        // A later start hands over to the live instance and quietly exits.
        later.start(ORVANTIS_EXECUTABLE, {});
        QVERIFY(later.waitForFinished(20000)); // a box would keep it running
        QCOMPARE(later.exitCode(), 0);
        QCOMPARE(next.state(), QProcess::Running);
        next.kill();
        QVERIFY(next.waitForFinished());
        // The segment the killed instances left goes with its last attachment.
        QSharedMemory leftover(QStringLiteral("QuvelaKefuSingleInstance"));
        if (leftover.attach())
            leftover.detach();
    }
};

ORVANTIS_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
