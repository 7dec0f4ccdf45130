#include "platform/protectedlocations.h"

#include <QDir>
#include <QStandardPaths>

namespace Updater::Platform {

// The system's own folders on Windows (protectedlocations_win.cpp); none elsewhere beyond the
// standard ones below.
QStringList systemLocations();

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
    locations += systemLocations();
    locations.removeAll(QString());
    locations.removeDuplicates();
    return locations;
}

bool isFileSystemRoot(const QString &path)
{
    return QDir(QDir::cleanPath(path)).isRoot();
}

#ifndef Q_OS_WIN
QStringList systemLocations()
{
    return {};
}
#endif

} // namespace Updater::Platform
