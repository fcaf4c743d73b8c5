#include "app/singleinstance.h"

#include <QDebug>

#include <QDir>
#include <QLocalSocket>
#include <QMessageBox>

namespace {
constexpr int connectWaitMs = 300;
constexpr int writeWaitMs = 300;
} // namespace

SingleInstanceGuard::SingleInstanceGuard() : SingleInstanceGuard(Names()) { }

SingleInstanceGuard::SingleInstanceGuard(const Names &names)
    : m_names(names)
    , m_memory(names.memoryKey)
    , m_lock(names.lockFilePath.isEmpty() ? defaultLockFilePath() : names.lockFilePath)
{
    // Only a dead owner makes the lock stale, never its age: a client may run
    // for weeks.
    m_lock.setStaleLockTime(0);
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    if (m_memory.isAttached())
        m_memory.detach();
    if (m_lock.isLocked())
        m_lock.unlock();
}

QString SingleInstanceGuard::defaultLockFilePath()
{
    return QDir::tempPath() + QStringLiteral("/QuvelaKefuSingleInstance.lock");
}

SingleInstanceGuard::Outcome SingleInstanceGuard::acquire()
{
    if (m_primary)
        return Outcome::Primary;

    const bool locked = m_lock.tryLock(0);
    // Held by a live process: an instance runs (or is just starting). Any
    // other lock failure (unwritable temporary directory) leaves the decision
    // to the shared memory alone.
    const bool heldByOther = !locked && m_lock.error() == QLockFile::LockFailedError;
    const bool lockUsable = locked || heldByOther;

    bool looksStale = false;
    qDebug() << "[App] 单实例检查: locked=" << locked << "heldByOther=" << heldByOther
             << "lockError=" << m_lock.error();
    if (m_memory.attach(QSharedMemory::ReadWrite)) {
        qDebug() << "[App] 单实例: 已有共享内存段";
        if (!lockUsable || heldByOther) {
            m_memory.detach();
            return sendShow() ? Outcome::HandedOver : Outcome::NoAnswer;
        }
        // Nobody alive holds the lock: the segment was left behind by an
        // instance that died. Dropping the last attachment removes it.
        m_memory.detach();
        looksStale = true;
    } else if (heldByOther) {
        // An instance holds the lock but has no segment yet: it is starting.
        return sendShow() ? Outcome::HandedOver : Outcome::NoAnswer;
    }

    if (!createSegment()) {
        qDebug() << "[App] 单实例: 无法创建共享内存段:" << m_memory.errorString();
        if (locked)
            m_lock.unlock();
        // The segment outlived our detach, so a live instance is still
        // attached; only its lock file went missing (a temp cleaner, say).
        if (looksStale)
            return sendShow() ? Outcome::HandedOver : Outcome::NoAnswer;
        return Outcome::Failed;
    }
    m_primary = true;
    return Outcome::Primary;
}

bool SingleInstanceGuard::createSegment()
{
    if (m_memory.create(1, QSharedMemory::ReadWrite))
        return true;
    m_memory.detach();
    return m_memory.create(1, QSharedMemory::ReadWrite);
}

bool SingleInstanceGuard::sendShow()
{
    QLocalSocket socket;
    socket.connectToServer(m_names.serverName, QIODevice::ReadWrite);
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
    case SingleInstanceGuard::Outcome::Failed:
        SingleInstanceGuard::showAlreadyRunningWarning();
        return false;
    }
    return false;
}
