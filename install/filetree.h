#pragma once

#include <QString>
#include <QStringList>

namespace Updater {

// File-tree operations of the installation. They work on path strings, run on the worker thread
// and never follow a symbolic link or junction: a link is removed, moved and copied as a link.

// The installation's entries that every update keeps: config, groups, profiles.
QStringList preservedEntryNames();

// The client executable, never written by the overlay copy.
QString clientExecutableName();

// Which entries a tree copy lists. The payload is copied as the file system lists it plainly;
// copies of the user's own data take hidden and system entries too.
enum class CopyScope { VisibleEntries, AllEntries };

// True when anything is at path, a dangling link included (QFileInfo::exists says false there).
bool entryExists(const QString &path);

// Removes whatever is at path (a symbolic link or junction is removed as a link, never followed).
// True when nothing is there any more.
bool removePath(const QString &path);

// Moves source onto target by rename, deleting the target first, for at most `attempts` attempts
// with `pauseMs` after each failed one. Blocks the calling thread. False at once, with the target
// untouched, when nothing is at source.
bool renameWithRetries(const QString &source, const QString &target, int attempts, int pauseMs);

// Copies a file or a directory tree; an existing target directory is merged into. Links are
// copied as links; sockets, pipes and devices are skipped. False on the first entry that fails;
// what was copied stays.
bool copyRecursively(const QString &source, const QString &target,
                     CopyScope scope = CopyScope::VisibleEntries);

// The name under which a copy of the entry `name` is built beside its final place:
// ".orvalink-partial-<name>". Such an entry is never the only copy of anything.
QString partialCopyName(const QString &name);

// Copies source under partialCopyName beside target and renames it onto target only once the copy
// is complete, so target is never replaced by an incomplete copy. On failure the partial copy is
// deleted and false returned; target is then untouched unless it could not be deleted whole.
bool copyReplacing(const QString &source, const QString &target, CopyScope scope);

} // namespace Updater
