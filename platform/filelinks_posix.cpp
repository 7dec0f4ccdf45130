#include "platform/filelinks.h"

#include <QByteArray>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace Updater::Platform {

bool isLink(const QString &path)
{
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool copyLink(const QString &source, const QString &target)
{
    if (!isLink(source))
        return false;
    // readlink gives the target text as it was written; QFileInfo::symLinkTarget would make a
    // relative target absolute and so tie the copy to the source's place.
    const QByteArray sourcePath = QFile::encodeName(source);
    QByteArray buffer(256, Qt::Uninitialized);
    for (;;) {
        const ssize_t length =
            ::readlink(sourcePath.constData(), buffer.data(), static_cast<size_t>(buffer.size()));
        if (length < 0)
            return false;
        if (length < buffer.size()) {
            buffer.truncate(static_cast<qsizetype>(length));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    return ::symlink(buffer.constData(), QFile::encodeName(target).constData()) == 0;
}

bool removeLink(const QString &path)
{
    if (!isLink(path))
        return false;
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}

} // namespace Updater::Platform
