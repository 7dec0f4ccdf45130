#pragma once

#include <QString>
#include <QStringList>

namespace Updater::Platform {

// Directories that hold far more than one program's files and must never be deleted or
// replaced as a whole: the user's home and its standard folders, application data, caches, the
// temporary directory, and on Windows the Windows directory, both Program Files, ProgramData,
// the user's profile and its known folders, the user's own Program Files. Paths as the system gives
// them; any thread.
QStringList protectedLocations();

// True when path is the root of a file system or of a drive (/, C:\, \\server\share); on Windows
// also the root of a volume however it is reached (a junction to it, a mounted folder).
bool isFileSystemRoot(const QString &path);

} // namespace Updater::Platform
