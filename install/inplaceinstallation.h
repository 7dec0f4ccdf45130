#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// The in-place path, for an installation directory that cannot be moved as a whole (Windows
// refuses while any handle is open inside it), as a transaction that leaves the same tree as the
// staged path: every top-level entry of the installation but the user's (config, groups,
// profiles and what recovery kept beside them) is first moved aside into backupDir by rename (a
// directory that cannot be renamed is taken apart entry by entry; Windows allows renaming a
// running image), then the payload is written, hidden entries included and nothing excluded below
// the top level. The client executable is never missing: the installed one is copied into the
// backup and stays in place, the payload's is written beside it under a partial-copy name and
// renamed over it last, in one step. On the first failure everything written is removed and
// everything set aside goes back, so the installation is again what it was. Each step is noted
// in a journal in backupDir, on disk before the step is taken, so that a run killed at any point
// is rolled back by the next one. On success backupDir holds what was replaced, marked as
// committed, for the caller to delete. False with "Could not copy %1", "Failed to move the
// current installation to backup." or "Failed to replace Orvalink.exe during in-place update.".
// Worker thread.
bool installInPlace(const QString &payloadRoot, const QString &installDir, const QString &backupDir,
                    QString *error);

// True when backupDir holds an in-place installation's backup (its journal or its entries), of
// this build or, with legacyLayout, of an earlier one.
bool isInPlaceBackup(const QString &backupDir, bool legacyLayout = false);

// Settles the in-place backup in backupDir: an unfinished transaction is rolled back (removing
// what the journal says it wrote only where the backup still holds the original, or where there
// was none; moving back what it set aside, and whatever else the backup holds), its journal
// marked as rolled back once the installation is wholly old again; then the backup is deleted.
// A committed or rolled back one is just deleted. Safe to repeat: a rollback killed part way is
// finished by the next one. A journal that cannot be read or is missing: everything the backup
// holds is put back, nothing else is removed, and a line in *notes (may be null) says so. False
// when something could not go back; it stays in backupDir. Worker thread.
bool rollBackInPlace(const QString &installDir, const QString &backupDir,
                     QStringList *notes = nullptr, bool legacyLayout = false);

} // namespace Updater
