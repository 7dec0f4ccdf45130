#include "platform/protectedlocations.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

namespace Updater::Platform {

// The system's own folders on Windows (protectedlocations_win.cpp); none elsewhere beyond the
// standard ones below.
QStringList systemLocations();
bool isVolumeRoot(const QString &path);

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
    // On Windows Qt lists the program's own folder (and its data subfolder) among the data
    // locations. The updater usually runs from the installation it updates: that folder is the
    // client's, not a shared one, and keeping it would refuse the usual update.
    const QString ownDir = QCoreApplication::applicationDirPath();
    const auto isOwnFolder = [&ownDir](const QString &path) {
        const QString data = ownDir + QStringLiteral("/data");
        return !ownDir.isEmpty()
               && (path == ownDir || path == data || path.startsWith(data + QLatin1Char('/')));
    };
    QStringList locations{QDir::homePath(), QDir::tempPath()};
    for (const auto kind : kinds) {
        const QString writable = QStandardPaths::writableLocation(kind);
        for (const QString &location : QStandardPaths::standardLocations(kind)) {
            if (location == writable || !isOwnFolder(location))
                locations += location;
        }
    }
    locations += systemLocations();
    locations.removeAll(QString());
    locations.removeDuplicates();
    return locations;
}

bool isFileSystemRoot(const QString &path)
{
    return QDir(QDir::cleanPath(path)).isRoot() || isVolumeRoot(path);
}

#ifndef Q_OS_WIN
QStringList systemLocations()
{
    return {};
}

// A mount point is no root here: tests and users alike mount volumes on ordinary directories.
bool isVolumeRoot(const QString &)
{
    return false;
}
#endif

} // namespace Updater::Platform
