#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// One client per user. The running instance holds a lock file in the user's
// private runtime folder and listens on a local socket beside it; a later
// start by the same user finds the lock held and asks the running instance
// over that socket to show its window, then exits.
//
// The lock knows its owner's process, so one left by a killed instance is
// taken over. Other users have folders of their own and cannot meet, block or
// impersonate this user's instance.
class SingleInstanceGuard
{
public:
    enum class Outcome {
        Primary, // this process holds the guard and runs the client
        HandedOver, // another instance runs and was asked to show itself
        NoAnswer, // another instance runs but did not take the message
    };

    // `folder`: where the lock and the socket live; empty for the user's
    // runtime folder.
    explicit SingleInstanceGuard(const QString &folder = QString());
    ~SingleInstanceGuard();

    SingleInstanceGuard(const SingleInstanceGuard &) = delete;
    SingleInstanceGuard &operator=(const SingleInstanceGuard &) = delete;

    // Takes the guard or hands over to the running instance. Shows nothing.
    Outcome acquire();
    bool isPrimary() const { return m_primary; }

    // The box a second start shows when it cannot reach the first one.
    static void showAlreadyRunningWarning();

    // The hand-over socket of the instance whose guard lives in `folder`
    // (empty: the user's runtime folder); empty when there is no such folder.
    static QString serverName(const QString &folder = QString());

private:
    bool sendShow();

    QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    bool m_primary = false;
};

// The start-up guard of main(): true when this process should run the client.
// Otherwise the caller exits with 0 (any box has already been shown).
bool acquireSingleInstance(SingleInstanceGuard &guard);
