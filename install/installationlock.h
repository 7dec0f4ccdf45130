#pragma once

#include "platform/exclusivefilelock.h"

#include <QString>

namespace Updater {

// One updater per installation: the system's exclusive lock on ".orvalink-update.lock" beside
// the installation directory, held from before anything is written (recovery included) until the
// clean-up is done. Whether another updater runs is the kernel's answer: a living holder always
// excludes, a killed one has released it by dying, and a file left by any earlier updater (one
// that named a process in it, even this process's own id) is taken over at once. The lock and
// the working directories that are left beside the installation get the hidden attribute on
// Windows. Released on destruction. Not thread-bound; use it from one thread at a time.
class InstallationLock
{
public:
    InstallationLock() = default;
    ~InstallationLock();
    InstallationLock(const InstallationLock &) = delete;
    InstallationLock &operator=(const InstallationLock &) = delete;

    // False, touching nothing, with "Another update of this installation is already running."
    // when another updater holds the lock, "The updater may not write to %1." when this process
    // may not create entries beside the installation or write the lock file, or "Could not
    // create %1" when the lock file cannot be made for another reason.
    bool acquire(const QString &installDir, QString *error);
    void release();
    bool isHeld() const { return m_lock.isLocked(); }

private:
    Platform::ExclusiveFileLock m_lock;
    QString m_installDir;
};

} // namespace Updater
