#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// Settles what an installation interrupted at any point (a crash, a kill, a power loss, a failed
// rollback) left beside installDir, without ever deleting the only copy of anything. Only this
// installation's own working directories are touched (StagingLayout); another installation's in
// the same folder are left alone, and *notes (may be null) says so:
// - .orvalink-backup-<name> holding the previous installation: when the installation directory
//   is missing it goes back; when something made the directory again (it lacks the client), the
//   previous installation is merged back into it, what stood in the way kept beside; when the new
//   tree stands, the user's entries still in the previous installation go into it;
// - .orvalink-backup-<name> of an in-place installation: rolled back (rollBackInPlace);
// - .orvalink-incoming-<name>: the user's entries it holds go back, the payload goes;
// - leftovers of earlier builds (.orvalink-backup, .orvalink-preserve) are settled the same way
//   when they can only be this installation's (no other installation beside it, or the
//   installation directory is missing), and left alone otherwise.
// False with "Could not restore the previous installation from %1" when something could not go
// back; it stays where it is. Worker thread; blocks it during retries.
bool recoverInterruptedInstallation(const QString &installDir, QString *error,
                                    QStringList *notes = nullptr);

// Moves the previous installation at backup back onto installDir (which must be missing),
// retrying for up to a minute while the system refuses for the moment, with pauses that grow;
// a line in *notes (may be null) names what it waited for. Worker thread; blocks it.
bool putInstallationBack(const QString &backup, const QString &installDir, QStringList *notes);

} // namespace Updater
