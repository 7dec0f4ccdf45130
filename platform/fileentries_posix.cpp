#include "platform/fileentries.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Updater::Platform {

namespace {

thread_local Failure lastFailureKind = Failure::None;

// Classifies errno as Windows would the matching error: a held or locked entry answers EBUSY,
// EACCES, EPERM (an immutable one) or ETXTBSY here.
bool failed()
{
    switch (errno) {
    case EBUSY:
    case EACCES:
    case EPERM:
    case ETXTBSY:
        lastFailureKind = Failure::Transient;
        break;
    case EXDEV:
        lastFailureKind = Failure::OtherVolume;
        break;
    default:
        lastFailureKind = Failure::Final;
        break;
    }
    return false;
}

bool succeeded()
{
    lastFailureKind = Failure::None;
    return true;
}

// A rename is durable only once the directory that holds the name is on disk too.
bool flushDirectory(const QString &directory)
{
    const int fd =
        ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool copyData(int from, int to, off_t size)
{
    off_t offset = 0;
    while (offset < size) {
        const ssize_t sent = ::sendfile(to, from, &offset, static_cast<size_t>(size - offset));
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            break;
    }
    if (offset >= size)
        return true;
    // sendfile refuses some file systems; plain reads and writes serve everywhere.
    if (::lseek(from, offset, SEEK_SET) < 0 || ::lseek(to, offset, SEEK_SET) < 0)
        return false;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return false;
            done += put;
        }
    }
}

} // namespace

EntryKind entryKind(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return errno == ENOENT || errno == ENOTDIR ? EntryKind::Missing : EntryKind::Unknown;
    if (S_ISLNK(status.st_mode))
        return EntryKind::Link;
    if (S_ISDIR(status.st_mode))
        return EntryKind::Directory;
    if (S_ISREG(status.st_mode))
        return EntryKind::File;
    return EntryKind::Other;
}

QString fullPath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

std::uint64_t fileSystemId(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return static_cast<std::uint64_t>(status.st_dev);
}

bool clearReadOnly(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat status = {};
    if (::lstat(native.constData(), &status) != 0 || S_ISLNK(status.st_mode))
        return false;
    if (status.st_mode & S_IWUSR)
        return true;
    return ::chmod(native.constData(), (status.st_mode & 07777) | S_IWUSR) == 0;
}

Failure lastFailure()
{
    return lastFailureKind;
}

bool renameEntry(const QString &source, const QString &target)
{
    const QByteArray targetPath = QFile::encodeName(target);
    struct stat status = {};
    if (::lstat(targetPath.constData(), &status) == 0) {
        errno = EEXIST;
        return failed();
    }
    if (::rename(QFile::encodeName(source).constData(), targetPath.constData()) != 0)
        return failed();
    return succeeded();
}

bool replaceFile(const QString &source, const QString &target)
{
    if (::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) != 0)
        return failed();
    flushDirectory(QFileInfo(target).path());
    return succeeded();
}

bool removeFile(const QString &path)
{
    return ::unlink(QFile::encodeName(path).constData()) == 0 ? succeeded() : failed();
}

bool removeEmptyDirectory(const QString &path)
{
    return ::rmdir(QFile::encodeName(path).constData()) == 0 ? succeeded() : failed();
}

bool copyFile(const QString &source, const QString &target)
{
    const QByteArray targetPath = QFile::encodeName(target);
    const int from = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return failed();
    struct stat status = {};
    if (::fstat(from, &status) != 0) {
        const int error = errno;
        ::close(from);
        errno = error;
        return failed();
    }
    // Written directly under its name: the callers build copies under names of their own.
    const int to = ::open(targetPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          status.st_mode & 07777);
    if (to < 0) {
        const int error = errno;
        ::close(from);
        errno = error;
        return failed();
    }
    bool ok = copyData(from, to, status.st_size);
    int error = errno;
    // The mode given to open is narrowed by the umask.
    ok = ok && (::fchmod(to, status.st_mode & 07777) == 0 || (error = errno, false));
    ok = (::close(to) == 0 || (error = errno, false)) && ok;
    ::close(from);
    if (ok)
        return succeeded();
    ::unlink(targetPath.constData());
    errno = error;
    return failed();
}

bool flushToDisk(int fileHandle)
{
    return fileHandle >= 0 && ::fsync(fileHandle) == 0;
}

bool flushEntryToDisk(const QString &path)
{
    if (entryKind(path) == EntryKind::Link)
        return true;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    const bool flushed = ::fsync(fd) == 0;
    ::close(fd);
    return flushed;
}

} // namespace Updater::Platform
