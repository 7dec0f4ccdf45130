#pragma once

#include <QString>
#include <QStringList>

namespace Updater::Platform {

// Directories that hold far more than one program's files and must never be deleted or
// replaced as a whole: the user's home and its standard folders, application data, caches, the
// temporary directory, and on Windows the Windows directory, both Program Files, ProgramData,
// the user's profile and its known folders. Paths as the system gives them; any thread.
QStringList protectedLocations();

// True when path is the root of a file system or of a drive (/, C:\, \\server\share).
bool isFileSystemRoot(const QString &path);

} // namespace Updater::Platform
