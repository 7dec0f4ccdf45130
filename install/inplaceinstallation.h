#pragma once

#include <QString>

namespace Updater {

// The in-place path, for an installation directory that cannot be moved as a whole (Windows
// refuses while any handle is open inside it), as a transaction: every entry of the installation
// that the payload replaces is first moved aside into backupDir by rename (a directory that
// cannot be renamed is taken apart entry by entry; Windows allows renaming a running image), the
// payload is written over the installation, Orvalink.exe last; on the first failure everything
// written is removed and everything set aside goes back, so the installation is again what it
// was. Each step is noted in a journal inside backupDir before it is taken, so that a run killed
// half way is rolled back by the next one. On success the set-aside entries stay in backupDir,
// marked as committed, for the caller to delete. Preserved entry names are neither set aside nor
// written. False with the overlay's message, "Failed to move the current installation to
// backup." or "Failed to replace Orvalink.exe during in-place update.". Worker thread.
bool installInPlace(const QString &payloadRoot, const QString &installDir, const QString &backupDir,
                    QString *error);

// What backupDir holds, as recovery must know before it deletes anything.
enum class BackupKind {
    None,              // nothing there
    Installation,      // the previous installation, moved aside whole
    InPlaceUnfinished, // entries set aside by an in-place installation that did not finish
    InPlaceCommitted,  // entries an in-place installation replaced; it finished
};
BackupKind backupKind(const QString &backupDir);

// Rolls back an unfinished in-place installation from its journal: removes what it wrote and
// moves what it set aside back. True when the installation is again what it was (backupDir may
// then be deleted); false when something could not go back, which stays in backupDir.
bool rollBackInPlace(const QString &installDir, const QString &backupDir);

} // namespace Updater
