#include "worker/safetodelete.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace Updater {

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

// Symbolic links and "..", resolved where the path exists, so that another spelling of a
// protected directory is still recognised.
QString comparablePath(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

bool isSameOrInside(const QString &path, const QString &ancestor)
{
    if (path.compare(ancestor, pathCase) == 0)
        return true;
    const QString prefix =
        ancestor.endsWith(QLatin1Char('/')) ? ancestor : ancestor + QLatin1Char('/');
    return path.startsWith(prefix, pathCase);
}

QStringList protectedLocations()
{
    // RuntimeLocation is left out on purpose: asking for it creates a directory when
    // XDG_RUNTIME_DIR is unset, and the temporary directory covers it there.
    static const QStandardPaths::StandardLocation kinds[] = {
        QStandardPaths::HomeLocation,         QStandardPaths::DesktopLocation,
        QStandardPaths::DocumentsLocation,    QStandardPaths::DownloadLocation,
        QStandardPaths::MusicLocation,        QStandardPaths::PicturesLocation,
        QStandardPaths::MoviesLocation,       QStandardPaths::TemplatesLocation,
        QStandardPaths::PublicShareLocation,  QStandardPaths::ApplicationsLocation,
        QStandardPaths::FontsLocation,        QStandardPaths::AppDataLocation,
        QStandardPaths::AppLocalDataLocation, QStandardPaths::AppConfigLocation,
        QStandardPaths::GenericDataLocation,  QStandardPaths::GenericConfigLocation,
        QStandardPaths::ConfigLocation,       QStandardPaths::CacheLocation,
        QStandardPaths::GenericCacheLocation, QStandardPaths::TempLocation,
    };
    QStringList locations{QDir::homePath(), QDir::tempPath()};
    for (const auto kind : kinds)
        locations += QStandardPaths::standardLocations(kind);
    return locations;
}

} // namespace

bool isSafeToDeleteWholly(const QString &dir, const QString &installDir, const QString &updaterDir)
{
    if (dir.isEmpty())
        return false;

    const QString target = comparablePath(dir);
    if (QDir(target).isRoot())
        return false;

    QStringList guarded = protectedLocations();
    guarded << installDir << updaterDir;
    for (const QString &location : std::as_const(guarded)) {
        if (!location.isEmpty() && isSameOrInside(comparablePath(location), target))
            return false;
    }
    return true;
}

} // namespace Updater
