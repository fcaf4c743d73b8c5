#include "testsupport.h"

#include "app/singleinstance.h"
#include "devserver/standinserver.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSharedMemory>
#include <QUuid>

#include <memory>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    // The guard itself, in this process.
    void secondGuardSendsShow();
    void lockHeldWithoutSegmentDefers();
    void liveHolderWithoutLockFileStillWins();

    // The real program, as separate processes.
    void secondStartExitsAfterHandOver();
    void killedInstanceDoesNotBlockNextStart();

private:
    SingleInstanceGuard::Names uniqueNames() const;
    QProcess *startProgram();
    bool ipcServerAnswers() const;
    void stopAll();

    QTemporaryDir m_guardDir;
    QTemporaryDir m_tmp; // TMPDIR of the programs: shared memory key file, lock, socket
    QTemporaryDir m_config; // their XDG_CONFIG_HOME
    StandIn::StandInServer m_server;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestSingleInstance::initTestCase()
{
    QVERIFY(m_guardDir.isValid() && m_tmp.isValid() && m_config.isValid());
    QVERIFY(m_server.listen());
}

void TestSingleInstance::cleanup()
{
    stopAll();
}

void TestSingleInstance::cleanupTestCase()
{
    stopAll();
    // A killed instance leaves its segment behind; the last detach removes it.
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    {
        QSharedMemory leftover(QStringLiteral("QuvelaKefuSingleInstance"));
        if (leftover.attach())
            leftover.detach();
    }
    qputenv("TMPDIR", savedTmp);
}

SingleInstanceGuard::Names TestSingleInstance::uniqueNames() const
{
    const QString tag = QUuid::createUuid().toString(QUuid::Id128).left(12);
    SingleInstanceGuard::Names names;
    names.memoryKey = QStringLiteral("OrvantisTestGuard-") + tag;
    names.serverName = QStringLiteral("OrvantisTestIpc-") + tag;
    names.lockFilePath = m_guardDir.filePath(QStringLiteral("guard-") + tag + QStringLiteral(".lock"));
    return names;
}

void TestSingleInstance::secondGuardSendsShow()
{
    const auto names = uniqueNames();
    SingleInstanceGuard first(names);
    QCOMPARE(first.acquire(), SingleInstanceGuard::Outcome::Primary);

    QLocalServer server;
    QVERIFY(server.listen(names.serverName));
    SingleInstanceGuard second(names);
    QCOMPARE(second.acquire(), SingleInstanceGuard::Outcome::HandedOver);
    QVERIFY(!second.isPrimary());

    QVERIFY(server.waitForNewConnection(5000));
    QLocalSocket *socket = server.nextPendingConnection();
    QTRY_VERIFY(socket->bytesAvailable() >= 4 || socket->state() != QLocalSocket::ConnectedState);
    QCOMPARE(socket->readAll(), QByteArray("SHOW")); // four bytes, nothing else
}

void TestSingleInstance::lockHeldWithoutSegmentDefers()
{
    // An instance that holds the lock but has not created its segment yet is
    // starting up: a concurrent start must not run a second client.
    const auto names = uniqueNames();
    QLockFile starting(names.lockFilePath);
    QVERIFY(starting.tryLock(0));
    SingleInstanceGuard guard(names);
    QCOMPARE(guard.acquire(), SingleInstanceGuard::Outcome::NoAnswer);
    QVERIFY(!guard.isPrimary());
}

void TestSingleInstance::liveHolderWithoutLockFileStillWins()
{
    const auto names = uniqueNames();
    SingleInstanceGuard first(names);
    QCOMPARE(first.acquire(), SingleInstanceGuard::Outcome::Primary);
    // A cleaner of the temporary directory removes the lock file; the first
    // instance's segment survives, so a later start still defers.
    QVERIFY(QFile::remove(names.lockFilePath));
    SingleInstanceGuard second(names);
    QCOMPARE(second.acquire(), SingleInstanceGuard::Outcome::NoAnswer);
    QVERIFY(first.isPrimary());
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("Could not remove our own lock file")));
}

QProcess *TestSingleInstance::startProgram()
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(QStringLiteral(ORVANTIS_EXECUTABLE));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TMPDIR"), m_tmp.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
    env.insert(QStringLiteral("ORVANTIS_API_URL"), m_server.restBaseUrl());
    env.insert(QStringLiteral("ORVANTIS_WSS_URL"), m_server.wssUrl());
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start();
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

bool TestSingleInstance::ipcServerAnswers() const
{
    QLocalSocket socket;
    socket.connectToServer(m_tmp.filePath(QStringLiteral("QuvelaKefuIpc")));
    return socket.waitForConnected(200);
}

void TestSingleInstance::stopAll()
{
    for (auto &process : m_processes) {
        process->kill();
        process->waitForFinished();
    }
    m_processes.clear();
}

void TestSingleInstance::secondStartExitsAfterHandOver()
{
    QProcess *first = startProgram();
    // The first instance is up once its hand-over server listens (it then sits
    // at the login dialog, since no token is stored).
    QTRY_VERIFY_WITH_TIMEOUT(ipcServerAnswers(), 20000);

    QProcess *second = startProgram();
    QVERIFY(second->waitForFinished(20000)); // a box would keep it running
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(first->state(), QProcess::Running);

    // Whatever a client sends, the hand-over server reads it and hangs up.
    for (const QByteArray &payload : {QByteArray("xx\nSHOW\r\nyy"), QByteArray("\0\1\2\3", 4)}) {
        QLocalSocket socket;
        socket.connectToServer(m_tmp.filePath(QStringLiteral("QuvelaKefuIpc")));
        QVERIFY(socket.waitForConnected(5000));
        socket.write(payload);
        QVERIFY(socket.waitForBytesWritten(5000));
        QTRY_COMPARE(socket.state(), QLocalSocket::UnconnectedState);
    }
    QCOMPARE(first->state(), QProcess::Running);
    QVERIFY(ipcServerAnswers());
}

void TestSingleInstance::killedInstanceDoesNotBlockNextStart()
{
    QProcess *first = startProgram();
    QTRY_VERIFY_WITH_TIMEOUT(ipcServerAnswers(), 20000);
    first->kill(); // SIGKILL: segment, lock file and socket name are left behind
    QVERIFY(first->waitForFinished());
    QVERIFY(!ipcServerAnswers());

    // The next start gets past the stale guard and opens its own hand-over
    // server instead of deferring to the dead instance.
    QProcess *next = startProgram();
    QTRY_VERIFY_WITH_TIMEOUT(ipcServerAnswers(), 20000);
    QCOMPARE(next->state(), QProcess::Running);

    // And it is a live instance that later starts defer to.
    QProcess *later = startProgram();
    QVERIFY(later->waitForFinished(20000));
    QCOMPARE(later->exitCode(), 0);
    QCOMPARE(next->state(), QProcess::Running);
}

ORVANTIS_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
