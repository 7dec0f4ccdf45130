#pragma once

#include <QString>

#include <cstdint>

namespace Updater::Platform {

// The file system's own view of single entries, where Qt's would follow a link or a Windows
// shortcut (.lnk, which Qt 6.4 reports as its target). All functions work on the entry itself
// and are safe on any thread.

// How the file system compares names: Windows ignores letter case (Orvalink.exe and ORVALINK.EXE
// are one entry there); elsewhere letters differ.
#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity fileNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity fileNameCase = Qt::CaseSensitive;
#endif

enum class EntryKind {
    Missing,   // nothing there
    File,      // a plain file (a Windows shortcut, a compressed or cloud file included)
    Directory, // a real directory, never a link to one
    Link,      // a symbolic link or a junction (a name surrogate), dangling or not
    Other,     // a socket, pipe or device
    Unknown,   // the system could not say; never descend into it
};
EntryKind entryKind(const QString &path);

// The path as the system itself resolves it: absolute, "." and ".." resolved, and on Windows with
// the trailing dots and spaces of each name dropped (GetFullPathNameW), as every Windows call
// without the \\?\ prefix would drop them. Links are not resolved.
QString fullPath(const QString &path);

// An id of the file system (volume) that holds path itself; 0 when it cannot be told. Two
// entries with different ids cannot be renamed onto each other.
std::uint64_t fileSystemId(const QString &path);

// Makes a read-only entry (the read-only attribute on Windows, the owner's write bit elsewhere)
// writable, so that it, or a directory, can be removed. True when it is writable afterwards.
bool clearReadOnly(const QString &path);

// Why the last failed renameEntry, replaceFile, removeFile, removeEmptyDirectory or copyFile of
// the calling thread failed.
enum class Failure {
    None,
    // Another process holds the entry for the moment: a sharing or lock violation, access denied
    // (which is also what a file pending deletion answers); EBUSY, EACCES, EPERM, ETXTBSY
    // elsewhere. Trying again later may succeed.
    Transient,
    // Source and target lie on different volumes (ERROR_NOT_SAME_DEVICE, EXDEV).
    OtherVolume,
    // Anything else (not found, an invalid name, a full disk): trying again changes nothing.
    Final,
};
Failure lastFailure();

// Renames the entry at source (a link as a link, a dangling one too) to target, on the same
// volume only: never a copy followed by a deletion, never over an existing target.
bool renameEntry(const QString &source, const QString &target);

// Replaces target by source in one step (a rename over it on the same volume), so that target
// is always either the old file or the new one. Writes the rename through to disk where the
// system allows. False when the system refuses; nothing has changed then.
bool replaceFile(const QString &source, const QString &target);

// Deletes a file (not a directory), or an empty directory, without retrying.
bool removeFile(const QString &path);
bool removeEmptyDirectory(const QString &path);

// Copies the file at source to target, which must not exist, with its permissions (attributes on
// Windows). On failure nothing is left at target.
bool copyFile(const QString &source, const QString &target);

// Writes the file's data (written through fileHandle, a file descriptor or a Windows HANDLE as
// QFileDevice::handle() gives it) to disk. False when the disk reports an error.
bool flushToDisk(int fileHandle);

// Writes the file or directory at path to disk: a file's data, a directory's list of names (on
// Windows the file system keeps directories safe by itself). A link is left as it is. False when
// the entry cannot be opened or the disk reports an error.
bool flushEntryToDisk(const QString &path);

} // namespace Updater::Platform
