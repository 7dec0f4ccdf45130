#pragma once

#include <QString>

namespace Updater {

// The installation directory as the update works on it: absolute and cleaned, so that a path
// spelled ".../Orvalink/sub/.." or ".../Orvalink/" names the installation itself and every
// working directory lies beside it, never inside. Any thread.
QString normalizedInstallDir(const QString &installDir);

// False with "The installation directory %1 cannot be updated." when installDir is a file-system
// root, a protected location (the user's home or one of its standard folders, the system's
// program, data or temporary folders) or a directory that contains one: the update moves the
// installation aside and deletes it with the backup, which must never take such a directory.
bool checkInstallDir(const QString &installDir, QString *error);

// Path comparisons of the installation's guards, on the canonical form where a path exists (links
// and ".." resolved) and the cleaned absolute one otherwise; without regard to case on Windows.
QString comparablePath(const QString &path);
bool isSameOrInside(const QString &path, const QString &ancestor);

// True when dir is a file-system root, a protected location, or contains one; compared by the
// entries' identity too (Platform::isSameOrInside), so that no other spelling slips past.
bool holdsProtectedLocation(const QString &dir);

} // namespace Updater
