#include "platform/fileidentity.h"

#include <QDir>
#include <QFileInfo>

namespace Updater::Platform {

bool isSameOrInside(const QString &path, const FileIdentity &ancestor)
{
    if (!ancestor.valid)
        return false;
    for (QString current :
         {QDir::cleanPath(QFileInfo(path).absoluteFilePath()), resolvedPath(path)}) {
        while (!current.isEmpty()) {
            if (fileIdentity(current) == ancestor)
                return true;
            const QString parent = QFileInfo(current).path();
            if (parent == current || QDir(current).isRoot())
                break;
            current = parent;
        }
    }
    return false;
}

} // namespace Updater::Platform
