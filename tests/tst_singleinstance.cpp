#include "testsupport.h"

#include "app/singleinstance.h"
#include "devserver/standinserver.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSharedMemory>
#include <QSysInfo>
#include <QUuid>

#include <memory>

namespace {

SingleInstanceGuard::Names uniqueNames(const QTemporaryDir &dir)
{
    const QString tag = QUuid::createUuid().toString(QUuid::Id128).left(12);
    SingleInstanceGuard::Names names;
    names.memoryKey = QStringLiteral("OrvantisTestGuard-") + tag;
    names.serverName = QStringLiteral("OrvantisTestIpc-") + tag;
    names.lockFilePath = dir.filePath(QStringLiteral("guard-") + tag + QStringLiteral(".lock"));
    return names;
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    // The guard itself, in this process.
    void secondGuardHandsOver();
    void noAnswerWithoutServer();
    void releasedGuardCanBeTaken();
    void lockHeldWithoutSegmentDefers();
    void lockOfDeadProcessIsStale();
    void liveHolderWithoutLockFileStillWins();

    // The real program, as separate processes.
    void secondStartExitsAfterHandOver();
    void killedInstanceDoesNotBlockNextStart();
    void ipcServerClosesEveryConnection_data();
    void ipcServerClosesEveryConnection();

private:
    std::unique_ptr<QProcess> startProgram();
    bool ipcServerAnswers() const;
    QString ipcPath() const { return m_tmp.filePath(QStringLiteral("QuvelaKefuIpc")); }
    void stopAll();

    QTemporaryDir m_guardDir;
    QTemporaryDir m_tmp; // TMPDIR of the programs: shared memory key file, lock, socket
    QTemporaryDir m_config; // their XDG_CONFIG_HOME
    StandIn::StandInServer m_server;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestSingleInstance::initTestCase()
{
    QVERIFY(m_guardDir.isValid());
    QVERIFY(m_tmp.isValid());
    QVERIFY(m_config.isValid());
    QVERIFY(m_server.listen());
    QVERIFY(QFileInfo::exists(QStringLiteral(ORVANTIS_EXECUTABLE)));
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
    if (savedTmp.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmp);
}

void TestSingleInstance::secondGuardHandsOver()
{
    const auto names = uniqueNames(m_guardDir);
    SingleInstanceGuard first(names);
    QCOMPARE(first.acquire(), SingleInstanceGuard::Outcome::Primary);
    QVERIFY(first.isPrimary());

    QLocalServer server;
    QVERIFY(server.listen(names.serverName));
    SingleInstanceGuard second(names);
    QCOMPARE(second.acquire(), SingleInstanceGuard::Outcome::HandedOver);
    QVERIFY(!second.isPrimary());

    QVERIFY(server.waitForNewConnection(5000));
    QLocalSocket *socket = server.nextPendingConnection();
    QVERIFY(socket);
    QTRY_VERIFY(socket->bytesAvailable() >= 4 || socket->state() != QLocalSocket::ConnectedState);
    QCOMPARE(socket->readAll(), QByteArray("SHOW")); // four bytes, nothing else
}

void TestSingleInstance::noAnswerWithoutServer()
{
    const auto names = uniqueNames(m_guardDir);
    SingleInstanceGuard first(names);
    QCOMPARE(first.acquire(), SingleInstanceGuard::Outcome::Primary);
    SingleInstanceGuard second(names);
    QCOMPARE(second.acquire(), SingleInstanceGuard::Outcome::NoAnswer);
    QVERIFY(first.isPrimary());
}

void TestSingleInstance::releasedGuardCanBeTaken()
{
    const auto names = uniqueNames(m_guardDir);
    {
        SingleInstanceGuard first(names);
        QCOMPARE(first.acquire(), SingleInstanceGuard::Outcome::Primary);
    }
    SingleInstanceGuard next(names);
    QCOMPARE(next.acquire(), SingleInstanceGuard::Outcome::Primary);
    QVERIFY(QFileInfo::exists(names.lockFilePath));
}

void TestSingleInstance::lockHeldWithoutSegmentDefers()
{
    // An instance that holds the lock but has not created its segment yet is
    // starting up: a concurrent start must not run a second client.
    const auto names = uniqueNames(m_guardDir);
    QLockFile starting(names.lockFilePath);
    QVERIFY(starting.tryLock(0));
    SingleInstanceGuard guard(names);
    QCOMPARE(guard.acquire(), SingleInstanceGuard::Outcome::NoAnswer);
    QVERIFY(!guard.isPrimary());
}

void TestSingleInstance::lockOfDeadProcessIsStale()
{
    const auto names = uniqueNames(m_guardDir);
    // Take the lock in a process that then dies without releasing it.
    QProcess holder;
    holder.setProgram(QStringLiteral(ORVANTIS_EXECUTABLE));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TMPDIR"), m_guardDir.path() + QStringLiteral("/held"));
    QDir().mkpath(m_guardDir.path() + QStringLiteral("/held"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
    env.insert(QStringLiteral("ORVANTIS_API_URL"), m_server.restBaseUrl());
    env.insert(QStringLiteral("ORVANTIS_WSS_URL"), m_server.wssUrl());
    holder.setProcessEnvironment(env);
    holder.start();
    QVERIFY(holder.waitForStarted());
    const QString heldLock
        = m_guardDir.path() + QStringLiteral("/held/QuvelaKefuSingleInstance.lock");
    // Killed once it is fully up, so the lock file is complete.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            QLocalSocket probe;
            probe.connectToServer(m_guardDir.path() + QStringLiteral("/held/QuvelaKefuIpc"));
            return probe.waitForConnected(200);
        }(),
        20000);
    QVERIFY(QFileInfo::exists(heldLock));
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QVERIFY(QFile::copy(heldLock, names.lockFilePath));

    SingleInstanceGuard guard(names);
    QCOMPARE(guard.acquire(), SingleInstanceGuard::Outcome::Primary);

    // Remove what the killed holder left behind.
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", (m_guardDir.path() + QStringLiteral("/held")).toLocal8Bit());
    {
        QSharedMemory leftover(QStringLiteral("QuvelaKefuSingleInstance"));
        if (leftover.attach())
            leftover.detach();
    }
    if (savedTmp.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmp);
}

void TestSingleInstance::liveHolderWithoutLockFileStillWins()
{
    const auto names = uniqueNames(m_guardDir);
    SingleInstanceGuard first(names);
    QCOMPARE(first.acquire(), SingleInstanceGuard::Outcome::Primary);
    // A cleaner of the temporary directory removes the lock file.
    QVERIFY(QFile::remove(names.lockFilePath));

    QLocalServer server;
    QVERIFY(server.listen(names.serverName));
    SingleInstanceGuard second(names);
    QCOMPARE(second.acquire(), SingleInstanceGuard::Outcome::HandedOver);
    QVERIFY(server.waitForNewConnection(5000));

    // The first instance's segment survived: a third start still defers.
    server.close();
    QFile::remove(names.lockFilePath);
    SingleInstanceGuard third(names);
    QCOMPARE(third.acquire(), SingleInstanceGuard::Outcome::NoAnswer);
    // The first guard finds its lock file gone when it lets go.
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("Could not remove our own lock file")));
}

std::unique_ptr<QProcess> TestSingleInstance::startProgram()
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
    return process;
}

bool TestSingleInstance::ipcServerAnswers() const
{
    QLocalSocket socket;
    socket.connectToServer(ipcPath());
    return socket.waitForConnected(200);
}

void TestSingleInstance::stopAll()
{
    for (auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }
    m_processes.clear();
}

void TestSingleInstance::secondStartExitsAfterHandOver()
{
    m_processes.push_back(startProgram());
    QProcess *first = m_processes.back().get();
    QVERIFY(first->waitForStarted());
    // The first instance is up once its hand-over server listens (it then sits
    // at the login dialog, since no token is stored).
    QTRY_VERIFY_WITH_TIMEOUT(ipcServerAnswers(), 20000);

    m_processes.push_back(startProgram());
    QProcess *second = m_processes.back().get();
    QVERIFY(second->waitForStarted());
    // A box would keep it running; it leaves at once with 0.
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);

    QCOMPARE(first->state(), QProcess::Running);
    QVERIFY(ipcServerAnswers());
}

void TestSingleInstance::killedInstanceDoesNotBlockNextStart()
{
    m_processes.push_back(startProgram());
    QProcess *first = m_processes.back().get();
    QVERIFY(first->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(ipcServerAnswers(), 20000);
    first->kill();
    QVERIFY(first->waitForFinished());
    // Segment, lock file and socket name are all left behind.
    QVERIFY(!ipcServerAnswers());

    m_processes.push_back(startProgram());
    QProcess *next = m_processes.back().get();
    QVERIFY(next->waitForStarted());
    // It gets past the guard and builds its window (which opens the
    // hand-over server) instead of deferring to the dead instance.
    QTRY_VERIFY_WITH_TIMEOUT(ipcServerAnswers(), 20000);
    QCOMPARE(next->state(), QProcess::Running);

    // And the recovered instance is a live one that later starts defer to.
    m_processes.push_back(startProgram());
    QProcess *later = m_processes.back().get();
    QVERIFY(later->waitForFinished(20000));
    QCOMPARE(later->exitCode(), 0);
    QCOMPARE(next->state(), QProcess::Running);
}

void TestSingleInstance::ipcServerClosesEveryConnection_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("SHOW") << QByteArray("SHOW");
    QTest::newRow("lower case") << QByteArray("show");
    QTest::newRow("bytes around") << QByteArray("xx\nSHOW\r\nyy");
    QTest::newRow("binary") << QByteArray("\0\1\2\3", 4);
}

void TestSingleInstance::ipcServerClosesEveryConnection()
{
    QFETCH(QByteArray, payload);
    m_processes.push_back(startProgram());
    QProcess *first = m_processes.back().get();
    QVERIFY(first->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(ipcServerAnswers(), 20000);

    QLocalSocket socket;
    QSignalSpy closed(&socket, &QLocalSocket::disconnected);
    socket.connectToServer(ipcPath());
    QVERIFY(socket.waitForConnected(5000));
    socket.write(payload);
    QVERIFY(socket.waitForBytesWritten(5000));
    // Whatever arrives, the server reads it and hangs up.
    QTRY_VERIFY(closed.count() >= 1 || socket.state() == QLocalSocket::UnconnectedState);
    QCOMPARE(first->state(), QProcess::Running);
    // Nobody is signed in, so nothing changed: the server still serves.
    QVERIFY(ipcServerAnswers());
}

ORVANTIS_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
