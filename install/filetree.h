#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// The installation's entries that every update keeps: config, groups, profiles.
QStringList preservedEntryNames();

// The client executable, never written by the overlay copy.
QString clientExecutableName();

// Which entries a tree copy lists. The payload is copied as the file system lists it plainly;
// copies of the user's own data take hidden and system entries too.
enum class CopyScope { VisibleEntries, AllEntries };

// Removes whatever is at path (a symbolic link or junction is removed as a link, never followed).
// True when nothing is there any more.
bool removePath(const QString &path);

// Moves source onto target by rename, deleting the target first, for at most `attempts` attempts
// with `pauseMs` after each failed one. Blocks the calling thread.
bool renameWithRetries(const QString &source, const QString &target, int attempts, int pauseMs);

// Copies a file or a directory tree; an existing target directory is merged into. Links are
// copied as links. False on the first entry that fails; what was copied stays.
bool copyRecursively(const QString &source, const QString &target,
                     CopyScope scope = CopyScope::VisibleEntries);

} // namespace Updater
