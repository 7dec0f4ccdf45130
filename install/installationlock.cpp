#include "install/installationlock.h"

#include "install/staginglayout.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>

namespace Updater {

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
    if (!lock->tryLock(0)) {
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
