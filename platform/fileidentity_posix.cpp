#include "platform/fileidentity.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace Updater::Platform {

FileIdentity fileIdentity(const QString &path)
{
    struct stat status
    {
    };
    FileIdentity identity;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        identity.volume = static_cast<std::uint64_t>(status.st_dev);
        identity.fileLow = static_cast<std::uint64_t>(status.st_ino);
        identity.valid = true;
    }
    return identity;
}

QString resolvedPath(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

} // namespace Updater::Platform
