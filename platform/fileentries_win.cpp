#include "platform/fileentries.h"

#include "platform/longpath.h"

#include <io.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace Updater::Platform {

namespace {

thread_local Failure lastFailureKind = Failure::None;

bool failed()
{
    switch (GetLastError()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED: // also what a file pending deletion answers
    case ERROR_USER_MAPPED_FILE:
        lastFailureKind = Failure::Transient;
        break;
    case ERROR_NOT_SAME_DEVICE:
        lastFailureKind = Failure::OtherVolume;
        break;
    default:
        lastFailureKind = Failure::Final;
        break;
    }
    return false;
}

bool succeeded()
{
    lastFailureKind = Failure::None;
    return true;
}

} // namespace

EntryKind entryKind(const QString &path)
{
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW(longPath(path).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EntryKind::Missing
                                                                              : EntryKind::Unknown;
    }
    FindClose(find);
    // Only a name surrogate (a symbolic link, a junction, a volume mount point) stands for
    // another entry; a compressed, deduplicated or cloud file carries a reparse point too and is
    // read, copied and deleted as what it holds.
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        && IsReparseTagNameSurrogate(data.dwReserved0))
        return EntryKind::Link;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return EntryKind::Directory;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
        return EntryKind::Other;
    // A shortcut (.lnk) is a plain file here, whatever it points at.
    return EntryKind::File;
}

QString fullPath(const QString &path)
{
    return fullPathName(path);
}

std::uint64_t fileSystemId(const QString &path)
{
    const HANDLE handle = CreateFileW(
        longPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION information;
    const BOOL ok = GetFileInformationByHandle(handle, &information);
    CloseHandle(handle);
    // Zero is a serial number no formatted volume has; it stands for "cannot tell".
    return ok ? information.dwVolumeSerialNumber : 0;
}

bool clearReadOnly(const QString &path)
{
    const std::wstring native = longPath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (!(attributes & FILE_ATTRIBUTE_READONLY))
        return true;
    return SetFileAttributesW(native.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)) != 0;
}

Failure lastFailure()
{
    return lastFailureKind;
}

bool renameEntry(const QString &source, const QString &target)
{
    // Without MOVEFILE_COPY_ALLOWED a move to another volume fails instead of copying, and
    // without MOVEFILE_REPLACE_EXISTING an existing target is never replaced.
    return MoveFileExW(longPath(source).c_str(), longPath(target).c_str(), 0) ? succeeded()
                                                                              : failed();
}

bool replaceFile(const QString &source, const QString &target)
{
    // MOVEFILE_REPLACE_EXISTING renames over the old file in one step; WRITE_THROUGH returns only
    // once the rename is on disk. Without COPY_ALLOWED it never turns into a copy.
    return MoveFileExW(longPath(source).c_str(), longPath(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? succeeded()
               : failed();
}

bool removeFile(const QString &path)
{
    return DeleteFileW(longPath(path).c_str()) ? succeeded() : failed();
}

bool removeEmptyDirectory(const QString &path)
{
    return RemoveDirectoryW(longPath(path).c_str()) ? succeeded() : failed();
}

bool copyFile(const QString &source, const QString &target)
{
    // bFailIfExists: never over an existing target. CopyFileW keeps the attributes and deletes
    // what it wrote when it fails.
    return CopyFileW(longPath(source).c_str(), longPath(target).c_str(), TRUE) ? succeeded()
                                                                               : failed();
}

bool flushToDisk(int fileHandle)
{
    // QFileDevice::handle() gives a C runtime descriptor on Windows too.
    const intptr_t handle = _get_osfhandle(fileHandle);
    if (handle == -1)
        return false;
    return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != 0;
}

bool flushEntryToDisk(const QString &path)
{
    // GetFileAttributesW, unlike a search, answers for a drive root too.
    const std::wstring native = longPath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    // FlushFileBuffers needs a handle that may write, which a read-only file refuses: the
    // attribute is lifted for the moment it takes.
    const bool readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    if (readOnly)
        SetFileAttributesW(native.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    const HANDLE handle = CreateFileW(
        native.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const bool flushed = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    if (readOnly)
        SetFileAttributesW(native.c_str(), attributes);
    return flushed;
}

} // namespace Updater::Platform
