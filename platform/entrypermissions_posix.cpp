#include "platform/entrypermissions.h"

#include <QDirIterator>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Updater::Platform {

namespace {

bool adoptOne(const QString &path, const struct stat &model)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat status = {};
    if (::lstat(native.constData(), &status) != 0)
        return false;
    if ((status.st_uid != model.st_uid || status.st_gid != model.st_gid)
        && ::lchown(native.constData(), model.st_uid, model.st_gid) != 0)
        return false;
    if (S_ISLNK(status.st_mode))
        return true;
    const mode_t modelMode = model.st_mode & 0777;
    const mode_t mode = S_ISDIR(status.st_mode)
                            ? modelMode
                            : (modelMode & 0666) | (status.st_mode & modelMode & 0111);
    return (status.st_mode & 07777) == mode || ::chmod(native.constData(), mode) == 0;
}

} // namespace

bool mayCreateEntriesIn(const QString &directory)
{
    return ::faccessat(AT_FDCWD, QFile::encodeName(directory).constData(), W_OK | X_OK, AT_EACCESS)
           == 0;
}

bool adoptOwnerAndMode(const QString &path, const QString &model)
{
    struct stat modelStatus = {};
    if (::stat(QFile::encodeName(model).constData(), &modelStatus) != 0
        || !adoptOne(path, modelStatus))
        return false;
    // Without FollowSymlinks the walk never leaves the tree through a link.
    QDirIterator entries(path,
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        if (!adoptOne(entries.next(), modelStatus))
            return false;
    }
    return true;
}

bool resetToInherited(const QString &, ExplicitPermissions)
{
    return true;
}

} // namespace Updater::Platform
