#pragma once

#include <QFileInfoList>
#include <QString>

namespace Updater {

// File-tree operations of the installation. They work on path strings, run on the worker thread
// and never follow a symbolic link or junction: a link is removed, moved and copied as a link.

// Which entries a directory walk lists. The payload is walked as the file system lists it
// plainly; walks over the user's own data take hidden and system entries too.
enum class EntryScope { VisibleEntries, AllEntries };

// The entries of a directory in the file system's own order, without "." and "..": files,
// directories and links; hidden and system entries only with EntryScope::AllEntries. Every
// directory walk of the installation lists through this.
QFileInfoList listEntries(const QString &directory, EntryScope scope);

// True when anything is at path, a dangling link included (QFileInfo::exists says false there).
bool entryExists(const QString &path);

// Removes whatever is at path (a symbolic link or junction is removed as a link, never followed).
// True when nothing is there any more.
bool removePath(const QString &path);

// Moves source onto target by rename, deleting the target first, for at most `attempts` attempts
// with `pauseMs` after each failed one. Blocks the calling thread. False at once, with the target
// untouched, when nothing is at source.
bool renameWithRetries(const QString &source, const QString &target, int attempts, int pauseMs);

// Moves source onto target (nothing may be at target): by rename, retried like renameWithRetries
// but not when the two lie on different volumes, where it copies the whole entry (hidden entries,
// links as links) and deletes the source. When that deletion fails, the copy is deleted again and
// the source stays as it was. False when nothing was moved.
bool moveEntry(const QString &source, const QString &target, int attempts, int pauseMs);

// Deletes path; what cannot be deleted (a running image on Windows, which may still be renamed)
// is moved into staleDir under fresh names first, so that a name the updater needs again (a
// leftover backup) is free. True when nothing is at path afterwards. Never crosses volumes.
bool discardEntry(const QString &path, const QString &staleDir);

// Copies a file or a directory tree; an existing target directory is merged into. Links are
// copied as links; sockets, pipes and devices are skipped. False on the first entry that fails;
// what was copied stays.
bool copyRecursively(const QString &source, const QString &target,
                     EntryScope scope = EntryScope::VisibleEntries);

// The name under which a copy of the entry `name` is built beside its final place:
// ".orvalink-partial-<name>". Such an entry is never the only copy of anything.
QString partialCopyName(const QString &name);

// Copies source under partialCopyName beside target and renames it onto target only once the copy
// is complete, so target is never replaced by an incomplete copy. On failure the partial copy is
// deleted and false returned; target is then untouched unless it could not be deleted whole.
bool copyReplacing(const QString &source, const QString &target, EntryScope scope);

} // namespace Updater
