#pragma once

#include <QString>

namespace Updater {

// Settles what an installation interrupted at any point (a crash, a kill, a failed rollback) left
// beside installDir, without ever deleting the only copy of anything:
// - installation directory missing and .orvalink-backup a directory: the backup is the previous
//   installation and is moved back first (20 x 500 ms); when that fails, nothing else is touched
//   and false is returned with "Could not restore the previous installation from %1";
// - installation directory present: the user's entries found in .orvalink-preserve are put back
//   into it (the preserved one wins), then .orvalink-backup is deleted;
// - partial copies are deleted, and .orvalink-preserve once it holds no user entry. While the
//   installation directory is missing, the preserved entries stay for the installation to put
//   back once the new tree stands.
// Worker thread; blocks it during retries.
bool recoverInterruptedInstallation(const QString &installDir, QString *error);

} // namespace Updater
