#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Settles what an installation interrupted at any point (a crash, a kill, a failed rollback) left
// beside installDir, without ever deleting the only copy of anything:
// - an in-place installation that did not finish is rolled back from its journal; an installation
//   directory missing and .orvalink-backup the previous installation: it is moved back (20 x
//   500 ms); when either fails, nothing else is touched and false is returned with
//   "Could not restore the previous installation from %1";
// - installation directory present: the user's entries found in .orvalink-preserve are put back
//   into it (the preserved one wins, and whatever the live entry holds that differs is kept
//   beside it, named in *notes, may be null), then .orvalink-backup is deleted (what cannot be
//   deleted yet is moved into .orvalink-stale);
// - partial copies are deleted, and .orvalink-preserve once it holds no user entry. While the
//   installation directory is missing, the preserved entries stay for the installation to put
//   back once the new tree stands.
// Worker thread; blocks it during retries.
bool recoverInterruptedInstallation(const QString &installDir, QString *error,
                                    QStringList *notes = nullptr);

} // namespace Updater
