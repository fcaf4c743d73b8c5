#pragma once

#include <QLockFile>
#include <QSharedMemory>
#include <QString>

// One client per user session. The first start holds a one-byte shared-memory
// segment; a later start finds it and asks the running instance over a local
// socket to show its window, then exits.
//
// A segment outlives a crashed or killed holder on Unix, so the running
// instance also holds a lock file: a segment whose lock file is free (or whose
// owner process is gone) is left over from a dead instance and is replaced.
class SingleInstanceGuard
{
public:
    struct Names
    {
        QString memoryKey = QStringLiteral("QuvelaKefuSingleInstance");
        QString serverName = QStringLiteral("QuvelaKefuIpc");
        QString lockFilePath; // empty: QuvelaKefuSingleInstance.lock in the temporary directory
    };

    enum class Outcome {
        Primary, // this process holds the guard and runs the client
        HandedOver, // another instance runs and was asked to show itself
        NoAnswer, // another instance runs but did not take the message
        Failed // the guard could not be set up
    };

    SingleInstanceGuard();
    explicit SingleInstanceGuard(const Names &names);
    ~SingleInstanceGuard();

    SingleInstanceGuard(const SingleInstanceGuard &) = delete;
    SingleInstanceGuard &operator=(const SingleInstanceGuard &) = delete;

    // Takes the guard or hands over to the running instance. Shows nothing.
    Outcome acquire();
    bool isPrimary() const { return m_primary; }

    // The box a second start shows when it cannot reach the first one.
    static void showAlreadyRunningWarning();

    static QString defaultLockFilePath();

private:
    bool createSegment();
    bool sendShow();

    Names m_names;
    QSharedMemory m_memory;
    QLockFile m_lock;
    bool m_primary = false;
};

// The start-up guard of main(): true when this process should run the client.
// Otherwise the caller exits with 0 (any box has already been shown).
bool acquireSingleInstance(SingleInstanceGuard &guard);
