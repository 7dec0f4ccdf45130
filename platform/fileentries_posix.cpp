#include "platform/fileentries.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Updater::Platform {

namespace {

// A rename is durable only once the directory that holds the name is on disk too.
void flushDirectory(const QString &directory)
{
    const int fd =
        ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
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

bool replaceFile(const QString &source, const QString &target)
{
    if (::rename(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) != 0)
        return false;
    flushDirectory(QFileInfo(target).path());
    return true;
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
