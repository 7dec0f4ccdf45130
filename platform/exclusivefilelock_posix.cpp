#include "platform/exclusivefilelock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Updater::Platform {

namespace {

// A file that its holder deleted between this process's open and its lock is opened again; a
// few rounds are plenty, since each needs a whole update to end in between.
constexpr int lockRounds = 8;

bool namesFile(const QByteArray &path, int fd)
{
    struct stat held = {};
    struct stat named = {};
    return ::fstat(fd, &held) == 0 && ::lstat(path.constData(), &named) == 0
           && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace

ExclusiveFileLock::~ExclusiveFileLock()
{
    release();
}

ExclusiveFileLock::Result ExclusiveFileLock::lock(const QString &path)
{
    release();
    const QByteArray native = QFile::encodeName(path);
    for (int round = 0; round < lockRounds; ++round) {
        const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            return errno == EACCES || errno == EPERM || errno == EROFS ? Result::AccessDenied
                                                                       : Result::Failed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            return error == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
        }
        // The holder before this one deletes the file while it holds it: a lock on a file that
        // no longer has the name would exclude nobody who opens the name afresh.
        if (namesFile(native, fd)) {
            m_path = path;
            m_handle = fd;
            return Result::Locked;
        }
        ::close(fd);
    }
    return Result::HeldElsewhere;
}

bool ExclusiveFileLock::write(const QByteArray &contents)
{
    if (!isLocked())
        return false;
    const int fd = static_cast<int>(m_handle);
    return ::ftruncate(fd, 0) == 0
           && ::pwrite(fd, contents.constData(), static_cast<size_t>(contents.size()), 0)
                  == contents.size();
}

void ExclusiveFileLock::release()
{
    if (!isLocked())
        return;
    const int fd = static_cast<int>(m_handle);
    const QByteArray native = QFile::encodeName(m_path);
    // Only while the lock is held does the name surely belong to this file: deleted after the
    // release, it could be the file of the next holder.
    if (namesFile(native, fd))
        ::unlink(native.constData());
    ::close(fd);
    m_handle = invalidHandle;
    m_path.clear();
}

} // namespace Updater::Platform
