#pragma once

#include <QString>

#include <cstdint>

namespace Updater::Platform {

// The file system's own view of single entries, where Qt's would follow a link or a Windows
// shortcut (.lnk, which Qt 6.4 reports as its target). All functions work on the entry itself
// and are safe on any thread.

enum class EntryKind {
    Missing,   // nothing there
    File,      // a plain file (a Windows shortcut included)
    Directory, // a real directory, never a link to one
    Link,      // a symbolic link or a junction, dangling or not
    Other,     // a socket, pipe or device
    Unknown,   // the system could not say; never descend into it
};
EntryKind entryKind(const QString &path);

// An id of the file system (volume) that holds path itself; 0 when it cannot be told. Two
// entries with different ids cannot be renamed onto each other.
std::uint64_t fileSystemId(const QString &path);

// Makes a read-only entry (the read-only attribute on Windows, the owner's write bit elsewhere)
// writable, so that it, or a directory, can be removed. True when it is writable afterwards.
bool clearReadOnly(const QString &path);

// Replaces target by source in one step (a rename over it on the same volume), so that target
// is always either the old file or the new one. Writes the rename through to disk where the
// system allows. False when the system refuses; nothing has changed then.
bool replaceFile(const QString &source, const QString &target);

// Writes the file's data (written through fileHandle, a file descriptor or a Windows HANDLE as
// QFileDevice::handle() gives it) to disk. False when the disk reports an error.
bool flushToDisk(int fileHandle);

// Writes the file or directory at path to disk: a file's data, a directory's list of names (on
// Windows the file system keeps directories safe by itself). A link is left as it is. False when
// the entry cannot be opened or the disk reports an error.
bool flushEntryToDisk(const QString &path);

} // namespace Updater::Platform
