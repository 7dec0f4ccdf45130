#pragma once

#include <QString>

#include <memory>

class QLockFile;

namespace Updater {

// One updater per installation: an exclusive lock on ".orvalink-update.lock" beside the
// installation directory, held from before anything is written (recovery included) until the
// clean-up is done. A lock left by an updater that was killed is taken over. Released on
// destruction. Not thread-bound; use it from one thread at a time.
class InstallationLock
{
public:
    InstallationLock();
    ~InstallationLock();
    InstallationLock(const InstallationLock &) = delete;
    InstallationLock &operator=(const InstallationLock &) = delete;

    // False, touching nothing, with "Another update of this installation is already running."
    // when another living updater holds the lock, or "Could not create %1" when the lock file
    // cannot be written.
    bool acquire(const QString &installDir, QString *error);
    void release();
    bool isHeld() const;

private:
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace Updater
