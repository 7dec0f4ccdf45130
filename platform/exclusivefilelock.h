#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace Updater::Platform {

// A file held with the operating system's own exclusive lock: flock on Linux, a handle that
// shares nothing but reading on Windows. Whether another process holds it is the kernel's
// answer, never a process id and a timer, and a process that dies releases it with its
// descriptors. The file is deleted only by its holder, while it still holds it. Use it from one
// thread at a time.
class ExclusiveFileLock
{
public:
    enum class Result {
        Locked,
        HeldElsewhere, // another open of the file holds the lock, in this process or another
        AccessDenied,  // the system refuses to create or open the file for writing
        Failed,        // anything else: a link at the path, a full disk, ...
    };

    ExclusiveFileLock() = default;
    ~ExclusiveFileLock();
    ExclusiveFileLock(const ExclusiveFileLock &) = delete;
    ExclusiveFileLock &operator=(const ExclusiveFileLock &) = delete;

    // Opens path, creating the file where missing (a file left by a process that died is taken
    // as it is), and takes the lock without waiting. A link at path is refused.
    Result lock(const QString &path);
    // Replaces what the held file says, for whoever reads who holds it. False when not held or
    // the write failed; the lock is held all the same.
    bool write(const QByteArray &contents);
    // Deletes the file, unless another process has it open by now (Windows refuses then), and
    // releases the lock. Nothing when not held.
    void release();
    bool isLocked() const { return m_handle != invalidHandle; }

private:
    static constexpr qintptr invalidHandle = -1;

    QString m_path;
    qintptr m_handle = invalidHandle;
};

} // namespace Updater::Platform
