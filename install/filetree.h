#pragma once

#include <QFileInfoList>
#include <QString>

#include <functional>

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

// Runs step until it succeeds, at most `attempts` times with `pauseMs` after each failed one, as
// long as the system's refusal may pass (Platform::lastFailure() is Failure::Transient: a
// sharing or lock violation, access denied); any other refusal ends it at once. Blocks the
// calling thread.
bool retried(int attempts, int pauseMs, const std::function<bool()> &step);

// Removes whatever is at path (a symbolic link or junction is removed as a link, never followed).
// True when nothing is there any more.
bool removePath(const QString &path);

// Moves source onto target by rename, deleting the target first, for at most `attempts` attempts
// with `pauseMs` after each failed one; only a refusal that may pass (Platform::Failure::
// Transient) is tried again. Blocks the calling thread. False at once, with the target untouched,
// when nothing is at source.
bool renameWithRetries(const QString &source, const QString &target, int attempts, int pauseMs);

// Moves source onto target (nothing may be at target): by rename, retried like renameWithRetries,
// or when the two lie on different volumes by copying the whole entry (hidden entries, links as
// links) and deleting the source. When the source can be deleted only in part, it is made whole
// again from the copy and the copy deleted. False when nothing was moved; source is then where
// it was (and, should making it whole fail, the complete copy stays at target as well).
bool moveEntry(const QString &source, const QString &target, int attempts, int pauseMs);

// Deletes path so that its name is free at once: the entry is first renamed into staleDir under a
// fresh name and deleted there, since on Windows a deleted file whose handle another process
// still holds keeps its name until that handle is closed, and a running image cannot be deleted
// at all. A directory that cannot be renamed whole (a handle open inside) gives up its entries
// one by one the same way. What cannot be deleted yet stays in staleDir for the next run. True
// when nothing is at path afterwards. Never crosses volumes; staleDir is removed when empty.
bool discardEntry(const QString &path, const QString &staleDir);

// Copies a file or a directory tree; an existing target directory is merged into, an existing
// file replaced. Links are copied as links; sockets, pipes and devices are skipped. A file held
// for the moment is tried again like a rename. False on the first entry that fails; what was
// copied stays.
bool copyRecursively(const QString &source, const QString &target,
                     EntryScope scope = EntryScope::VisibleEntries);

// True when both are files with the same bytes.
bool sameFileContents(const QString &a, const QString &b);

// The name under which a copy of the entry `name` is built beside its final place:
// ".orvalink-partial-<name>". Such an entry is never the only copy of anything.
QString partialCopyName(const QString &name);

// Copies source under partialCopyName beside target and renames it onto target only once the copy
// is complete, so target is never replaced by an incomplete copy. On failure the partial copy is
// deleted and false returned; target is then untouched unless it could not be deleted whole.
bool copyReplacing(const QString &source, const QString &target, EntryScope scope);

} // namespace Updater
