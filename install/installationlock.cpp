#include "install/installationlock.h"

#include "install/staginglayout.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QThread>

namespace Updater {

namespace {

// Far longer than a living updater takes from creating its lock file to naming itself in it.
constexpr unsigned long unnamedLockPauseMs = 300;

} // namespace

InstallationLock::InstallationLock() = default;

InstallationLock::~InstallationLock()
{
    release();
}

bool InstallationLock::acquire(const QString &installDir, QString *error)
{
    release();
    const QString path = StagingLayout(installDir).lockFile();
    // As the download would: the directory that is to hold the installation.
    QDir().mkpath(QFileInfo(path).path());
    auto lock = std::make_unique<QLockFile>(path);
    // An update may wait a minute for the client and take longer still: the lock never goes
    // stale by age, only when the process that holds it no longer runs.
    lock->setStaleLockTime(0);
    bool locked = lock->tryLock(0);
    // An updater killed between creating the lock file and writing its process id into it
    // leaves a lock that names no process, which Qt would never take for stale. A living
    // updater names itself at once; a lock still unnamed a moment later is a leftover.
    // removeStaleLockFile still leaves alone a file that a living process holds open.
    const auto unnamed = [&lock] {
        qint64 pid = 0;
        QString host;
        QString application;
        return !lock->getLockInfo(&pid, &host, &application);
    };
    if (!locked && lock->error() == QLockFile::LockFailedError && unnamed()) {
        QThread::msleep(unnamedLockPauseMs);
        if (unnamed() && lock->removeStaleLockFile())
            locked = lock->tryLock(0);
    }
    if (!locked) {
        if (error) {
            *error =
                lock->error() == QLockFile::LockFailedError
                    ? QStringLiteral("Another update of this installation is already running.")
                    : QStringLiteral("Could not create %1").arg(QDir::toNativeSeparators(path));
        }
        return false;
    }
    m_lock = std::move(lock);
    return true;
}

void InstallationLock::release()
{
    if (m_lock)
        m_lock->unlock();
    m_lock.reset();
}

bool InstallationLock::isHeld() const
{
    return m_lock != nullptr;
}

} // namespace Updater
