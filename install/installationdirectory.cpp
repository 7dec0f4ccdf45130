#include "install/installationdirectory.h"

#include "platform/fileentries.h"
#include "platform/fileidentity.h"
#include "platform/protectedlocations.h"

#include <QDir>
#include <QFileInfo>

namespace Updater {

QString normalizedInstallDir(const QString &installDir)
{
    if (installDir.isEmpty())
        return installDir;
    // Windows drops trailing dots and spaces from names: "Orvalink. " is the directory Orvalink,
    // and its working directories must be named after that.
    return Platform::fullPath(installDir);
}

bool checkInstallDir(const QString &installDir, QString *error)
{
    if (!installDir.isEmpty() && !holdsProtectedLocation(installDir))
        return true;
    if (error)
        *error = QStringLiteral("The installation directory %1 cannot be updated.")
                     .arg(QDir::toNativeSeparators(installDir));
    return false;
}

QString comparablePath(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

bool isSameOrInside(const QString &path, const QString &ancestor)
{
    if (path.compare(ancestor, Platform::fileNameCase) == 0)
        return true;
    const QString prefix =
        ancestor.endsWith(QLatin1Char('/')) ? ancestor : ancestor + QLatin1Char('/');
    return path.startsWith(prefix, Platform::fileNameCase);
}

bool holdsProtectedLocation(const QString &dir)
{
    const QString target = comparablePath(dir);
    if (Platform::isFileSystemRoot(target))
        return true;
    // By identity where dir exists: a short name, a junction or a substituted drive spells the
    // same folder differently. By path where it does not (yet).
    const Platform::FileIdentity identity = Platform::fileIdentity(dir);
    const QStringList locations = Platform::protectedLocations();
    for (const QString &location : locations) {
        if (isSameOrInside(comparablePath(location), target)
            || Platform::isSameOrInside(location, identity))
            return true;
    }
    return false;
}

} // namespace Updater
