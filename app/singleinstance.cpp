#include "app/singleinstance.h"

#include "shell/userfiles.h"

#include <QDebug>
#include <QFileInfo>
#include <QLocalSocket>
#include <QMessageBox>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
constexpr int connectWaitMs = 300;
constexpr int writeWaitMs = 300;
} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString &folder)
    : m_folder(folder.isEmpty() ? UserFiles::runtimeDir() : folder)
{
    if (m_folder.isEmpty())
        return;
    m_lock = std::make_unique<QLockFile>(m_folder + QStringLiteral("/instance.lock"));
    // Only a dead owner makes the lock stale, never its age: a client may run
    // for weeks.
    m_lock->setStaleLockTime(0);
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    if (m_lock && m_lock->isLocked())
        m_lock->unlock();
}

QString SingleInstanceGuard::serverName(const QString &folder)
{
    const QString dir = folder.isEmpty() ? UserFiles::runtimeDir() : folder;
    return dir.isEmpty() ? QString() : dir + QStringLiteral("/ipc");
}

SingleInstanceGuard::Outcome SingleInstanceGuard::acquire()
{
    if (m_primary)
        return Outcome::Primary;
    // Without a folder of its own the client cannot tell whether it runs
    // already; starting twice beats refusing to start at all.
    if (!m_lock) {
        qDebug() << "[App] 单实例: 没有私有运行目录，不做单实例检查";
        m_primary = true;
        return Outcome::Primary;
    }
    if (m_lock->tryLock(0)) {
        m_primary = true;
        return Outcome::Primary;
    }
    qDebug() << "[App] 单实例: 锁已被占用, error=" << m_lock->error();
    if (m_lock->error() == QLockFile::LockFailedError)
        return sendShow() ? Outcome::HandedOver : Outcome::NoAnswer;
    // The lock file cannot be written at all: no instance can hold it either.
    m_primary = true;
    return Outcome::Primary;
}

bool SingleInstanceGuard::sendShow()
{
    const QString name = serverName(m_folder);
#ifdef Q_OS_UNIX
    // The folder is the user's own; the socket in it must be too.
    const QFileInfo socketInfo(name);
    if (!socketInfo.exists() || socketInfo.ownerId() != ::getuid())
        return false;
#endif
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(connectWaitMs))
        return false;
    socket.write("SHOW");
    socket.flush();
    socket.waitForBytesWritten(writeWaitMs);
    return true;
}

void SingleInstanceGuard::showAlreadyRunningWarning()
{
    QMessageBox::warning(nullptr, QStringLiteral("提示"),
                         QStringLiteral("客服客户端已在后台运行，请查看电脑右下角托盘图标。"),
                         QMessageBox::Ok);
}

bool acquireSingleInstance(SingleInstanceGuard &guard)
{
    switch (guard.acquire()) {
    case SingleInstanceGuard::Outcome::Primary:
        return true;
    case SingleInstanceGuard::Outcome::HandedOver:
        return false;
    case SingleInstanceGuard::Outcome::NoAnswer:
        SingleInstanceGuard::showAlreadyRunningWarning();
        return false;
    }
    return false;
}
